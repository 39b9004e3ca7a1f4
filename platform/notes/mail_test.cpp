// mail_test.cpp - the mail calls: body text out at 80 columns, body text in with its line
// delimiters, body items, header items by number, report tests, MIME bodies split and joined.
#include <sstream>

#include "platform/notes/notes_test_support.h"

namespace {

class MailTest : public OpenNoteTest {
 protected:
  MailTest() : OpenNoteTest("mail.box") {}
  std::string BodyText(const char* delimiter = "\r\n", WORD width = 80) {
    std::string out = root_ + "/0.bdy";
    DWORD size = 0;
    EXPECT_EQ(MailGetMessageBodyText(note_, "Body", delimiter, width, TRUE, out.c_str(), &size),
              NOERROR);
    std::string text = ReadFile(out);
    EXPECT_EQ(size, text.size());
    return text;
  }
};

std::vector<std::string> Lines(const std::string& text, const std::string& delimiter) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t at; (at = text.find(delimiter, start)) != std::string::npos;
       start = at + delimiter.size()) {
    lines.push_back(text.substr(start, at - start));
  }
  EXPECT_EQ(start, text.size()) << "every line ends with the delimiter";
  return lines;
}

TEST_F(MailTest, BodyTextWrapsAtEightyColumnsWithoutLosingWords) {
  std::string words;
  for (int i = 0; i < 60; ++i) words += "word" + std::to_string(i) + " ";
  words.pop_back();
  std::string unbroken(200, 'x');
  WriteFile(root_ + "/in.txt", "Short line\r\n" + words + "\r\n\r\n" + unbroken + "\n");
  std::string in = root_ + "/in.txt";
  ASSERT_EQ(MailAddMessageBodyText(note_, "Body", in.c_str(), 0, nullptr, 0, nullptr), NOERROR);
  Reload();
  std::vector<std::string> lines = Lines(BodyText(), "\r\n");
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[0], "Short line");
  std::string rejoined;
  size_t at = 1;
  for (; at < lines.size() && !lines[at].empty(); ++at) {
    EXPECT_LE(lines[at].size(), 80u) << lines[at];
    rejoined += (rejoined.empty() ? "" : " ") + lines[at];
  }
  EXPECT_EQ(rejoined, words);
  ASSERT_LT(at + 3, lines.size() + 1);
  EXPECT_EQ(lines[at], "");
  // A word longer than the width is cut hard.
  EXPECT_EQ(lines[at + 1], std::string(80, 'x'));
  EXPECT_EQ(lines[at + 2], std::string(80, 'x'));
  EXPECT_EQ(lines[at + 3], std::string(40, 'x'));
}

TEST_F(MailTest, BodyTextInSplitsAtCrLfAndTheEndOfFileByte) {
  WriteFile(root_ + "/in.txt", std::string("one\rtwo\nthree\r\nfour\x1a", 20));
  std::string in = root_ + "/in.txt";
  ASSERT_EQ(MailAddMessageBodyText(note_, nullptr, in.c_str(), 0x001A0A0D, nullptr, 0, nullptr),
            NOERROR);
  EXPECT_EQ(BodyText("\n"), "one\ntwo\nthree\nfour\n");
  std::string missing = root_ + "/missing.txt";
  EXPECT_EQ(ERR(MailAddMessageBodyText(note_, nullptr, missing.c_str(), 0, nullptr, 0, nullptr)),
            259);
  NOTEHANDLE empty = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &empty), NOERROR);
  std::string out = root_ + "/none.bdy";
  EXPECT_EQ(MailGetMessageBodyText(empty, "Body", "\r\n", 80, FALSE, out.c_str(), nullptr),
            ERR_MAIL_NO_BODY);
  EXPECT_EQ(NSFNoteClose(empty), NOERROR);
}

TEST_F(MailTest, BodyItemLinesAreAddedAfterTheExistingBody) {
  ASSERT_EQ(NSFItemSetText(note_, "Body", "Original text", MAXWORD), NOERROR);
  DHANDLE body = NULLHANDLE;
  DWORD length = 0;
  ASSERT_EQ(MailCreateBodyItem(&body, &length), NOERROR);
  ASSERT_EQ(MailAppendBodyItemLine(body, &length, "", 0), NOERROR);
  ASSERT_EQ(MailAppendBodyItemLine(body, &length, "Scanned for viruses.", 20), NOERROR);
  ASSERT_EQ(MailAddBodyItem(note_, body, length, nullptr), NOERROR);
  EXPECT_EQ(OSMemFree(body), NOERROR);
  EXPECT_EQ(MailAppendBodyItemLine(body, &length, "late", 4), ERR_INVALID_HANDLE);
  Reload();
  EXPECT_EQ(BodyText(), "Original text\r\n\r\nScanned for viruses.\r\n");
  WORD type = 0;
  ASSERT_EQ(NSFItemInfo(note_, "Body", 4, nullptr, &type, nullptr, nullptr), NOERROR);
  EXPECT_EQ(type, TYPE_COMPOSITE);
}

TEST_F(MailTest, LongRichTextBodySpansSeveralItems) {
  std::string text;
  for (int i = 0; i < 4000; ++i) text += "Line number " + std::to_string(i) + " of the body\n";
  WriteFile(root_ + "/in.txt", text);
  std::string in = root_ + "/in.txt";
  ASSERT_EQ(MailAddMessageBodyText(note_, "Body", in.c_str(), 0, "\n", 0, nullptr), NOERROR);
  Reload();
  int items = 0;
  BLOCKID item;
  for (STATUS status = NSFItemInfo(note_, "Body", 4, &item, nullptr, nullptr, nullptr);
       status == NOERROR;
       status = NSFItemInfoNext(note_, item, "Body", 4, &item, nullptr, nullptr, nullptr)) {
    ++items;
  }
  EXPECT_GT(items, 1);
  EXPECT_EQ(BodyText("\n", 0), text);
}

TEST_F(MailTest, HeaderItemsByNumberJoinListsAndCutToTheBuffer) {
  ASSERT_EQ(NSFItemCreateTextList(note_, "SendTo", "alice@example.com", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemAppendTextList(note_, "SendTo", "bob@example.com", MAXWORD, TRUE), NOERROR);
  ASSERT_EQ(NSFItemSetText(note_, "From", "carol@example.com", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(note_, "BlindCopyTo", "dave@example.com", MAXWORD), NOERROR);
  char text[64];
  WORD length = 0;
  ASSERT_EQ(MailGetMessageItem(note_, MAIL_SENDTO_ITEM_NUM, text, sizeof text, &length), NOERROR);
  EXPECT_STREQ(text, "alice@example.com, bob@example.com");
  ASSERT_EQ(MailGetMessageItem(note_, MAIL_BLINDCOPYTO_ITEM_NUM, text, sizeof text, &length),
            NOERROR);
  EXPECT_STREQ(text, "dave@example.com");
  ASSERT_EQ(MailGetMessageItem(note_, MAIL_COPYTO_ITEM_NUM, text, sizeof text, &length), NOERROR);
  EXPECT_EQ(length, 0);
  // A caller grows its buffer while the length fills it to the last byte.
  ASSERT_EQ(MailGetMessageItem(note_, MAIL_SENDTO_ITEM_NUM, text, 10, &length), NOERROR);
  EXPECT_EQ(length, 9);
  EXPECT_STREQ(text, "alice@exa");
  EXPECT_EQ(MailGetMessageItem(note_, 99, text, sizeof text, &length), ERR_MAIL_BAD_ITEM_CODE);
  ASSERT_EQ(MailReplaceHeaderItem(note_, MAIL_SENDTO_ITEM_NUM, "x@y,z@w", 7), NOERROR);
  ASSERT_EQ(MailGetMessageItem(note_, MAIL_SENDTO_ITEM_NUM, text, sizeof text, &length), NOERROR);
  EXPECT_STREQ(text, "x@y,z@w");
}

TEST_F(MailTest, ReportsAndNonMailAreToldApart) {
  EXPECT_EQ(MailGetMessageClass(note_), MAIL_CLASS_NOT_MAIL);
  ASSERT_EQ(NSFItemSetText(note_, "Form", "Memo", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(note_, "Recipients", "a@x", MAXWORD), NOERROR);
  EXPECT_EQ(MailGetMessageClass(note_), MAIL_CLASS_MEMO);
  EXPECT_FALSE(MailIsNonDeliveryReport(note_));
  ASSERT_EQ(NSFItemSetText(note_, "Form", "NonDelivery Report", MAXWORD), NOERROR);
  EXPECT_TRUE(MailIsNonDeliveryReport(note_));
  EXPECT_EQ(MailGetMessageClass(note_), MAIL_CLASS_REPORT);
}

TEST_F(MailTest, MimeBodyOverSixtyFourKibSplitsAndJoinsBack) {
  std::string mime = "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n";
  while (mime.size() < 200 * 1024) mime += "All work and no play makes a long body.\r\n";
  ASSERT_EQ(VtNoteSetMimeBody(note_, "Body", mime.data(), mime.size()), NOERROR);
  Reload();
  // Every part fits its 16-bit byte count; joined in item order they are the text again.
  std::string joined;
  int parts = 0;
  BLOCKID item;
  BLOCKID value;
  WORD type = 0;
  DWORD length = 0;
  for (STATUS status = NSFItemInfo(note_, "Body", 4, &item, &type, &value, &length);
       status == NOERROR;
       status = NSFItemInfoNext(note_, item, "Body", 4, &item, &type, &value, &length)) {
    ASSERT_EQ(type, TYPE_MIME_PART);
    void* at = OSLockBlock(char, value) + 2;
    MIME_PART part;
    ODSReadMemory(&at, _MIME_PART, &part, 1);
    ASSERT_EQ(length, 2u + ODSLength(_MIME_PART) + part.wByteCount);
    joined.append(static_cast<char*>(at), part.wByteCount);
    ++parts;
  }
  EXPECT_EQ(parts, 4);
  EXPECT_TRUE(joined == mime);
  DWORD size = 0;
  ASSERT_EQ(VtNoteGetMimeBody(note_, "Body", nullptr, 0, &size), NOERROR);
  std::string read_back(size, '\0');
  ASSERT_EQ(VtNoteGetMimeBody(note_, "Body", read_back.data(), size, &size), NOERROR);
  EXPECT_TRUE(read_back == mime);
}

}  // namespace
