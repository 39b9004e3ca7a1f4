// quarantine_test.cpp - the quarantine commands on copies made by the extension itself.
#include "vtsetup/quarantine/quarantine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "platform/notes/mail_import.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/kept_mail.h"
#include "vtnotes/notes_handles.h"
#include "vtnotes/test_support.h"
#include "vtnotes/warnings.h"

namespace vtquarantine {
namespace {

using vtnotes::DbOwner;
using vtnotes::NoteOwner;

constexpr const char* kVantrelId = "1234-5678901234";

class QuarantineTest : public vtnotes::testing_support::RootTest {
 protected:
  void SetUp() override {
    RootTest::SetUp();
    WriteText("domino/notes.ini", "[Notes]\nDirectory=" + Path("domino/data") + "\n");
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    for (const char* db : {"mail.box", "vtquaran.nsf", "admin.nsf"})
      ASSERT_EQ(NSFDbCreate(db, DBCLASS_NOTEFILE, FALSE), NOERROR);
    WriteText("vantrel/vantrel.ini",
              std::string("[General]\r\nScanDir=In\r\nVantrelID=") + kVantrelId + "\r\n");
    UseDatabases("vtquaran.nsf");
    vtnotes::State().install_directory = Path("vantrel");
    vtnotes::State().vantrel_id = kVantrelId;
  }
  void TearDown() override {
    NotesTerm();
    RootTest::TearDown();
  }

  void UseDatabases(const std::string& value) {
    (void)foundation::WriteProductValue(foundation::kProductSubkey, "VTADMINDB", value);
    vtnotes::State().SetLists({}, vtnotes::SplitAdminValue(value));
  }
  Settings Loaded() {
    Settings settings;
    std::string error;
    EXPECT_TRUE(LoadSettings(&settings, &error)) << error;
    return settings;
  }

  // A mail in mail.box, as the router holds it before the extension opens it.
  NOTEID PutMail(const std::string& subject, const std::string& attachment = "") {
    DbOwner box;
    EXPECT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner note;
    EXPECT_EQ(NSFNoteCreate(box.get(), note.out()), NOERROR);
    EXPECT_EQ(NSFItemSetText(note.get(), "From", "ann@example.com", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note.get(), "Subject", subject.c_str(), MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemSetText(note.get(), "SendTo", "bob@example.com, carl@example.com", MAXWORD),
              NOERROR);
    EXPECT_EQ(NSFItemCreateTextList(note.get(), "Recipients", "bob@example.com", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemAppendTextList(note.get(), "Recipients", "carl@example.com", MAXWORD, TRUE),
              NOERROR);
    const std::string mime = "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: " + subject +
                             "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n"
                             "Hello Bob\r\n";
    EXPECT_EQ(VtNoteSetMimeBody(note.get(), "Body", mime.c_str(), static_cast<DWORD>(mime.size())),
              NOERROR);
    if (!attachment.empty()) {
      WriteText("tmp/" + attachment, "attachment bytes");
      EXPECT_EQ(NSFNoteAttachFile(note.get(), "$FILE", 5, Path("tmp/" + attachment).c_str(),
                                  attachment.c_str(), COMPRESS_NONE),
                NOERROR);
    }
    EXPECT_EQ(NSFNoteUpdate(note.get(), 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
    return id;
  }

  // Quarantines the mail through the extension's own copy routine, with the engine's order.
  void Quarantine(NOTEID mail, const std::string& virus = "Test.Virus") {
    WriteText("vantrel/Out/job/Forward.txt", virus + "\r\n");
    DbOwner box;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner note;
    ASSERT_EQ(NSFNoteOpen(box.get(), mail, OPEN_DEFAULT, note.out()), NOERROR);
    vtnotes::MailInfo info;
    ASSERT_EQ(vtnotes::CopyQuarantine(note.get(), Path("vantrel/Out/job"), info, false), NOERROR);
  }

  // An internet mail in mail.box as the server stores one, its attachment a MIME part.
  NOTEID PutInternetMail(const std::string& subject, const std::string& attachment) {
    const std::string message =
        "From: ann@example.com\r\nTo: bob@example.com\r\nCc: carl@example.com\r\nSubject: " +
        subject +
        "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nHello Bob\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"" +
        attachment + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\nYXR0YWNobWVudA==\r\n--b--\r\n";
    DbOwner box;
    EXPECT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner note;
    EXPECT_EQ(NSFNoteCreate(box.get(), note.out()), NOERROR);
    EXPECT_EQ(mail_import::ImportMailText(note.get(), message, {}, nullptr), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note.get(), 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
    return id;
  }

  // A document in a quarantine database that is not one of this installation's copies.
  NOTEID PutForeignNote(const char* db_name, const char* mark) {
    DbOwner db;
    EXPECT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    NoteOwner note;
    EXPECT_EQ(NSFNoteCreate(db.get(), note.out()), NOERROR);
    EXPECT_EQ(NSFItemSetText(note.get(), "Subject", "not a copy", MAXWORD), NOERROR);
    EXPECT_EQ(NSFItemCreateTextList(note.get(), "Recipients", "eve@example.com", MAXWORD), NOERROR);
    if (mark != nullptr) {
      EXPECT_EQ(NSFItemSetText(note.get(), "X-Vantrel", mark, MAXWORD), NOERROR);
    }
    EXPECT_EQ(NSFNoteUpdate(note.get(), 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
    return id;
  }

  // A warning mail of this installation in a database, as the router delivers one.
  NOTEID PutWarningMail(const char* db_name) {
    DbOwner db;
    EXPECT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    NoteOwner note;
    EXPECT_EQ(NSFNoteCreate(db.get(), note.out()), NOERROR);
    for (const auto& [item, value] :
         {std::pair{"Form", "Memo"}, {"Subject", "Virus found"}, {"SendTo", "admin@example.com"},
          {"From", "admin"}, {"X-Vantrel", kVantrelId}})
      EXPECT_EQ(NSFItemSetText(note.get(), item, value, MAXWORD), NOERROR);
    EXPECT_EQ(NSFNoteUpdate(note.get(), 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note.get(), _NOTE_ID, &id);
    return id;
  }

  // Delivers a note of mail.box into a database whole, as the router does.
  NOTEID Deliver(NOTEID mail, const char* db_name) {
    DbOwner box;
    DbOwner db;
    EXPECT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    EXPECT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    NoteOwner note;
    NoteOwner delivered;
    EXPECT_EQ(NSFNoteOpen(box.get(), mail, OPEN_DEFAULT, note.out()), NOERROR);
    EXPECT_EQ(NSFNoteCopy(note.get(), delivered.out()), NOERROR);
    DBHANDLE target = db.get();
    NSFNoteSetInfo(delivered.get(), _NOTE_DB, &target);
    EXPECT_EQ(NSFNoteUpdate(delivered.get(), 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(delivered.get(), _NOTE_ID, &id);
    return id;
  }

  bool Holds(const char* db_name, NOTEID id) {
    DbOwner db;
    EXPECT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    NoteOwner note;
    return NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out()) == NOERROR;
  }

  // Takes what only the copy step writes off every document of a database, as copies were
  // before they named their mail.
  void ForgetOrigins(const char* db_name) {
    DbOwner db;
    ASSERT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    for (NOTEID id : NoteIds(db_name)) {
      NoteOwner note;
      ASSERT_EQ(NSFNoteOpen(db.get(), id, OPEN_DEFAULT, note.out()), NOERROR);
      (void)NSFItemDelete(note.get(), kOriginalMailItem, 14);
      ASSERT_EQ(NSFNoteUpdate(note.get(), 0), NOERROR);
    }
  }

  std::vector<CopySummary> List(const Settings& settings) {
    std::vector<CopySummary> copies;
    std::string error;
    EXPECT_TRUE(ListCopies(settings, &copies, &error)) << error;
    return copies;
  }

  std::vector<NOTEID> NoteIds(const char* db_name) {
    std::vector<NOTEID> ids;
    DbOwner db;
    EXPECT_EQ(NSFDbOpen(db_name, db.out()), NOERROR);
    EXPECT_EQ(NSFSearch(
                  db.get(), NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                  [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
                    static_cast<std::vector<NOTEID>*>(context)->push_back(match->ID.NoteID);
                    return NOERROR;
                  },
                  &ids, nullptr),
              NOERROR);
    return ids;
  }
  std::vector<NOTEID> MailBoxNotes() { return NoteIds("mail.box"); }

  static std::string Text(NOTEHANDLE note, const char* name) {
    char value[512] = "";
    return std::string(value, NSFItemGetText(note, name, value, sizeof value));
  }
};

TEST_F(QuarantineTest, SettingsNameEveryQuarantineDatabaseOnceAndNeedTheInstallationsMark) {
  UseDatabases(" vtquaran.nsf, admin.nsf,,VTQUARAN.NSF ");
  EXPECT_EQ(Loaded().databases, (std::vector<std::string>{"vtquaran.nsf", "admin.nsf"}));
  UseDatabases(" , ");
  EXPECT_EQ(Loaded().databases, std::vector<std::string>{"vtquaran.nsf"});

  WriteText("vantrel/vantrel.ini", "[General]\r\nScanDir=In\r\n");
  Settings settings;
  std::string error;
  EXPECT_FALSE(LoadSettings(&settings, &error));
  EXPECT_NE(error.find("VantrelID"), std::string::npos);
}

TEST_F(QuarantineTest, IdsNameADatabaseOfTheListAndAHexadecimalNoteId) {
  Settings settings = Loaded();
  struct Case {
    const char* text;
    bool accepted;
    NOTEID id;
  };
  const Case kCases[] = {
      {"vtquaran.nsf:8FA", true, 0x8FA},
      {"VTQUARAN.NSF:8fa", true, 0x8FA},
      {"8FA", true, 0x8FA},
      {"0x8fa", true, 0x8FA},
      {"admin.nsf:8FA", false, 0},
      {"names.nsf:8FA", false, 0},
      {"", false, 0},
      {"vtquaran.nsf:", false, 0},
      {"0", false, 0},
      {"8FG", false, 0},
      {"123456789", false, 0},
      {"-8FA", false, 0},
  };
  for (const Case& c : kCases) {
    CopyId id;
    std::string error;
    EXPECT_EQ(ParseId(c.text, settings, &id, &error), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(id.database, "vtquaran.nsf") << c.text;
      EXPECT_EQ(id.note_id, c.id) << c.text;
    } else {
      EXPECT_FALSE(error.empty()) << c.text;
    }
  }
  EXPECT_EQ(FormatId(CopyId{"vtquaran.nsf", 0x8FA}), "vtquaran.nsf:8FA");

  // With two databases a bare note ID is ambiguous.
  UseDatabases("vtquaran.nsf,admin.nsf");
  settings = Loaded();
  CopyId id;
  std::string error;
  EXPECT_FALSE(ParseId("8FA", settings, &id, &error));
  EXPECT_TRUE(ParseId("admin.nsf:8FA", settings, &id, &error));
  EXPECT_EQ(id.database, "admin.nsf");
}

TEST_F(QuarantineTest, ListShowsEachCopyOfEachDatabaseAndNothingElse) {
  UseDatabases("vtquaran.nsf,admin.nsf");
  Quarantine(PutMail("invoice", "invoice.exe"));
  PutForeignNote("vtquaran.nsf", nullptr);
  PutForeignNote("vtquaran.nsf", "DELETE");
  const std::vector<CopySummary> copies = List(Loaded());
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0].id.database, "vtquaran.nsf");
  EXPECT_EQ(copies[1].id.database, "admin.nsf");
  for (const CopySummary& copy : copies) {
    EXPECT_EQ(copy.from, "ann@example.com");
    EXPECT_EQ(copy.recipients, (std::vector<std::string>{"bob@example.com", "carl@example.com"}));
    EXPECT_EQ(copy.subject, "invoice");
    EXPECT_EQ(copy.virus, "Test.Virus");
    EXPECT_EQ(copy.attachments, std::vector<std::string>{"invoice.exe"});
    EXPECT_GT(copy.size_bytes, 0u);
    EXPECT_GT(copy.posted_unix, 0);
    EXPECT_TRUE(copy.released_by.empty());
  }
}

TEST_F(QuarantineTest, EveryCommandRefusesWhatIsNotACopyAndChangesNothing) {
  Settings settings = Loaded();
  const NOTEID foreign = PutForeignNote("vtquaran.nsf", "another-installation");
  for (NOTEID note_id : {foreign, NOTEID{0x7FFE}}) {
    const CopyId id{"vtquaran.nsf", note_id};
    std::string error;
    CopySummary copy;
    EXPECT_FALSE(ShowCopy(settings, id, &copy, &error));
    EXPECT_FALSE(ExportCopy(settings, id, Path("tmp/out.eml"), &error));
    EXPECT_FALSE(Exists(Path("tmp/out.eml")));
    EXPECT_FALSE(ReleaseCopy(settings, id, "admin", nullptr, &error));
    EXPECT_FALSE(DeleteCopy(settings, id, &error));
    EXPECT_FALSE(error.empty());
  }
  EXPECT_TRUE(MailBoxNotes().empty());
  DbOwner db;
  ASSERT_EQ(NSFDbOpen("vtquaran.nsf", db.out()), NOERROR);
  NoteOwner note;
  ASSERT_EQ(NSFNoteOpen(db.get(), foreign, OPEN_DEFAULT, note.out()), NOERROR);
  EXPECT_EQ(Text(note.get(), kReleasedByItem), "");
}

TEST_F(QuarantineTest, AnAdministratorsMailDatabaseKeepsItsWarningAndReleasedMails) {
  // The administrator's own mail database is a quarantine database: it holds the copy, the
  // warning about the virus, and later the released mail, all three with the mark.
  UseDatabases("vtquaran.nsf,admin.nsf");
  const NOTEID original = PutMail("invoice", "invoice.exe");
  Quarantine(original);
  const NOTEID warning = PutWarningMail("admin.nsf");
  Settings settings = Loaded();
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0].origin, copies[1].origin);
  EXPECT_FALSE(copies[0].origin.empty());

  NOTEID sent = 0;
  std::string error;
  ASSERT_TRUE(ReleaseCopy(settings, copies[1].id, "admin", &sent, &error)) << error;
  const NOTEID released = Deliver(sent, "admin.nsf");
  EXPECT_EQ(List(settings).size(), 2u);
  for (NOTEID id : {warning, released}) {
    const CopyId not_a_copy{"admin.nsf", id};
    CopySummary shown;
    EXPECT_FALSE(ShowCopy(settings, not_a_copy, &shown, &error));
    EXPECT_FALSE(ReleaseCopy(settings, not_a_copy, "admin", nullptr, &error));
    EXPECT_FALSE(DeleteCopy(settings, not_a_copy, &error));
  }
  int deleted = 0;
  ASSERT_TRUE(PurgeCopies(settings, 0, copies[0].copied_unix + 1, &deleted, &error)) << error;
  EXPECT_EQ(deleted, 2);
  EXPECT_TRUE(List(settings).empty());
  EXPECT_TRUE(Holds("admin.nsf", warning));
  EXPECT_TRUE(Holds("admin.nsf", released));
}

TEST_F(QuarantineTest, AMailIsReleasedOnceWhicheverDatabasesCopyIsNamed) {
  UseDatabases("vtquaran.nsf,admin.nsf");
  Quarantine(PutMail("one mail"));
  Quarantine(PutMail("another mail"));
  Settings settings = Loaded();
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 4u);
  // vtquaran.nsf's copies first, then admin.nsf's, each in the order they were made.
  ASSERT_EQ(copies[0].subject, "one mail");
  ASSERT_EQ(copies[2].subject, "one mail");
  EXPECT_NE(copies[0].origin, copies[1].origin);

  const std::size_t originals = MailBoxNotes().size();
  std::string error;
  ASSERT_TRUE(ReleaseCopy(settings, copies[2].id, "ann", nullptr, &error)) << error;
  EXPECT_FALSE(ReleaseCopy(settings, copies[0].id, "bob", nullptr, &error));
  EXPECT_NE(error.find("released already by ann (as " + FormatId(copies[2].id) + ")"),
            std::string::npos)
      << error;
  EXPECT_EQ(MailBoxNotes().size(), originals + 1);
  for (const CopySummary& copy : List(settings)) {
    if (copy.subject != "one mail") {
      EXPECT_TRUE(copy.released_by.empty());
      continue;
    }
    EXPECT_EQ(copy.released_by, "ann");
    EXPECT_EQ(copy.released_as, FormatId(copies[2].id));
  }
  // The other mail is a mail of its own.
  EXPECT_TRUE(ReleaseCopy(settings, copies[1].id, "bob", nullptr, &error)) << error;
  EXPECT_EQ(MailBoxNotes().size(), originals + 2);
}

TEST_F(QuarantineTest, AReleaseIsRefusedWhenAnotherCopyCannotBeChecked) {
  UseDatabases("vtquaran.nsf,admin.nsf");
  Quarantine(PutMail("unsure"));
  Settings settings = Loaded();
  const CopyId id = List(settings).at(0).id;
  const std::size_t originals = MailBoxNotes().size();
  ASSERT_EQ(NSFDbDelete("admin.nsf"), NOERROR);
  WriteText("domino/data/admin.nsf", "not a database");
  std::string error;
  EXPECT_FALSE(ReleaseCopy(settings, id, "admin", nullptr, &error));
  EXPECT_NE(error.find("admin.nsf"), std::string::npos) << error;
  EXPECT_EQ(MailBoxNotes().size(), originals);
  CopySummary copy;
  ASSERT_TRUE(ShowCopy(settings, id, &copy, &error));
  EXPECT_TRUE(copy.released_by.empty());
}

TEST_F(QuarantineTest, CopiesMadeBeforeTheyNamedTheirMailAreStillToldApart) {
  UseDatabases("vtquaran.nsf,admin.nsf");
  Quarantine(PutMail("earlier"));
  ForgetOrigins("vtquaran.nsf");
  ForgetOrigins("admin.nsf");
  const NOTEID warning = PutWarningMail("admin.nsf");
  Settings settings = Loaded();
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 2u);
  EXPECT_EQ(copies[0].origin, copies[1].origin);
  const std::size_t originals = MailBoxNotes().size();
  std::string error;
  ASSERT_TRUE(ReleaseCopy(settings, copies[0].id, "admin", nullptr, &error)) << error;
  EXPECT_FALSE(ReleaseCopy(settings, copies[1].id, "admin", nullptr, &error));
  EXPECT_EQ(MailBoxNotes().size(), originals + 1);
  int deleted = 0;
  ASSERT_TRUE(PurgeCopies(settings, 0, copies[0].copied_unix + 1, &deleted, &error)) << error;
  EXPECT_EQ(deleted, 2);
  EXPECT_TRUE(Holds("admin.nsf", warning));
}

TEST_F(QuarantineTest, ReleaseSendsTheMailOnceMarkedAndRecordsWhoReleasedIt) {
  const NOTEID original = PutMail("false alarm", "report.pdf");
  Quarantine(original);
  {
    DbOwner box;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    ASSERT_EQ(NSFNoteDelete(box.get(), original, 0), NOERROR);  // the verdict was applied
  }
  Settings settings = Loaded();
  const CopyId id = List(settings).at(0).id;
  NOTEID sent = 0;
  std::string error;
  ASSERT_TRUE(ReleaseCopy(settings, id, "admin", &sent, &error)) << error;
  ASSERT_EQ(MailBoxNotes(), std::vector<NOTEID>{sent});
  {
    DbOwner box;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner mail;
    ASSERT_EQ(NSFNoteOpen(box.get(), sent, OPEN_DEFAULT, mail.out()), NOERROR);
    EXPECT_EQ(Text(mail.get(), "X-Vantrel"), kVantrelId);
    EXPECT_EQ(NSFItemGetTextListEntries(mail.get(), "Recipients"), 2);
    EXPECT_EQ(Text(mail.get(), "Subject"), "false alarm");
    EXPECT_EQ(Text(mail.get(), kVirusNameItem), "");
    EXPECT_EQ(Text(mail.get(), kReleasedByItem), "");
    EXPECT_TRUE(NSFItemIsPresent(mail.get(), "$FILE", 5));
  }
  CopySummary copy;
  ASSERT_TRUE(ShowCopy(settings, id, &copy, &error));
  EXPECT_EQ(copy.released_by, "admin");
  EXPECT_GT(copy.released_unix, 0);

  EXPECT_FALSE(ReleaseCopy(settings, id, "someone else", &sent, &error));
  EXPECT_NE(error.find("released already by admin"), std::string::npos) << error;
  EXPECT_EQ(MailBoxNotes().size(), 1u);
}

TEST_F(QuarantineTest, AReleaseThatCannotReachTheMailBoxLeavesTheCopyReleasable) {
  Quarantine(PutMail("stuck"));
  Settings settings = Loaded();
  const CopyId id = List(settings).at(0).id;
  ASSERT_EQ(NSFDbDelete("mail.box"), NOERROR);
  std::string error;
  EXPECT_FALSE(ReleaseCopy(settings, id, "admin", nullptr, &error));
  EXPECT_NE(error.find("mail.box"), std::string::npos) << error;
  CopySummary copy;
  ASSERT_TRUE(ShowCopy(settings, id, &copy, &error));
  EXPECT_TRUE(copy.released_by.empty());

  ASSERT_EQ(NSFDbCreate("mail.box", DBCLASS_NOTEFILE, FALSE), NOERROR);
  EXPECT_TRUE(ReleaseCopy(settings, id, "admin", nullptr, &error)) << error;
  EXPECT_EQ(MailBoxNotes().size(), 1u);
}

TEST_F(QuarantineTest, ExportWritesTheMessageAndNeverOverwritesAFile) {
  Quarantine(PutMail("exported", "notes.txt"));
  Settings settings = Loaded();
  const CopyId id = List(settings).at(0).id;
  std::string error;
  ASSERT_TRUE(ExportCopy(settings, id, Path("tmp/copy.eml"), &error)) << error;
  const std::string message = ReadFile(Path("tmp/copy.eml"));
  EXPECT_NE(message.find("Subject: exported"), std::string::npos);
  EXPECT_NE(message.find("Hello Bob"), std::string::npos);

  WriteText("tmp/kept.eml", "precious");
  EXPECT_FALSE(ExportCopy(settings, id, Path("tmp/kept.eml"), &error));
  EXPECT_EQ(ReadFile(Path("tmp/kept.eml")), "precious");
}

TEST_F(QuarantineTest, DeleteAndPurgeRemoveOnlyCopies) {
  Quarantine(PutMail("one"));
  Quarantine(PutMail("two"));
  const NOTEID foreign = PutForeignNote("vtquaran.nsf", nullptr);
  Settings settings = Loaded();
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 2u);
  std::string error;
  ASSERT_TRUE(DeleteCopy(settings, copies[0].id, &error)) << error;
  EXPECT_FALSE(DeleteCopy(settings, copies[0].id, &error));  // gone now
  ASSERT_EQ(List(settings).size(), 1u);

  const long long now = copies[1].copied_unix;
  int deleted = 0;
  ASSERT_TRUE(PurgeCopies(settings, 1, now, &deleted, &error)) << error;
  EXPECT_EQ(deleted, 0);
  ASSERT_TRUE(PurgeCopies(settings, 1, now + 86400 + 1, &deleted, &error)) << error;
  EXPECT_EQ(deleted, 1);
  EXPECT_TRUE(List(settings).empty());
  EXPECT_FALSE(PurgeCopies(settings, -1, now, &deleted, &error));

  DbOwner db;
  ASSERT_EQ(NSFDbOpen("vtquaran.nsf", db.out()), NOERROR);
  NoteOwner note;
  EXPECT_EQ(NSFNoteOpen(db.get(), foreign, OPEN_DEFAULT, note.out()), NOERROR);
}

TEST_F(QuarantineTest, AKeptMailJoinsTheCopiesThatWereMadeAndIsReleasedOnce) {
  // The copy reached vtquaran.nsf; admin.nsf failed, so the original was kept as well.
  const NOTEID mail = PutMail("half copied", "half.exe");
  Quarantine(mail, "Half.Virus");
  UseDatabases("vtquaran.nsf,admin.nsf");
  {
    DbOwner box;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner note;
    ASSERT_EQ(NSFNoteOpen(box.get(), mail, OPEN_DEFAULT, note.out()), NOERROR);
    ASSERT_FALSE(vtnotes::KeepOriginalMail(note.get(), "8f6", "Half.Virus").empty());
  }
  Settings settings = Loaded();
  ImportReport report;
  ASSERT_TRUE(ImportKeptMail(settings, &report)) << report.failed.at(0);
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 2u);  // one in each database, none twice
  EXPECT_EQ(copies[0].id.database, "vtquaran.nsf");
  EXPECT_EQ(copies[1].id.database, "admin.nsf");
  EXPECT_EQ(copies[0].origin, copies[1].origin);
  EXPECT_EQ(copies[1].virus, "Half.Virus");
  std::string error;
  ASSERT_TRUE(ReleaseCopy(settings, copies[1].id, "admin", nullptr, &error)) << error;
  EXPECT_FALSE(ReleaseCopy(settings, copies[0].id, "admin", nullptr, &error));
}

TEST_F(QuarantineTest, ImportBringsEachKeptOriginalInOnceAndRemovesItAfterward) {
  UseDatabases("vtquaran.nsf,admin.nsf");
  std::string kept;
  {
    DbOwner box;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    NoteOwner note;
    ASSERT_EQ(NSFNoteOpen(box.get(), PutInternetMail("kept", "kept.exe"), OPEN_DEFAULT, note.out()),
              NOERROR);
    // A recipient that no header names (Bcc): only the router's list has it.
    ASSERT_EQ(NSFItemAppendTextList(note.get(), "Recipients", "dave@example.com", MAXWORD, TRUE),
              NOERROR);
    kept = vtnotes::KeepOriginalMail(note.get(), "8fa", "Kept.Virus");
  }
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(std::filesystem::status(Path("vantrel/Quarantine")).permissions(),
            std::filesystem::perms::owner_all);
  // A database of one mail, as originals were kept before they were kept as messages.
  const std::string legacy = Path("vantrel/Quarantine/8fe-20261201-101010-0.nsf");
  {
    ASSERT_EQ(NSFDbCreate(legacy.c_str(), DBCLASS_NOTEFILE, FALSE), NOERROR);
    DbOwner box;
    DbOwner db;
    ASSERT_EQ(NSFDbOpen("mail.box", box.out()), NOERROR);
    ASSERT_EQ(NSFDbOpen(legacy.c_str(), db.out()), NOERROR);
    NoteOwner note;
    NoteOwner copy;
    ASSERT_EQ(NSFNoteOpen(box.get(), PutMail("legacy"), OPEN_DEFAULT, note.out()), NOERROR);
    ASSERT_EQ(NSFNoteCopy(note.get(), copy.out()), NOERROR);
    DBHANDLE target = db.get();
    NSFNoteSetInfo(copy.get(), _NOTE_DB, &target);
    ASSERT_EQ(NSFNoteUpdate(copy.get(), 0), NOERROR);
  }
  const std::string saved = Path("tmp/saved.eml");
  std::filesystem::copy_file(kept, saved);
  std::filesystem::copy_file(kept + vtnotes::kKeptRecordSuffix, saved + ".info");
  WriteText("vantrel/Quarantine/damaged.nsf", "this is not a database");
  WriteText("vantrel/Quarantine/empty.eml", "");
  WriteText("vantrel/Quarantine/notes.txt", "left alone");

  Settings settings = Loaded();
  ImportReport report;
  EXPECT_FALSE(ImportKeptMail(settings, &report));  // the damaged and the empty file
  EXPECT_EQ(report.imported.size(), 2u);
  ASSERT_EQ(report.failed.size(), 2u);
  EXPECT_FALSE(Exists(kept));
  EXPECT_FALSE(Exists(kept + vtnotes::kKeptRecordSuffix));
  EXPECT_FALSE(Exists(legacy));
  for (const char* left : {"damaged.nsf", "empty.eml", "notes.txt"})
    EXPECT_TRUE(Exists(Path(std::string("vantrel/Quarantine/") + left))) << left;
  std::vector<CopySummary> copies = List(settings);
  ASSERT_EQ(copies.size(), 4u);  // two mails, two databases
  for (const CopySummary& copy : copies) {
    if (copy.subject == "kept") {
      // Everything a copy made at once would show.
      EXPECT_EQ(copy.attachments, std::vector<std::string>{"kept.exe"});
      EXPECT_EQ(copy.recipients, (std::vector<std::string>{"bob@example.com", "carl@example.com",
                                                           "dave@example.com"}));
      EXPECT_EQ(copy.virus, "Kept.Virus");
      EXPECT_EQ(copy.from, "ann@example.com");
      EXPECT_GT(copy.posted_unix, 0);
      EXPECT_EQ(copy.origin.rfind("mail.box:", 0), 0u) << copy.origin;
      EXPECT_EQ(copy.imported_from, std::filesystem::path(kept).filename().string());
    } else {
      EXPECT_EQ(copy.subject, "legacy");
      EXPECT_EQ(copy.imported_from.rfind("8fe-20261201-101010-0.nsf:", 0), 0u);
    }
  }

  // The same file again, as when its removal failed: it is only removed this time.
  std::filesystem::copy_file(saved, kept);
  std::filesystem::copy_file(saved + ".info", kept + vtnotes::kKeptRecordSuffix);
  for (const char* left : {"damaged.nsf", "empty.eml"})
    std::filesystem::remove(Path(std::string("vantrel/Quarantine/") + left));
  report = ImportReport{};
  EXPECT_TRUE(ImportKeptMail(settings, &report)) << report.failed.at(0);
  EXPECT_FALSE(Exists(kept));
  EXPECT_EQ(List(settings).size(), 4u);
}

}  // namespace
}  // namespace vtquarantine
