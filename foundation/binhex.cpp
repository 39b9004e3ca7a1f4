// binhex.cpp - see binhex.h.
#include "foundation/binhex.h"

#include <array>

namespace foundation {
namespace {

constexpr std::string_view kAlphabet =
    "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
constexpr std::string_view kStartText = "(This file must be converted with BinHex";
constexpr std::uint8_t kRunMarker = 0x90;
// The header after the name: version, type, creator, flags, two fork lengths.
constexpr std::size_t kHeaderAfterName = 1 + 4 + 4 + 2 + 4 + 4;

constexpr std::array<std::int8_t, 256> MakeValues() {
  std::array<std::int8_t, 256> values{};
  for (auto& value : values) value = -1;
  for (std::size_t i = 0; i < kAlphabet.size(); ++i)
    values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  return values;
}

constexpr std::array<std::int8_t, 256> kValues = MakeValues();

std::uint32_t BigEndian32(std::string_view bytes) {
  std::uint32_t value = 0;
  for (char c : bytes) value = (value << 8) | static_cast<std::uint8_t>(c);
  return value;
}

}  // namespace

bool IsBinHexStartLine(std::string_view line) { return line.substr(0, kStartText.size()) == kStartText; }

std::uint16_t BinHexCrc(std::uint16_t crc, std::string_view bytes) {
  for (char c : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<std::uint8_t>(c) << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

BinHexDecoder::State BinHexDecoder::Line(std::string_view line, std::string* data_r,
                                         std::string* resource_r) {
  if (state_ == State::kDone || state_ == State::kBroken) return state_;
  if (state_ == State::kBeforeData) {
    // Blank lines may come between the start line and the data; the data starts with ':'.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    if (line.empty()) return state_;
    if (line[0] != ':') return state_ = State::kBroken;
    line.remove_prefix(1);
    state_ = State::kHeader;
  }
  for (char c : line) {
    if (c == ' ' || c == '\t') continue;
    if (c == ':') {
      // The closing colon: whole only when every fork and CRC was read.
      state_ = section_ == 3 ? State::kDone : State::kBroken;
      return state_;
    }
    const int value = kValues[static_cast<unsigned char>(c)];
    if (value < 0 || section_ == 3) return state_ = State::kBroken;
    bits_ = (bits_ << 6) | static_cast<std::uint32_t>(value);
    bit_count_ += 6;
    if (bit_count_ >= 8) {
      bit_count_ -= 8;
      Byte(static_cast<std::uint8_t>(bits_ >> bit_count_), data_r, resource_r);
      bits_ &= (1u << bit_count_) - 1;
      if (state_ == State::kBroken) return state_;
    }
  }
  if (state_ == State::kHeader && section_ > 0) state_ = State::kFork;
  return state_;
}

// Undoes the run-length coding: "b 0x90 n" is b repeated n times in all, "0x90 0" a
// literal 0x90.
void BinHexDecoder::Byte(std::uint8_t byte, std::string* data_r, std::string* resource_r) {
  if (marker_) {
    marker_ = false;
    if (byte == 0) {
      last_ = kRunMarker;
      have_last_ = true;
      Decoded(kRunMarker, data_r, resource_r);
      return;
    }
    if (!have_last_) {
      state_ = State::kBroken;
      return;
    }
    for (int i = 1; i < byte && state_ != State::kBroken; ++i) Decoded(last_, data_r, resource_r);
    return;
  }
  if (byte == kRunMarker) {
    marker_ = true;
    return;
  }
  last_ = byte;
  have_last_ = true;
  Decoded(byte, data_r, resource_r);
}

// One byte of the decoded stream: header, forks and their CRCs in turn.
void BinHexDecoder::Decoded(std::uint8_t byte, std::string* data_r, std::string* resource_r) {
  if (section_ == 3) {
    state_ = State::kBroken;  // more than the header announced
    return;
  }
  const std::uint64_t length = section_ == 0 ? header_length_
                               : section_ == 1 ? data_length_
                                               : resource_length_;
  if (section_ == 0 && header_length_ == 0) {
    // The name's length comes first: 1 to 63 characters.
    if (byte == 0 || byte > 63) {
      state_ = State::kBroken;
      return;
    }
    header_length_ = 1 + byte + kHeaderAfterName;
  }
  if (section_ > 0 || header_.size() < header_length_) {
    if (section_done_ < (section_ == 0 ? header_length_ : length)) {
      const char c = static_cast<char>(byte);
      crc_ = BinHexCrc(crc_, std::string_view(&c, 1));
      ++section_done_;
      if (section_ == 0) {
        header_.push_back(c);
      } else if (section_ == 1) {
        data_r->push_back(c);
      } else {
        resource_r->push_back(c);
      }
      return;
    }
  }
  // The stored CRC of the section, high byte first.
  stored_crc_ = static_cast<std::uint16_t>((stored_crc_ << 8) | byte);
  if (++crc_bytes_ < 2) return;
  if (stored_crc_ != crc_) {
    state_ = State::kBroken;
    return;
  }
  if (section_ == 0) {
    const std::size_t name_length = static_cast<std::uint8_t>(header_[0]);
    name_ = header_.substr(1, name_length);
    const std::string_view rest = std::string_view(header_).substr(1 + name_length);
    data_length_ = BigEndian32(rest.substr(11, 4));
    resource_length_ = BigEndian32(rest.substr(15, 4));
  }
  ++section_;
  section_done_ = 0;
  crc_ = 0;
  stored_crc_ = 0;
  crc_bytes_ = 0;
}

}  // namespace foundation
