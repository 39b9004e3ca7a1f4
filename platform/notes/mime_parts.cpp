// mime_parts.cpp - part headers and transfer encodings (see mime_parts.h).

#include "platform/notes/mime_parts.h"

#include <cctype>
#include <vector>

namespace mime_parts {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kEncodedLineChars = 76;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// Splits a structured value at the semicolons outside quotes.
std::vector<std::string_view> SplitParameters(std::string_view value) {
  std::vector<std::string_view> pieces;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && quoted) {
      ++i;
    } else if (value[i] == '"') {
      quoted = !quoted;
    } else if (value[i] == ';' && !quoted) {
      pieces.push_back(value.substr(start, i - start));
      start = i + 1;
    }
  }
  pieces.push_back(value.substr(start));
  return pieces;
}

std::string Unquote(std::string_view text) {
  text = TrimBlanks(text);
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::string(text);
  std::string plain;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (text[i] == '\\' && i + 2 < text.size()) ++i;
    plain += text[i];
  }
  return plain;
}

// RFC 2231: charset'language'percent-encoded text; the charset is not converted.
std::string DecodeExtendedValue(std::string_view text) {
  std::size_t first = text.find('\'');
  std::size_t second = first == std::string_view::npos ? first : text.find('\'', first + 1);
  if (second != std::string_view::npos) text.remove_prefix(second + 1);
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      plain += static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
      i += 2;
    } else {
      plain += text[i];
    }
  }
  return plain;
}

}  // namespace

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int Base64DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

std::string ParamValue(std::string_view value, std::string_view name) {
  const std::string wanted = Lower(name);
  std::string continued;  // name*0, name*1 ... (RFC 2231 continuations)
  bool continued_extended = false;
  std::vector<std::string_view> pieces = SplitParameters(value);
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    std::string_view piece = TrimBlanks(pieces[i]);
    std::size_t equals = piece.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key = Lower(TrimBlanks(piece.substr(0, equals)));
    std::string_view raw = TrimBlanks(piece.substr(equals + 1));
    if (key == wanted) return mail_import::DecodeEncodedWords(Unquote(raw));
    if (key == wanted + "*") return DecodeExtendedValue(Unquote(raw));
    if (key.rfind(wanted + "*", 0) == 0 && key.size() > wanted.size() + 1) {
      bool extended = key.back() == '*';
      if (key.compare(wanted.size() + 1, 1, "0") == 0) continued_extended = extended;
      continued += extended || continued_extended ? std::string(Unquote(raw)) : Unquote(raw);
    }
  }
  if (continued.empty()) return {};
  return continued_extended ? DecodeExtendedValue(continued) : continued;
}

PartInfo ReadPartInfo(const mail_import::MailHeaders& headers) {
  PartInfo info;
  if (const std::string* type = headers.Find("Content-Type")) {
    std::string_view bare = TrimBlanks(SplitParameters(*type).front());
    if (bare.find('/') != std::string_view::npos) info.type = Lower(bare);
    info.boundary = ParamValue(*type, "boundary");
    info.file_name = ParamValue(*type, "name");
  }
  if (const std::string* disposition = headers.Find("Content-Disposition")) {
    std::string file_name = ParamValue(*disposition, "filename");
    if (!file_name.empty()) info.file_name = file_name;
  }
  if (const std::string* encoding = headers.Find("Content-Transfer-Encoding")) {
    info.encoding = Lower(TrimBlanks(*encoding));
  }
  return info;
}

PartKind Classify(const PartInfo& info) {
  if (info.type.rfind("multipart/", 0) == 0) {
    return info.boundary.empty() ? PartKind::kText : PartKind::kMultipart;
  }
  if (!info.file_name.empty()) return PartKind::kAttachment;
  if (info.type.rfind("message/", 0) == 0) {
    bool plain = info.encoding.empty() || info.encoding == "7bit" || info.encoding == "8bit" ||
                 info.encoding == "binary";
    return info.type == "message/rfc822" && plain ? PartKind::kMessage : PartKind::kText;
  }
  if (info.type.rfind("text/", 0) == 0) return PartKind::kText;
  return PartKind::kAttachment;
}

std::string SafeFileName(std::string_view name) {
  std::size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  std::string safe;
  for (char c : name) {
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) safe += c;
  }
  std::string_view trimmed = TrimBlanks(safe);
  if (trimmed == "." || trimmed == "..") return {};
  return std::string(trimmed);
}

ContentDecoder::ContentDecoder(std::string_view encoding) {
  std::string lower = Lower(TrimBlanks(encoding));
  kind_ = lower == "base64"             ? Kind::kBase64
          : lower == "quoted-printable" ? Kind::kQuotedPrintable
                                        : Kind::kIdentity;
}

void ContentDecoder::Content(std::string_view bytes, std::string* out) {
  switch (kind_) {
    case Kind::kIdentity:
      out->append(bytes);
      return;
    case Kind::kBase64:
      for (char c : bytes) {
        if (base64_done_) return;
        if (c == '=') {
          base64_done_ = true;  // padding: whatever follows is not content
          return;
        }
        int value = Base64DigitValue(c);
        if (value < 0) continue;
        bits_ = (bits_ << 6) | static_cast<std::uint32_t>(value);
        bit_count_ += 6;
        if (bit_count_ >= 8) {
          bit_count_ -= 8;
          out->push_back(static_cast<char>((bits_ >> bit_count_) & 0xFF));
        }
      }
      return;
    case Kind::kQuotedPrintable: {
      // Blanks at the end of a line were added in transport (RFC 2045 6.7 (3)).
      std::size_t end = bytes.size();
      while (end > 0 && (bytes[end - 1] == ' ' || bytes[end - 1] == '\t')) --end;
      soft_break_ = false;
      for (std::size_t i = 0; i < end; ++i) {
        if (bytes[i] != '=') {
          out->push_back(bytes[i]);
        } else if (i + 1 == end) {
          soft_break_ = true;  // "=" ends the line: the line end is not content
        } else if (i + 2 < end && HexDigitValue(bytes[i + 1]) >= 0 && HexDigitValue(bytes[i + 2]) >= 0) {
          out->push_back(static_cast<char>(HexDigitValue(bytes[i + 1]) * 16 + HexDigitValue(bytes[i + 2])));
          i += 2;
        } else {
          out->push_back('=');  // not an escape: kept as written
        }
      }
      return;
    }
  }
}

void ContentDecoder::LineEnd(std::string_view end, std::string* out) {
  if (kind_ == Kind::kBase64) return;
  if (kind_ == Kind::kQuotedPrintable) {
    if (soft_break_) {
      soft_break_ = false;
      return;
    }
  }
  out->append(end);
}

ContentEncoder::ContentEncoder(std::string_view encoding, std::string line_end)
    : line_end_(std::move(line_end)) {
  std::string lower = Lower(TrimBlanks(encoding));
  kind_ = lower == "base64"             ? Kind::kBase64
          : lower == "quoted-printable" ? Kind::kQuotedPrintable
                                        : Kind::kIdentity;
}

void ContentEncoder::Feed(std::string_view bytes, std::string* out) {
  switch (kind_) {
    case Kind::kIdentity:
      out->append(bytes);
      return;
    case Kind::kBase64: {
      carry_.append(bytes);
      std::size_t whole = carry_.size() / 3 * 3;
      for (std::size_t i = 0; i < whole; i += 3) {
        std::uint32_t group = (static_cast<unsigned char>(carry_[i]) << 16) |
                              (static_cast<unsigned char>(carry_[i + 1]) << 8) |
                              static_cast<unsigned char>(carry_[i + 2]);
        if (column_ == kEncodedLineChars) {
          out->append(line_end_);
          column_ = 0;
        }
        for (int shift = 18; shift >= 0; shift -= 6) out->push_back(kBase64Alphabet[(group >> shift) & 63]);
        column_ += 4;
      }
      carry_.erase(0, whole);
      return;
    }
    case Kind::kQuotedPrintable: {
      // Hard line breaks of the content are its line ends; everything else is encoded.
      carry_.append(bytes);
      std::size_t newline;
      while ((newline = carry_.find('\n')) != std::string::npos) {
        std::size_t end = newline > 0 && carry_[newline - 1] == '\r' ? newline - 1 : newline;
        QpLine(std::string_view(carry_).substr(0, end), out);
        carry_.erase(0, newline + 1);
      }
      return;
    }
  }
}

void ContentEncoder::QpLine(std::string_view line, std::string* out) {
  if (started_) out->append(line_end_);
  started_ = true;
  std::size_t column = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    bool last = i + 1 == line.size();
    std::string piece;
    if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)) {
      piece.assign(1, static_cast<char>(c));
    } else {
      piece = {'=', kHexDigits[c >> 4], kHexDigits[c & 15]};
    }
    if (column + piece.size() > kEncodedLineChars - 1) {
      out->push_back('=');
      out->append(line_end_);
      column = 0;
    }
    out->append(piece);
    column += piece.size();
  }
}

void ContentEncoder::Finish(std::string* out) {
  if (kind_ == Kind::kBase64) {
    if (carry_.empty()) return;
    std::uint32_t group = static_cast<unsigned char>(carry_[0]) << 16;
    if (carry_.size() > 1) group |= static_cast<unsigned char>(carry_[1]) << 8;
    if (column_ == kEncodedLineChars) out->append(line_end_);
    out->push_back(kBase64Alphabet[(group >> 18) & 63]);
    out->push_back(kBase64Alphabet[(group >> 12) & 63]);
    out->push_back(carry_.size() > 1 ? kBase64Alphabet[(group >> 6) & 63] : '=');
    out->push_back('=');
    carry_.clear();
  } else if (kind_ == Kind::kQuotedPrintable) {
    // Content that ends in a line end gets an empty last line, so the end survives.
    QpLine(carry_, out);
    carry_.clear();
  }
}

}  // namespace mime_parts
