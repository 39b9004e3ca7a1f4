// yEnc and BinHex 4.0 blocks in a mail's text: whole blocks become registered attachments
// with their names, anything short of whole stays text, and the decoders give the same
// bytes however the encoded text is cut into lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "foundation/binhex.h"
#include "foundation/test_root.h"
#include "foundation/uuencode.h"
#include "foundation/yenc.h"

namespace foundation {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& path) { return testing::ReadWhole(path.string()); }

std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

// yEnc as the format defines it: NUL, LF, CR and "=" always escaped, blanks and
// tabs at either end of a line and a dot at its start too.
std::string YencLines(const std::string& data, std::size_t line_length = 128) {
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const auto byte = static_cast<std::uint8_t>(static_cast<std::uint8_t>(data[i]) + 42);
    const bool edge = column == 0 || column + 1 >= line_length || i + 1 == data.size();
    if (byte == 0 || byte == '\n' || byte == '\r' || byte == '=' ||
        (edge && (byte == ' ' || byte == '\t')) || (column == 0 && byte == '.')) {
      out += '=';
      out += static_cast<char>(static_cast<std::uint8_t>(byte + 64));
      column += 2;
    } else {
      out += static_cast<char>(byte);
      ++column;
    }
    if (column >= line_length) {
      out += "\r\n";
      column = 0;
    }
  }
  if (column > 0) out += "\r\n";
  return out;
}

std::string YencBlock(const std::string& data, const std::string& name) {
  char end[96];
  std::snprintf(end, sizeof end, "=yend size=%zu crc32=%08x\r\n", data.size(), Crc32(data));
  return "=ybegin line=128 size=" + std::to_string(data.size()) + " name=" + name + "\r\n" +
         YencLines(data) + end;
}

// BinHex 4.0 as the format defines it: header, forks and CRCs run-length coded
// (runs of three or more, 0x90 escaped) and written six bits a character, 64 a line.
std::string BinHexBlock(const std::string& name, const std::string& data,
                        const std::string& resource, int line_length = 64) {
  auto big_endian = [](std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
    return bytes;
  };
  auto with_crc = [](const std::string& bytes) {
    const std::uint16_t crc = BinHexCrc(0, bytes);
    return bytes + static_cast<char>(crc >> 8) + static_cast<char>(crc & 0xFF);
  };
  std::string header(1, static_cast<char>(name.size()));
  header += name + '\0' + "TEXTttxt" + std::string(2, '\0') +
            big_endian(static_cast<std::uint32_t>(data.size())) +
            big_endian(static_cast<std::uint32_t>(resource.size()));
  const std::string stream = with_crc(header) + with_crc(data) + with_crc(resource);
  std::string coded;
  for (std::size_t i = 0; i < stream.size();) {
    std::size_t run = 1;
    while (i + run < stream.size() && stream[i + run] == stream[i] && run < 255) ++run;
    const char byte = stream[i];
    if (byte == '\x90') {
      coded += "\x90";
      coded += '\0';
      run = 1;
    } else if (run >= 3) {
      coded += byte;
      coded += '\x90';
      coded += static_cast<char>(run);
    } else {
      coded += byte;
      run = 1;
    }
    i += run;
  }
  static const char kAlphabet[] =
      "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
  std::string text = ":";
  std::uint32_t bits = 0;
  int count = 0;
  auto put = [&](int value) {
    text += kAlphabet[value];
    if ((text.size() + 1) % static_cast<std::size_t>(line_length + 2) == 0) text += "\r\n";
  };
  for (unsigned char c : coded) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      put(static_cast<int>((bits >> count) & 63));
    }
  }
  if (count > 0) put(static_cast<int>((bits << (6 - count)) & 63));
  return "(This file must be converted with BinHex 4.0)\r\n\r\n" + text + ":\r\n";
}

std::string AllBytes(std::size_t size) {
  std::string data;
  for (std::size_t i = 0; i < size; ++i) data.push_back(static_cast<char>((i * 7 + i / 256) & 0xFF));
  return data + std::string(600, '\0') + std::string(5, '\x90');  // runs, and the marker
}

class EncodedBlocks : public ::testing::Test {
 protected:
  void SetUp() override {
    job_ = machine_.Path("vantrel/IN/8fa");
    fs::create_directories(job_);
  }
  int Convert(const std::string& text, bool* found, bool body_text = false) {
    const fs::path input = machine_.Path("vantrel/input.txt");
    std::ofstream(input, std::ios::binary | std::ios::trunc) << text;
    UuConvertOptions options;
    options.body_text = body_text;
    return ConvertUuncodeAttachment(job_.string(), input.string(), found, options);
  }
  // The decoded files by the display names 0.hdf gives them.
  std::map<std::string, std::string> Attachments() const {
    std::map<std::string, std::string> files;
    std::istringstream header(Slurp(job_ / "0.hdf"));
    for (std::string line; std::getline(header, line);) {
      const std::size_t comma = line.rfind(',');
      const std::size_t slash = line.find('\\');
      if (comma == std::string::npos || slash == std::string::npos) continue;
      std::string name = line.substr(comma + 1);
      if (!name.empty() && name.back() == '\r') name.pop_back();
      files[name] = Slurp(job_ / line.substr(slash + 1, comma - slash - 1));
    }
    return files;
  }
  std::size_t FilesInJob() const {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(job_)) count += entry.path().extension() == ".ATT";
    return count;
  }
  std::string Body() const { return Slurp(job_ / "0.bdy"); }

  testing::TestRoot machine_;
  fs::path job_;
};

TEST_F(EncodedBlocks, WholeBlocksBecomeAttachmentsAndTheTextStays) {
  const std::string data = AllBytes(3000);
  const std::string resource = "resource fork";
  bool found = false;
  ASSERT_EQ(Convert("Hello,\r\n" + YencBlock(data, "Sales Figures.v2.xls") + "between\r\n" +
                        BinHexBlock("Mac File.sit", data, resource) + "bye\r\n",
                    &found),
            0);
  EXPECT_TRUE(found);
  EXPECT_EQ(Body(), "Hello,\r\nbetween\r\nbye\r\n");
  const auto files = Attachments();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at("sales figures_v2.xls"), data);
  EXPECT_EQ(files.at("mac file.sit"), data);
  EXPECT_EQ(files.at("mac file_sit.rsrc"), resource);
  EXPECT_EQ(FilesInJob(), 3u);
}

TEST_F(EncodedBlocks, OnePartOfAMultiPartYencFileIsAnAttachment) {
  const std::string part = AllBytes(500);
  char end[96];
  std::snprintf(end, sizeof end, "=yend size=%zu part=1 pcrc32=%08x\r\n", part.size(), Crc32(part));
  bool found = false;
  ASSERT_EQ(Convert("=ybegin part=1 total=2 line=128 size=99999 name=big.bin\r\n=ypart begin=1 end=" +
                        std::to_string(part.size()) + "\r\n" + YencLines(part) + end,
                    &found),
            0);
  EXPECT_TRUE(found);
  EXPECT_EQ(Attachments().at("big.bin"), part);
}

// Anything short of a whole block is text, scanned as it stands.
TEST_F(EncodedBlocks, BlocksThatAreNotWholeStayText) {
  const std::string data = AllBytes(400);
  const std::string yenc = YencBlock(data, "x.bin");
  const std::string binhex = BinHexBlock("y.bin", data, "");
  std::string wrong_crc = yenc;
  wrong_crc[wrong_crc.size() - 4] = wrong_crc[wrong_crc.size() - 4] == '0' ? '1' : '0';
  std::string wrong_size = yenc;
  const std::string size_text = "=yend size=" + std::to_string(data.size());
  wrong_size.replace(wrong_size.find(size_text), size_text.size(),
                     "=yend size=" + std::to_string(data.size() + 1));
  std::string broken_binhex = binhex;
  broken_binhex[binhex.size() / 2] = broken_binhex[binhex.size() / 2] == 'A' ? 'B' : 'A';
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"yEnc without its end line", yenc.substr(0, yenc.find("=yend"))},
      {"yEnc with the wrong CRC", wrong_crc},
      {"yEnc with the wrong size", wrong_size},
      {"yEnc without a name", "=ybegin line=128 size=3\r\nabc\r\n=yend size=3\r\n"},
      {"BinHex cut short", binhex.substr(0, binhex.size() / 2) + "\r\n"},
      {"BinHex with a changed character", broken_binhex},
      {"BinHex with a character outside its alphabet",
       "(This file must be converted with BinHex 4.0)\r\n:abc ~def:\r\n"},
      {"BinHex without data", "(This file must be converted with BinHex 4.0)\r\nno data here\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(job_);
    fs::create_directories(job_);
    bool found = false;
    ASSERT_EQ(Convert("before\r\n" + c.text + "after\r\n", &found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(FilesInJob(), 0u);
    EXPECT_FALSE(fs::exists(job_ / "0.hdf"));
    const std::string body = Body();
    EXPECT_EQ(body.rfind("before\r\n", 0), 0u);
    EXPECT_NE(body.find(c.text.substr(0, c.text.find('\r'))), std::string::npos);
    EXPECT_EQ(body.substr(body.size() - 7), "after\r\n");
  }
}

// A body text keeps its lines as they are, uuencoded blocks included.
TEST_F(EncodedBlocks, BodyTextKeepsItsLinesAndItsUuencodedBlocks) {
  bool found = false;
  const std::string uu = "begin 644 hello.txt\r\n%:&5L;&\\`\r\n`\r\nend\r\n..two dots  \r\n" +
                         std::string(5000, 'w') + "\r\n";
  ASSERT_EQ(Convert(uu + YencBlock("yenc", "y.txt"), &found, true), 0);
  EXPECT_TRUE(found);
  EXPECT_EQ(Body(), uu);
  EXPECT_EQ(Attachments().size(), 1u);
}

// However the encoded text is cut into lines, the same bytes come out.
TEST(BinHexDecoderTest, GivesTheSameBytesForAnyLineLength) {
  const std::string data = AllBytes(2000);
  const std::string resource = AllBytes(100);
  for (int line_length : {1, 2, 3, 7, 64, 1000}) {
    SCOPED_TRACE(line_length);
    std::istringstream text(BinHexBlock("f", data, resource, line_length));
    std::string line;
    std::getline(text, line);
    ASSERT_TRUE(IsBinHexStartLine(line));
    BinHexDecoder decoder;
    std::string decoded_data;
    std::string decoded_resource;
    while (std::getline(text, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      decoder.Line(line, &decoded_data, &decoded_resource);
    }
    EXPECT_EQ(decoder.state(), BinHexDecoder::State::kDone);
    EXPECT_EQ(decoder.name(), "f");
    EXPECT_EQ(decoded_data, data);
    EXPECT_EQ(decoded_resource, resource);
  }
}

TEST(BinHexDecoderTest, CrcIsTheOneTheFormatNames) {
  // CRC-16 with the polynomial 0x1021 from 0, over "123456789".
  EXPECT_EQ(BinHexCrc(0, "123456789"), 0x31C3);
}

TEST(YencDecoderTest, EscapesAndLineEndsCarryNoData) {
  YencDecoder decoder;
  std::string out;
  decoder.Line("=j=}", &out);  // an escaped NUL and an escaped "="
  EXPECT_EQ(out, std::string("\0\x13", 2));
  out.clear();
  decoder.Line("r", &out);  // 'r' - 42 = 'H'
  EXPECT_EQ(out, "H");
  YencLine begin;
  EXPECT_TRUE(ParseYencBegin("=ybegin line=128 size=3 name= spaced name.txt ", &begin));
  EXPECT_EQ(begin.name, " spaced name.txt ");
  EXPECT_EQ(begin.size, 3);
  EXPECT_FALSE(ParseYencBegin("=ybegin line=128 name=no size", &begin));
  EXPECT_FALSE(ParseYencBegin("=ybegin line=128 size=-1 name=x", &begin));
  EXPECT_FALSE(ParseYencBegin("=ybeginning size=1 name=x", &begin));
}

}  // namespace
}  // namespace foundation
