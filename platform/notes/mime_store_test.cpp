// mime_store_test.cpp - internet mail stored as the server stores it: attachment parts in
// $FILE objects named by their Body items, seen by the attachment calls, carried by copies,
// and written back as the message they came from.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/notes/mail_export.h"
#include "platform/notes/mail_import.h"
#include "platform/notes/mime_parts.h"
#include "platform/notes/notes_test_support.h"

namespace {

using mail_import::ImportMailFile;
using mail_import::ImportMailText;
using mail_import::ImportOptions;

std::string TestData(const char* name) {
  const char* source = std::getenv("VT_SOURCE_DIR");
  std::ifstream in(std::string(source != nullptr ? source : ".") + "/platform/notes/testdata/" + name,
                   std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The bytes the sample message's attachments were made from.
std::string ReportPdf() {
  std::string pdf = "%PDF-1.4\n";
  for (int copy = 0; copy < 9; ++copy) {
    for (int byte = 0; byte < 256; ++byte) pdf += static_cast<char>(byte);
  }
  return pdf + "\n%%EOF\n";
}

class MimeStoreTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    db_ = CreateOpen("mail.box");
  }
  void TearDown() override {
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    NotesRootTest::TearDown();
  }

  // Imports the message into a new note, stores it and opens it again.
  NOTEHANDLE Import(const std::string& message, DBHANDLE db = NULLHANDLE) {
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db == NULLHANDLE ? db_ : db, &note), NOERROR);
    std::string reason;
    EXPECT_EQ(ImportMailText(note, message, ImportOptions{}, &reason), NOERROR) << reason;
    return Reopen(note);
  }

  NOTEHANDLE Reopen(NOTEHANDLE note) {
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    DBHANDLE db = NULLHANDLE;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    NSFNoteGetInfo(note, _NOTE_DB, &db);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    NOTEHANDLE reopened = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db, id, 0, &reopened), NOERROR);
    return reopened;
  }

  static std::string Export(NOTEHANDLE note, STATUS* status_r = nullptr, std::string* reason_r = nullptr) {
    std::string out;
    std::string reason;
    STATUS status = mail_export::ExportMail(note, [&out](std::string_view piece) {
      out.append(piece);
      return true;
    }, &reason);
    if (status_r != nullptr) *status_r = status;
    else EXPECT_EQ(status, NOERROR) << reason;
    if (reason_r != nullptr) *reason_r = reason;
    return out;
  }

  struct Attachment {
    std::string name;
    std::string bytes;
  };
  std::vector<Attachment> Attachments(NOTEHANDLE note) {
    std::vector<Attachment> found;
    for (WORD i = 0;; ++i) {
      BLOCKID item{};
      char name[MAXPATH] = "";
      if (!MailGetMessageAttachmentInfo(note, i, &item, name, nullptr, nullptr, nullptr, nullptr, nullptr)) break;
      std::string path = root_ + "/extracted";
      EXPECT_EQ(NSFNoteExtractFile(note, item, path.c_str(), nullptr), NOERROR);
      found.push_back({name, ReadFile(path)});
    }
    return found;
  }

  // The MIME text of the Body items joined, as capture writes it, and the object names.
  static STATUS CollectBody(WORD, WORD, char* name, WORD name_len, void* value, DWORD value_len, void* context) {
    auto* body = static_cast<std::pair<std::string, std::vector<std::string>>*>(context);
    WORD type = 0;
    std::memcpy(&type, value, sizeof type);
    if (std::string_view(name, name_len) != "Body" || type != TYPE_MIME_PART) return NOERROR;
    void* cursor = static_cast<char*>(value) + sizeof(WORD);
    MIME_PART part{};
    ODSReadMemory(&cursor, _MIME_PART, &part, 1);
    const char* text = static_cast<char*>(value) + sizeof(WORD) + ODSLength(_MIME_PART);
    body->first.append(text, part.wByteCount);
    if ((part.dwFlags & MIME_PART_BODY_IN_DBOBJECT) != 0) {
      EXPECT_EQ(part.wHeadersLen, part.wByteCount);
      const char* end = static_cast<char*>(value) + value_len;
      body->second.emplace_back(text + part.wByteCount, end);
    }
    return NOERROR;
  }

  DBHANDLE db_ = NULLHANDLE;
};

TEST_F(MimeStoreTest, AttachmentPartsBecomeFileObjectsAndTheMessageComesBackWhole) {
  const std::string message = TestData("mixed_attachments.eml");
  std::string path = root_ + "/message.eml";
  std::ofstream(path, std::ios::binary) << message;
  NOTEHANDLE created = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &created), NOERROR);
  std::string reason;
  ASSERT_EQ(ImportMailFile(created, path.c_str(), ImportOptions{}, &reason), NOERROR) << reason;
  NOTEHANDLE note = Reopen(created);

  // Every attachment part, the one inside the forwarded message too, decoded.
  std::vector<Attachment> attachments = Attachments(note);
  ASSERT_EQ(attachments.size(), 3u);
  EXPECT_EQ(attachments[0].name, "report.pdf");
  EXPECT_EQ(attachments[0].bytes, ReportPdf());
  EXPECT_EQ(attachments[1].name, "notes.txt");
  // Quoted-printable line breaks are the message's line ends.
  EXPECT_EQ(attachments[1].bytes, "line one\r\nline two = three\r\nlast line without end\r\n");
  EXPECT_EQ(attachments[2].name, "data.bin");
  std::string data;
  for (int i = 0; i < 20; ++i) data += std::string("\x00\x01\x02" "binary\xff", 10);
  EXPECT_EQ(attachments[2].bytes, data);

  // The Body items keep the text parts and the attachment parts' headers, not their content.
  std::pair<std::string, std::vector<std::string>> body;
  ASSERT_EQ(NSFItemScan(note, CollectBody, &body), NOERROR);
  EXPECT_EQ(body.second, (std::vector<std::string>{"report.pdf", "notes.txt", "data.bin"}));
  EXPECT_NE(body.first.find("the report is attached."), std::string::npos);
  EXPECT_NE(body.first.find("filename=\"report.pdf\""), std::string::npos);
  EXPECT_EQ(body.first.find("JVBERi0xLjQK"), std::string::npos);  // the PDF in base64

  // Written back: the same message, byte for byte (the sample keeps its MIME lines last).
  EXPECT_EQ(Export(note), message);
  // A copy into a user's database carries the objects with it.
  DBHANDLE user = CreateOpen("mail/bob.nsf");
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note, &copy), NOERROR);
  NSFNoteSetInfo(copy, _NOTE_DB, &user);
  NOTEID none = 0;
  NSFNoteSetInfo(copy, _NOTE_ID, &none);
  NOTEHANDLE delivered = Reopen(copy);
  EXPECT_EQ(Export(delivered), message);
  EXPECT_EQ(Attachments(delivered).size(), 3u);
  EXPECT_EQ(NSFNoteClose(delivered), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  EXPECT_EQ(NSFDbClose(user), NOERROR);
}

TEST_F(MimeStoreTest, PartsAreToldApartByTypeAndFileName) {
  const std::string message =
      "From: a@example.com\n"
      "Subject: kinds\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\n"
      "\n"
      "preamble\n"
      "--outer\n"
      "Content-Type: text/plain\n"
      "\n"
      "plain text stays\n"
      "--outer\n"
      "Content-Type: image/png\n"
      "Content-Transfer-Encoding: base64\n"
      "\n"
      "iVBORw0KGgo=\n"
      "--outer\n"
      "Content-Type: text/plain; name=\"../../etc/passwd\"\n"
      "\n"
      "root:x:0:0\n"
      "--outer\n"
      "Content-Type: application/octet-stream\n"
      "Content-Disposition: attachment; filename*=UTF-8''caf%C3%A9.txt\n"
      "\n"
      "--outer-but-not-a-boundary\n"
      "--outer--\n"
      "epilogue\n";
  NOTEHANDLE note = Import(message);
  std::vector<Attachment> attachments = Attachments(note);
  ASSERT_EQ(attachments.size(), 3u);
  EXPECT_EQ(attachments[0].name, "ATT00001");  // no name: one is made up
  EXPECT_EQ(attachments[0].bytes, "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(attachments[1].name, "passwd");  // never a path
  EXPECT_EQ(attachments[1].bytes, "root:x:0:0");
  EXPECT_EQ(attachments[2].name, "caf\xC3\xA9.txt");
  EXPECT_EQ(attachments[2].bytes, "--outer-but-not-a-boundary");
  std::pair<std::string, std::vector<std::string>> body;
  ASSERT_EQ(NSFItemScan(note, CollectBody, &body), NOERROR);
  EXPECT_NE(body.first.find("plain text stays"), std::string::npos);
  EXPECT_NE(body.first.find("epilogue"), std::string::npos);
  EXPECT_EQ(Export(note), message);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);

  // Two parts of one name: the second gets a name of its own, its header keeps the first.
  const std::string twice =
      "Content-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: application/pdf; name=a.pdf\r\n\r\nfirst\r\n"
      "--b\r\nContent-Type: application/pdf; name=A.PDF\r\n\r\nsecond\r\n"
      "--b--\r\n";
  note = Import(twice);
  attachments = Attachments(note);
  ASSERT_EQ(attachments.size(), 2u);
  EXPECT_EQ(attachments[0].name, "a.pdf");
  EXPECT_EQ(attachments[1].name, "ATT00001.PDF");
  EXPECT_EQ(attachments[1].bytes, "second");
  EXPECT_NE(Export(note).find("name=A.PDF\r\n\r\nsecond\r\n--b--"), std::string::npos);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(MimeStoreTest, AMessageThatIsOneAttachmentAndLinesLongerThanABlock) {
  // The message's own content is the attachment; its binary content has no line end for
  // far longer than one piece of a line.
  std::string content(200 * 1024, 'x');
  content[100 * 1024] = '\n';
  content += "\n--not-a-boundary-here\n";
  const std::string message = "Subject: one part\r\nContent-Type: application/zip; name=\"big.zip\"\r\n"
                              "Content-Transfer-Encoding: binary\r\n\r\n" + content;
  NOTEHANDLE note = Import(message);
  std::vector<Attachment> attachments = Attachments(note);
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0].name, "big.zip");
  // The last line end before the end of the message is the message's, not the file's.
  EXPECT_EQ(attachments[0].bytes, content.substr(0, content.size() - 1));
  EXPECT_EQ(Export(note), message);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

// Structures no mail client writes, built to hurt: each is stored without harm and written
// back as it came.
TEST_F(MimeStoreTest, HostileStructuresAreStoredWholeAndBounded) {
  std::string nested_messages = "Content-Type: message/rfc822\r\n\r\n";
  for (int i = 0; i < 100000; ++i) nested_messages += "Content-Type: message/rfc822\r\n\r\n";
  nested_messages += "Content-Type: application/x-evil\r\n\r\nEVIL";
  std::string nested_multiparts;
  for (int i = 0; i < 200; ++i) {
    nested_multiparts += "Content-Type: multipart/mixed; boundary=\"l" + std::to_string(i) + "\"\r\n\r\n--l" +
                         std::to_string(i) + "\r\n";
  }
  nested_multiparts += "Content-Type: application/zip; name=deep.zip\r\n\r\nPK\r\n--l0--\r\n";
  std::string many = "Content-Type: multipart/mixed; boundary=m\r\n\r\n";
  for (int i = 0; i < 1100; ++i) many += "--m\r\nContent-Type: image/gif\r\n\r\nGIF" + std::to_string(i) + "\r\n";
  many += "--m--\r\n";
  struct Case {
    const char* what;
    std::string message;
    size_t attachments;
  };
  const Case cases[] = {
      {"100000 enclosed messages", nested_messages, 1},
      {"200 multipart levels", nested_multiparts, 0},  // deeper than followed: kept as text
      {"1100 attachment parts", many, 1000},           // past the limit: kept as text
  };
  for (const Case& c : cases) {
    NOTEHANDLE note = Import(c.message);
    EXPECT_EQ(Attachments(note).size(), c.attachments) << c.what;
    // Header lines are made from the items for a message that brought none but its MIME lines.
    std::string exported = Export(note);
    EXPECT_TRUE(exported.size() >= c.message.size() &&
                exported.compare(exported.size() - c.message.size(), std::string::npos, c.message) == 0)
        << c.what;
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
  }
}

// Damaged copies of a message that spans several read blocks: whatever the damage, import
// from a file (read in blocks) and from memory must store the same note, and it must
// export.
TEST_F(MimeStoreTest, DamagedMessagesStoreTheSameFromAFileAndFromMemory) {
  std::string message =
      "From: a@example.com\r\nSubject: damaged\r\nDate: Tue, 8 Dec 2026 10:00:00 +0000\r\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "--outer\r\nContent-Type: text/plain\r\n\r\nSome text.\r\n"
      "--outer\r\nContent-Type: application/octet-stream; name=big.bin\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  for (int line = 0; line < 12000; ++line) {
    message += std::string(76, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[line % 64]) + "\r\n";
  }
  message +=
      "--outer\r\nContent-Type: multipart/alternative; boundary=inner\r\n\r\n"
      "--inner\r\nContent-Type: text/plain; name=q.txt\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
      "soft=\r\nbreak =3D\r\n--inner--\r\n--outer--\r\n";
  ImportOptions options;
  options.received_unix = 1796115600;
  std::mt19937 random(20261208);
  const std::string path = root_ + "/damaged.eml";
  for (int round = 0; round < 40; ++round) {
    std::string damaged = message;
    for (int cut = 0; cut < 3; ++cut) {
      size_t at = random() % damaged.size();
      switch (random() % 4) {
        case 0: damaged.erase(at, random() % 300); break;
        case 1: damaged.insert(at, "\r\n--outer\r\n"); break;
        case 2: damaged.insert(at, "\r\n\r\n"); break;
        default: damaged.resize(at); break;
      }
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << damaged;
    NOTEHANDLE from_file = NULLHANDLE;
    NOTEHANDLE from_text = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &from_file), NOERROR);
    ASSERT_EQ(NSFNoteCreate(db_, &from_text), NOERROR);
    std::string reason;
    ASSERT_EQ(ImportMailFile(from_file, path.c_str(), options, &reason), NOERROR) << reason;
    ASSERT_EQ(ImportMailText(from_text, damaged, options, &reason), NOERROR) << reason;
    from_file = Reopen(from_file);
    from_text = Reopen(from_text);
    std::vector<Attachment> file_attachments = Attachments(from_file);
    std::vector<Attachment> text_attachments = Attachments(from_text);
    ASSERT_EQ(file_attachments.size(), text_attachments.size()) << "round " << round;
    for (size_t i = 0; i < file_attachments.size(); ++i) {
      EXPECT_EQ(file_attachments[i].name, text_attachments[i].name) << "round " << round;
      EXPECT_TRUE(file_attachments[i].bytes == text_attachments[i].bytes) << "round " << round;
    }
    std::string exported = Export(from_file);
    EXPECT_TRUE(exported == Export(from_text)) << "round " << round;
    EXPECT_EQ(NSFNoteClose(from_file), NOERROR);
    EXPECT_EQ(NSFNoteClose(from_text), NOERROR);
  }
}

TEST_F(MimeStoreTest, TransferEncodingsDecodeAndEncodeBack) {
  struct Case {
    const char* encoding;
    std::string content;
  };
  std::string all_bytes;
  for (int byte = 0; byte < 256; ++byte) all_bytes += static_cast<char>(byte);
  const Case cases[] = {
      {"base64", ""}, {"base64", "a"}, {"base64", "ab"}, {"base64", all_bytes + all_bytes},
      {"quoted-printable", "caf\xC3\xA9 = menu \t\r\nnext line ends in a blank \r\n" + std::string(200, 'q')},
      // A bare LF is a line break to quoted-printable: it comes back as the line end.
      {"quoted-printable", all_bytes.substr(0, 10) + all_bytes.substr(11)},
      {"7bit", "as it is\r\n\r\n"},
  };
  for (const Case& c : cases) {
    std::string encoded;
    mime_parts::ContentEncoder encoder(c.encoding, "\r\n");
    encoder.Feed(c.content.substr(0, c.content.size() / 2), &encoded);
    encoder.Feed(c.content.substr(c.content.size() / 2), &encoded);
    encoder.Finish(&encoded);
    for (size_t start = 0, end; start < encoded.size(); start = end + 2) {
      end = encoded.find("\r\n", start);
      if (end == std::string::npos) end = encoded.size();
      if (std::string(c.encoding) != "7bit") {
        EXPECT_LE(end - start, 76u) << c.encoding;
      }
    }
    // Decoded line by line, the line ends given only between lines, as import does.
    mime_parts::ContentDecoder decoder(c.encoding);
    std::string decoded;
    size_t start = 0;
    for (;;) {
      size_t end = encoded.find("\r\n", start);
      decoder.Content(std::string_view(encoded).substr(start, end == std::string::npos ? std::string::npos : end - start), &decoded);
      if (end == std::string::npos) break;
      decoder.LineEnd("\r\n", &decoded);
      start = end + 2;
    }
    EXPECT_EQ(decoded, c.content) << c.encoding << " of " << c.content.size() << " bytes";
  }
  // Soft line breaks, blanks added in transport and a stray "=" as senders write them.
  mime_parts::ContentDecoder decoder("Quoted-Printable");
  std::string decoded;
  decoder.Content("soft=  ", &decoded);
  decoder.LineEnd("\r\n", &decoded);
  decoder.Content("break =3D 1=2", &decoded);
  EXPECT_EQ(decoded, "softbreak = 1=2");
}

TEST_F(MimeStoreTest, ADatabaseWrittenBeforeKeepsWorking) {
  // A MIME mail of before: its attachment inside the Body items.
  const std::string message =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
      "--b\r\nContent-Type: application/pdf; name=old.pdf\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERg==\r\n"
      "--b--\r\n";
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Subject", "old", MAXWORD), NOERROR);
  ASSERT_EQ(VtNoteSetMimeBody(note, "Body", message.data(), static_cast<DWORD>(message.size())), NOERROR);
  note = Reopen(note);
  EXPECT_TRUE(Attachments(note).empty());
  std::string exported = Export(note);
  EXPECT_EQ(exported, "Subject: old\r\n" + message);
  DWORD length = 0;
  ASSERT_EQ(VtNoteGetMimeBody(note, "Body", nullptr, 0, &length), NOERROR);
  EXPECT_EQ(length, message.size());
  NOTEHANDLE copy = NULLHANDLE;
  ASSERT_EQ(NSFNoteCopy(note, &copy), NOERROR);
  NOTEHANDLE copied = Reopen(copy);
  EXPECT_EQ(Export(copied), exported);
  EXPECT_EQ(NSFNoteClose(copied), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(MimeStoreTest, ANotesMailIsExportedAsMimeAndAMissingObjectIsAnError) {
  std::string file = root_ + "/plan.bin";
  std::ofstream(file, std::ios::binary) << std::string("\x00\xff plan", 7);
  std::string body = root_ + "/body.txt";
  std::ofstream(body) << "First line\nSecond line\n";
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Subject", "Pl\xC3\xA4ne", MAXWORD), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "From", "CN=Alice/O=Acme", MAXWORD), NOERROR);
  ASSERT_EQ(MailAddMessageBodyText(note, "Body", body.c_str(), 0, nullptr, 0, nullptr), NOERROR);
  ASSERT_EQ(NSFNoteAttachFile(note, "$FILE", 5, file.c_str(), "plan.bin", COMPRESS_NONE), NOERROR);
  note = Reopen(note);
  std::string exported = Export(note);
  EXPECT_NE(exported.find("Subject: =?UTF-8?B?UGzDpG5l?=\r\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("First line\r\nSecond line\r\n"), std::string::npos) << exported;
  EXPECT_NE(exported.find("filename=\"plan.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\nAP8gcGxhbg==\r\n--"),
            std::string::npos) << exported;
  // Imported again, the exported message gives the same attachment back.
  NOTEHANDLE again = Import(exported);
  std::vector<Attachment> attachments = Attachments(again);
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_EQ(attachments[0].bytes, std::string("\x00\xff plan", 7));
  EXPECT_EQ(NSFNoteClose(again), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);

  // A MIME part that names an attachment no longer there is reported, not written empty.
  note = Import(TestData("mixed_attachments.eml"));
  BLOCKID item{};
  ASSERT_TRUE(MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(NSFNoteDetachFile(note, item), NOERROR);
  STATUS status = NOERROR;
  std::string reason;
  Export(note, &status, &reason);
  EXPECT_EQ(status, ERR_OBJECT_MISSING);
  EXPECT_NE(reason.find("report.pdf"), std::string::npos) << reason;
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

// A selection by attachments ("SELECT @Attachments", as the database scanner makes it) must
// find internet mail whose attachment the import could not store as an object and kept in
// the MIME text, or an infected mail padded past the import's limits is never scanned.
TEST_F(MimeStoreTest, AttachmentsKeptInTheMimeTextStillCountForTheSelection) {
  std::string padding;
  for (int i = 0; padding.size() <= 32 * 1024; ++i)
    padding += "X-Pad-" + std::to_string(i) + ": " + std::string(70, 'p') + "\r\n";
  auto mail = [](const std::string& subject, const std::string& parts) {
    return "From: a@example.com\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
           "--b\r\nContent-Type: text/plain\r\n\r\nhello\r\n" +
           parts + "--b--\r\n";
  };
  const std::string attachment_header =
      "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
      "filename=\"x.com\"\r\nContent-Transfer-Encoding: base64\r\n";
  std::string deep = "From: a@example.com\r\nSubject: deep\r\nMIME-Version: 1.0\r\n";
  for (int i = 0; i < 70; ++i) {
    deep += "Content-Type: multipart/mixed; boundary=\"l" + std::to_string(i) + "\"\r\n\r\n--l" +
            std::to_string(i) + "\r\n";
  }
  deep += "Content-Type: application/zip; name=deep.zip\r\n\r\nPK\r\n--l0--\r\n";
  struct Case {
    const char* what;
    std::string message;
    bool selected;
  };
  const Case cases[] = {
      {"attachment stored as an object", mail("stored", attachment_header + "\r\nQUJD\r\n"), true},
      {"attachment header past the limit",
       mail("padded", attachment_header + padding + "\r\nQUJD\r\n"), true},
      {"multipart levels deeper than followed", deep, true},
      {"text only", mail("text", ""), false},
  };
  std::vector<NOTEID> ids;
  for (const Case& c : cases) {
    NOTEHANDLE note = Import(c.message);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    ids.push_back(id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
  }
  auto selected = [this]() {
    std::vector<NOTEID> found;
    FORMULAHANDLE formula = NULLHANDLE;
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, "SELECT @Attachments & PostedDate != NULL", MAXWORD,
                                &formula, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              NOERROR);
    auto collect = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
      static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
      return NOERROR;
    };
    EXPECT_EQ(
        NSFSearch(db_, formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, &found, nullptr),
        NOERROR);
    EXPECT_EQ(OSMemFree(formula), NOERROR);
    return found;
  };
  std::vector<NOTEID> found = selected();
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(std::count(found.begin(), found.end(), ids[i]), cases[i].selected ? 1 : 0)
        << cases[i].what;
  }

  // Once the body is rewritten (a cleaned mail), what the old MIME text held counts no more.
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteOpen(db_, ids[1], 0, &note), NOERROR);
  while (NSFItemDelete(note, "Body", 4) == NOERROR) {
  }
  const std::string text = root_ + "/cleaned.txt";
  std::ofstream(text) << "cleaned\n";
  ASSERT_EQ(MailAddMessageBodyText(note, "Body", text.c_str(), 0, nullptr, 0, nullptr), NOERROR);
  ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
  found = selected();
  EXPECT_EQ(std::count(found.begin(), found.end(), ids[1]), 0);
  EXPECT_EQ(std::count(found.begin(), found.end(), ids[0]), 1);
}

}  // namespace
