// binhex.h - decoding BinHex 4.0 blocks of a mail's text.
//
// What it is for: a file BinHex-encoded into a text body ("(This file must be converted
// with BinHex 4.0)", then the encoded data between two colons) is decoded by the mail
// clients that know the format; the conversion of a scan job's text (uuencode.h) turns each
// such block into attachments of its own (the data fork, and the resource fork when it has
// one), so that the engine scans the files, not their encoding.
//
// The format: 64 printable characters carry six bits each; the bytes they make are
// run-length coded (0x90 repeats the byte before it); the decoded stream is a header (the
// file name, type, creator, flags, the two fork lengths), the data fork and the resource
// fork, each followed by its CRC (CRC-16 with the polynomial 0x1021, starting at 0). A
// block is a file only when it is whole: every CRC matches and the closing colon follows
// the last fork. Anything else stays text.
//
// Ownership: the decoder hands fork bytes to its caller as they are decoded and keeps no
// more than one line. Thread rules: a decoder belongs to one thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace foundation {

// The line that announces a BinHex 4.0 block.
[[nodiscard]] bool IsBinHexStartLine(std::string_view line);

// CRC-16 of BinHex (polynomial 0x1021, start 0, bits from the top), continued from crc.
[[nodiscard]] std::uint16_t BinHexCrc(std::uint16_t crc, std::string_view bytes);

class BinHexDecoder {
 public:
  enum class Fork { kData, kResource };
  enum class State { kBeforeData, kHeader, kFork, kDone, kBroken };

  // Feeds one line of the block (the lines after the start line, without line ends).
  // Decoded fork bytes are appended to data_r or resource_r. Returns the state after it.
  State Line(std::string_view line, std::string* data_r, std::string* resource_r);

  [[nodiscard]] State state() const { return state_; }
  // Known once the header was decoded.
  [[nodiscard]] const std::string& name() const { return name_; }
  [[nodiscard]] std::uint32_t resource_length() const { return resource_length_; }

 private:
  void Byte(std::uint8_t byte, std::string* data_r, std::string* resource_r);
  void Decoded(std::uint8_t byte, std::string* data_r, std::string* resource_r);

  State state_ = State::kBeforeData;
  // Six-bit groups to bytes.
  std::uint32_t bits_ = 0;
  int bit_count_ = 0;
  // Run-length coding: the last byte decoded, and whether a 0x90 marker is pending.
  std::uint8_t last_ = 0;
  bool marker_ = false;
  bool have_last_ = false;
  // The decoded stream.
  std::string header_;  // from the name length to the resource fork's length
  std::size_t header_length_ = 0;
  std::string name_;
  std::uint32_t data_length_ = 0;
  std::uint32_t resource_length_ = 0;
  int section_ = 0;  // 0 header, 1 data fork, 2 resource fork
  std::uint64_t section_done_ = 0;
  std::uint16_t crc_ = 0;
  std::uint16_t stored_crc_ = 0;
  int crc_bytes_ = 0;  // bytes of the stored CRC read so far
};

}  // namespace foundation
