// Tests of RFC 822 import: header parsing, addresses, dates, encoded words, the Body split,
// and the items a real message gives in a mail box note.

#include "platform/notes/mail_import.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "platform/notes/notes.h"

namespace mail_import {
namespace {

const char kMessage[] =
    "Return-Path: <alice@example.com>\r\n"
    "From: \"Doe, Alice\" <alice@example.com>\r\n"
    "To: bob@example.com, \"Carol, C.\" <carol@example.com>,\r\n"
    "\tdave@example.com (Dave)\r\n"
    "Cc: undisclosed-recipients:;\r\n"
    "Subject: =?UTF-8?Q?Caf=C3=A9_menu?= for\r\n"
    " Monday\r\n"
    "Date: Mon, 7 Dec 2026 21:09:16 +0100\r\n"
    "X-Mailer: Lotus Notes Release 8.5\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed;\r\n"
    " boundary=\"b1\"\r\n"
    "\r\n"
    "--b1\r\n"
    "Content-Type: text/plain\r\n"
    "\r\n"
    "Hello\r\n"
    "--b1--\r\n";

TEST(MailHeaders, ParsesFieldsUnfoldedAndKeepsTheMimeLinesAsWritten) {
  MailHeaders headers;
  std::string error;
  ASSERT_TRUE(ParseMailHeaders(kMessage, true, &headers, &error)) << error;
  ASSERT_NE(headers.Find("subject"), nullptr);
  EXPECT_EQ(*headers.Find("Subject"), "=?UTF-8?Q?Caf=C3=A9_menu?= for Monday");
  EXPECT_EQ(*headers.Find("content-type"), "multipart/mixed; boundary=\"b1\"");
  EXPECT_EQ(headers.mime_header,
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n boundary=\"b1\"\r\n");
  EXPECT_EQ(headers.line_end, "\r\n");
  EXPECT_EQ(std::string(kMessage).substr(headers.body_offset, 6), "--b1\r\n");
  EXPECT_EQ(headers.Find("Content-Length"), nullptr);
}

TEST(MailHeaders, OddlyShapedMessages) {
  MailHeaders headers;
  std::string error;
  // LF line ends and an mbox separator line.
  ASSERT_TRUE(ParseMailHeaders("From alice Mon Dec  7 21:09:16 2026\nSubject: hi\n\nbody\n", true, &headers, &error));
  EXPECT_EQ(headers.line_end, "\n");
  ASSERT_EQ(headers.fields.size(), 1u);
  EXPECT_EQ(headers.fields[0].value, "hi");
  // No MIME headers: plain US-ASCII text is said explicitly.
  EXPECT_EQ(headers.mime_header, "MIME-Version: 1.0\nContent-Type: text/plain; charset=us-ascii\n");

  // Headers only, the last line without its line end.
  std::string only = "Subject: x\r\nContent-Type: text/html";
  ASSERT_TRUE(ParseMailHeaders(only, true, &headers, &error));
  EXPECT_EQ(headers.body_offset, only.size());
  EXPECT_EQ(headers.mime_header, "Content-Type: text/html\r\n");

  // No header section at all: everything is body.
  ASSERT_TRUE(ParseMailHeaders("just some text\r\nmore\r\n", true, &headers, &error));
  EXPECT_TRUE(headers.fields.empty());
  EXPECT_EQ(headers.body_offset, 0u);

  // A line that is not a header ends the section without a blank line.
  ASSERT_TRUE(ParseMailHeaders("Subject: a\r\nthis is body\r\n", true, &headers, &error));
  EXPECT_EQ(headers.body_offset, 12u);

  ASSERT_TRUE(ParseMailHeaders("", true, &headers, &error));
  EXPECT_EQ(headers.body_offset, 0u);
}

TEST(MailHeaders, AnEndlessHeaderSectionIsRefused) {
  std::string endless;
  while (endless.size() <= kMaxHeaderBytes) endless += "X-Filler: 0123456789012345678901234567890123456789\r\n";
  MailHeaders headers;
  std::string error;
  EXPECT_FALSE(ParseMailHeaders(endless + "\r\nbody", true, &headers, &error));
  EXPECT_NE(error.find("longer than"), std::string::npos) << error;
  EXPECT_FALSE(ParseMailHeaders(endless, false, &headers, &error));
}

TEST(MailHeaders, AHeadCutAnywhereParsesLikeTheWholeOrNotAtAll) {
  MailHeaders whole;
  std::string error;
  ASSERT_TRUE(ParseMailHeaders(kMessage, true, &whole, &error));
  std::string_view message = kMessage;
  for (size_t cut = 0; cut <= message.size(); ++cut) {
    MailHeaders partial;
    if (!ParseMailHeaders(message.substr(0, cut), false, &partial, &error)) {
      EXPECT_LT(cut, whole.body_offset);
      continue;
    }
    EXPECT_GE(cut, whole.body_offset);
    EXPECT_EQ(partial.body_offset, whole.body_offset);
    EXPECT_EQ(partial.mime_header, whole.mime_header);
    EXPECT_EQ(partial.fields.size(), whole.fields.size());
  }
}

// Random bytes drawn from the characters that steer the parsers: nothing crashes, the body
// offset stays inside the text, and every address entry is trimmed and not empty.
TEST(MailHeaders, RandomInputIsHandledSafely) {
  const std::string alphabet = "ab:@<>\"(),;\\ \t\r\n=?QB_-+0123456789";
  std::mt19937 random(1207);
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    size_t length = random() % 120;
    for (size_t i = 0; i < length; ++i) text += alphabet[random() % alphabet.size()];
    MailHeaders headers;
    std::string error;
    ASSERT_TRUE(ParseMailHeaders(text, true, &headers, &error)) << error;
    EXPECT_LE(headers.body_offset, text.size());
    for (const std::string& entry : SplitAddressList(text)) {
      EXPECT_FALSE(entry.empty());
      EXPECT_NE(entry.front(), ' ');
      (void)BareAddress(entry);
    }
    (void)ParseMailDate(text);
    (void)DecodeEncodedWords(text);
  }
}

TEST(MailAddresses, ListsSplitOnlyAtSeparatingCommas) {
  using List = std::vector<std::string>;
  EXPECT_EQ(SplitAddressList("a@x, \"Doe, John\" <j@x>,(a, comment) c@x"),
            (List{"a@x", "\"Doe, John\" <j@x>", "(a, comment) c@x"}));
  EXPECT_EQ(SplitAddressList("team: a@x, b@y; c@z"), (List{"a@x", "b@y", "c@z"}));
  EXPECT_EQ(SplitAddressList("undisclosed-recipients:;"), List{});
  EXPECT_EQ(SplitAddressList(" , ,"), List{});
  EXPECT_EQ(SplitAddressList("\"a\\\",b\" <q@x>"), (List{"\"a\\\",b\" <q@x>"}));
  EXPECT_EQ(SplitAddressList("<@relay,@hop:u@x>"), (List{"<@relay,@hop:u@x>"}));

  EXPECT_EQ(BareAddress("\"Doe, John\" <j@x>"), "j@x");
  EXPECT_EQ(BareAddress("\"<not this>\" <j@x>"), "j@x");
  EXPECT_EQ(BareAddress("j@x (John Doe)"), "j@x");
  EXPECT_EQ(BareAddress("<@relay,@hop:u@x>"), "u@x");
  EXPECT_EQ(BareAddress("  plain@x "), "plain@x");
  EXPECT_EQ(BareAddress("CN=Bob/O=Example"), "CN=Bob/O=Example");
}

TEST(MailDates, ReadTheFormsMailersWrite) {
  const int64_t base = 1796677756;  // 2026-12-07 21:09:16 UTC
  struct Case {
    const char* text;
    std::optional<int64_t> seconds;
  };
  const Case cases[] = {
      {"Mon, 7 Dec 2026 21:09:16 +0000", base},
      {"7 Dec 2026 21:09:16 GMT", base},
      {"Mon, 07 Dec 2026 22:09:16 +0100 (CET)", base},
      {"Mon, 7 Dec 2026 16:09:16 EST", base},
      {"Mon, 7 Dec 26 21:09 +0000", base - 16},
      {"Mon,7 dec 2026 21:09:16 -0030", base + 1800},
      {"Thu, 1 Jan 1970 00:00:00 +0000", 0},
      {"yesterday", std::nullopt},
      {"Mon, 7 Foo 2026 21:09:16 +0000", std::nullopt},
      {"Mon, 32 Dec 2026 21:09:16 +0000", std::nullopt},
      {"Mon, 7 Dec 2026 25:09:16 +0000", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseMailDate(c.text), c.seconds) << c.text;
}

TEST(MailSubjects, EncodedWordsAreDecoded) {
  EXPECT_EQ(DecodeEncodedWords("=?UTF-8?Q?Caf=C3=A9_menu?= for Monday"), "Caf\xC3\xA9 menu for Monday");
  EXPECT_EQ(DecodeEncodedWords("=?utf-8?b?SGVsbG8=?= =?utf-8?b?IHdvcmxk?="), "Hello world");
  EXPECT_EQ(DecodeEncodedWords("a =?x?q?b?= c"), "a b c");
  EXPECT_EQ(DecodeEncodedWords("=?broken"), "=?broken");
  EXPECT_EQ(DecodeEncodedWords("=?x?Z?abc?="), "=?x?Z?abc?=");
  EXPECT_EQ(DecodeEncodedWords("=?x?Q?=4?="), "=4");
}

TEST(MailItems, TheHeadersGiveTheMailItems) {
  MailHeaders headers;
  std::string error;
  ASSERT_TRUE(ParseMailHeaders(kMessage, true, &headers, &error));
  MailItems items = ItemsFromHeaders(headers, nullptr);
  EXPECT_EQ(items.from, "\"Doe, Alice\" <alice@example.com>");
  using List = std::vector<std::string>;
  EXPECT_EQ(items.send_to, (List{"bob@example.com", "\"Carol, C.\" <carol@example.com>", "dave@example.com (Dave)"}));
  EXPECT_EQ(items.copy_to, List{});
  EXPECT_EQ(items.recipients, (List{"bob@example.com", "carol@example.com", "dave@example.com"}));
  EXPECT_EQ(items.subject, "Caf\xC3\xA9 menu for Monday");
  EXPECT_EQ(items.mailer, "Lotus Notes Release 8.5");
  EXPECT_EQ(items.posted_unix, 1796677756 - 3600);

  List envelope = {"x@example.com"};
  EXPECT_EQ(ItemsFromHeaders(headers, &envelope).recipients, envelope);

  ASSERT_TRUE(ParseMailHeaders("To: a@x\r\nTo: A@X, b@x\r\nBcc: c@x\r\nUser-Agent: mutt\r\n\r\n", true, &headers, &error));
  items = ItemsFromHeaders(headers, nullptr);
  EXPECT_EQ(items.send_to, (List{"a@x", "A@X", "b@x"}));
  EXPECT_EQ(items.recipients, (List{"a@x", "b@x", "c@x"}));
  EXPECT_EQ(items.mailer, "mutt");
  EXPECT_FALSE(items.posted_unix.has_value());
}

TEST(MailBody, SplitPiecesJoinBackAndPreferLineEnds) {
  std::string text;
  for (int line = 0; text.size() < 300000; ++line) text += "line " + std::to_string(line) + " of the body\r\n";
  text += std::string(200000, 'x');  // a stretch without line ends is cut hard
  std::vector<std::string_view> pieces = SplitMimeText(text, kMimePartMaxBytes);
  std::string joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    EXPECT_LE(pieces[i].size(), kMimePartMaxBytes);
    EXPECT_FALSE(pieces[i].empty());
    if (i + 1 < pieces.size() && joined.size() + pieces[i].size() < 300000) {
      EXPECT_EQ(pieces[i].back(), '\n');
    }
    joined += pieces[i];
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(SplitMimeText("small", kMimePartMaxBytes).size(), 1u);
  EXPECT_TRUE(SplitMimeText("", kMimePartMaxBytes).empty());
}


// Mail written into a real note of a real database, read back through the Notes calls.
class MailImportIntoNote : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vt-mail-import-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/domino/data");
    setenv("VT_SYSROOT", root_.c_str(), 1);
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    ASSERT_EQ(VtDbCreateWithInfo("mail.box", "Mail", "MailBox", FALSE), NOERROR);
    ASSERT_EQ(NSFDbOpen("mail.box", &db_), NOERROR);
  }
  void TearDown() override {
    if (db_ != NULLHANDLE) (void)NSFDbClose(db_);
    NotesTerm();
    std::filesystem::remove_all(root_);
  }

  // Imports through `import` into a new note, saves it and opens it again.
  template <typename Import>
  NOTEHANDLE ImportAndReopen(Import import) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db_, &note), NOERROR);
    std::string reason;
    EXPECT_EQ(import(note, &reason), NOERROR) << reason;
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    NOTEHANDLE reopened = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db_, id, 0, &reopened), NOERROR);
    return reopened;
  }

  struct BodyParts {
    std::vector<MIME_PART> headers;
    std::string joined;
    bool malformed = false;
  };

  static STATUS CollectBody(WORD, WORD, char* name, WORD name_len, void* value, DWORD value_len, void* context) {
    auto* parts = static_cast<BodyParts*>(context);
    WORD type = 0;
    std::memcpy(&type, value, sizeof type);
    if (std::string_view(name, name_len) != "Body" || type != TYPE_MIME_PART) return NOERROR;
    void* cursor = static_cast<char*>(value) + sizeof(WORD);
    MIME_PART part{};
    ODSReadMemory(&cursor, _MIME_PART, &part, 1);
    size_t header = sizeof(WORD) + ODSLength(_MIME_PART);
    if (header + part.wByteCount != value_len) parts->malformed = true;
    parts->headers.push_back(part);
    parts->joined.append(static_cast<char*>(value) + header, part.wByteCount);
    return NOERROR;
  }

  static std::string Text(NOTEHANDLE note, const char* name) {
    char text[1024] = "";
    WORD length = NSFItemGetText(note, name, text, sizeof text);
    return std::string(text, length);
  }

  static std::vector<std::string> List(NOTEHANDLE note, const char* name) {
    std::vector<std::string> entries;
    WORD count = NSFItemGetTextListEntries(note, name);
    for (WORD i = 0; i < count; ++i) {
      char text[512] = "";
      WORD length = NSFItemGetTextListEntry(note, name, i, text, sizeof text);
      entries.emplace_back(text, length);
    }
    return entries;
  }

  std::string root_;
  DBHANDLE db_ = NULLHANDLE;
};

TEST_F(MailImportIntoNote, TheMailItemsAreThoseTheRouterHolds) {
  NOTEHANDLE note = ImportAndReopen([](NOTEHANDLE n, std::string* reason) {
    return ImportMailText(n, kMessage, ImportOptions{}, reason);
  });
  EXPECT_EQ(Text(note, "Form"), "Memo");
  EXPECT_EQ(Text(note, "From"), "\"Doe, Alice\" <alice@example.com>");
  EXPECT_EQ(List(note, "SendTo"), (std::vector<std::string>{"bob@example.com", "\"Carol, C.\" <carol@example.com>",
                                                            "dave@example.com (Dave)"}));
  EXPECT_FALSE(NSFItemIsPresent(note, "CopyTo", 6));
  EXPECT_EQ(List(note, "Recipients"), (std::vector<std::string>{"bob@example.com", "carol@example.com", "dave@example.com"}));
  EXPECT_EQ(Text(note, "Subject"), "Caf\xC3\xA9 menu for Monday");
  EXPECT_EQ(Text(note, "$Mailer"), "Lotus Notes Release 8.5");
  EXPECT_EQ(Text(note, "$NoteHasNativeMIME"), "1");
  TIMEDATE posted{};
  ASSERT_TRUE(NSFItemGetTime(note, "PostedDate", &posted));
  EXPECT_EQ(VtTimeDateToUnix(posted), 1796677756 - 3600);

  BodyParts body;
  ASSERT_EQ(NSFItemScan(note, CollectBody, &body), NOERROR);
  ASSERT_EQ(body.headers.size(), 1u);
  EXPECT_FALSE(body.malformed);
  MailHeaders headers;
  std::string error;
  ASSERT_TRUE(ParseMailHeaders(kMessage, true, &headers, &error));
  EXPECT_EQ(body.joined, headers.mime_header + "\r\n" + std::string(kMessage).substr(headers.body_offset));
  EXPECT_EQ(body.headers[0].wHeadersLen, headers.mime_header.size());
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(MailImportIntoNote, ALargeBodySpansItemsAndJoinsBackFromFileOrText) {
  std::string message = "From: a@example.com\nTo: b@example.com\nSubject: big\n"
                        "Content-Type: text/plain\n\n";
  for (int line = 0; message.size() < 400000; ++line) message += "body line " + std::to_string(line) + "\n";
  message += std::string(70000, 'z');  // no line end: cut hard
  std::string path = root_ + "/big.eml";
  std::ofstream(path, std::ios::binary) << message;

  ImportOptions options;
  options.envelope_recipients = {"b@example.com", "c@example.com"};
  NOTEHANDLE from_file = ImportAndReopen([&](NOTEHANDLE n, std::string* reason) {
    return ImportMailFile(n, path.c_str(), options, reason);
  });
  NOTEHANDLE from_text = ImportAndReopen([&](NOTEHANDLE n, std::string* reason) {
    return ImportMailText(n, message, options, reason);
  });
  BodyParts file_body;
  BodyParts text_body;
  ASSERT_EQ(NSFItemScan(from_file, CollectBody, &file_body), NOERROR);
  ASSERT_EQ(NSFItemScan(from_text, CollectBody, &text_body), NOERROR);
  EXPECT_EQ(file_body.joined, text_body.joined);
  EXPECT_EQ(file_body.joined, "Content-Type: text/plain\n\n" + message.substr(message.find("\n\n") + 2));
  EXPECT_GE(file_body.headers.size(), 7u);
  EXPECT_FALSE(file_body.malformed);
  EXPECT_EQ(file_body.headers[0].cPartType, MIME_PART_MESSAGE);
  EXPECT_EQ(file_body.headers[1].cPartType, MIME_PART_BODY);
  EXPECT_EQ(List(from_file, "Recipients"), options.envelope_recipients);
  // The stand-in's own MIME body reader joins the items to the same text.
  std::string joined(file_body.joined.size(), '\0');
  DWORD joined_len = 0;
  ASSERT_EQ(VtNoteGetMimeBody(from_file, "Body", joined.data(), static_cast<DWORD>(joined.size()), &joined_len), NOERROR);
  EXPECT_EQ(joined, file_body.joined);
  EXPECT_EQ(NSFNoteClose(from_file), NOERROR);
  EXPECT_EQ(NSFNoteClose(from_text), NOERROR);
}

TEST_F(MailImportIntoNote, BadInputFailsWithAReason) {
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
  std::string reason;
  EXPECT_EQ(ImportMailFile(note, (root_ + "/missing.eml").c_str(), ImportOptions{}, &reason), ERR_NOEXIST);
  EXPECT_NE(reason.find("missing.eml"), std::string::npos) << reason;
  std::string endless;
  while (endless.size() <= kMaxHeaderBytes) endless += "X-Filler: 0123456789012345678901234567890123456789\r\n";
  std::string path = root_ + "/endless.eml";
  std::ofstream(path, std::ios::binary) << endless << "\r\nbody\r\n";
  EXPECT_EQ(ImportMailFile(note, path.c_str(), ImportOptions{}, &reason), ERR_BAD_PARAM);
  EXPECT_NE(reason.find("longer than"), std::string::npos) << reason;
  EXPECT_FALSE(NSFItemIsPresent(note, "Form", 4));  // nothing half-written

  // Items of headers the message lacks are not made up.
  ASSERT_EQ(ImportMailText(note, "Subject: only a subject\r\n\r\nbody\r\n", ImportOptions{}, &reason), NOERROR);
  EXPECT_FALSE(NSFItemIsPresent(note, "From", 4));
  EXPECT_FALSE(NSFItemIsPresent(note, "SendTo", 6));
  EXPECT_FALSE(NSFItemIsPresent(note, "Recipients", 10));
  EXPECT_TRUE(NSFItemIsPresent(note, "PostedDate", 10));
  ImportOptions envelope;
  envelope.envelope_sender = "bounce@example.com";
  ASSERT_EQ(ImportMailText(note, "Subject: s\r\n\r\nbody\r\n", envelope, &reason), NOERROR);
  EXPECT_EQ(Text(note, "From"), "bounce@example.com");
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

}  // namespace
}  // namespace mail_import
