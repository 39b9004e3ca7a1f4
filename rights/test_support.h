// test_support.h - a machine root with a router mail box and a rules database, per test.
//
// For the extension's tests only. A RightsTest makes a temporary root (WIN.INI naming the
// install directory, vantrel.ini with the report directory, identifier and administrators,
// the Domino data directory with mail.box), starts the Notes runtime on it, and offers
// helpers to write rule documents into vtsched.nsf and new mails into a mail box. With
// Arm() it also holds the engine's lock file, switches the check on and installs the hook
// through the Notes stand-in's seam.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/config.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"
#include "rights/rights.h"

namespace rights::testing_support {

inline constexpr const char* kInstallationId = "12345-6789012345";

struct Rule {
  std::string email3{};
  std::string status = "Enable";
  double send_limit = 0;     // 0: no item
  double receive_limit = 0;  // 0: no item
  std::string send_action = "Delete";
  std::string receive_action = "Delete";
  std::string do_not_scan{};
  std::string email1{};
};

struct Mail {
  std::string from{};
  std::string send_to{};
  std::string copy_to{};
  std::string blind_copy_to{};
  std::string subject = "Quarterly figures";
  std::size_t body_bytes = 1000;
};

class RightsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vt-rights-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    vtplatform::SetSystemRoot(root_);
    ::setenv("VT_SYSROOT", root_.c_str(), 1);
    vtplatform::ResetMachineIdentity();
    for (const char* directory : {"vantrel/logs", "domino/data", "windows", "tmp"}) {
      std::filesystem::create_directories(Path(directory));
    }
    WriteText("windows/win.ini", "[Vantrel]\r\nInstallDirectory=" + Path("vantrel") + "\r\n");
    WriteText("vantrel/vantrel.ini", "[General]\r\nReportDirectory=" + Path("vantrel/logs") +
                                         "\r\nVantrelID=" + kInstallationId +
                                         "\r\nAdminEmailId=admin@acme.example,ops@acme.example"
                                         "\r\n");
    WriteText("domino/notes.ini",
              "[Notes]\nDirectory=" + Path("domino/data") + "\nServerName=CN=Mail1/O=Acme\n");
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
    ASSERT_EQ(NSFDbCreate("mail.box", DBCLASS_NOTEFILE, FALSE), NOERROR);
  }

  void TearDown() override {
    VtRemoveHooks();
    if (engine_lock_ != nullptr) CloseHandle(engine_lock_);
    NotesTerm();
    vtplatform::SetSystemRoot("");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Engine running, check switched on, settings read and the hook installed.
  void Arm(bool enabled = true) {
    engine_lock_ = CreateFile(Path("vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE,
                              0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(engine_lock_, INVALID_HANDLE_VALUE);
    if (enabled) SetValue("SizeRestrictionEnabled", "1");
    SetValue("VTDEBUG", "5");
    ASSERT_NE(VtInstallHookEntry(&EntryPoint), nullptr);
  }

  static void SetValue(const char* name, const char* value) {
    ASSERT_EQ(foundation::WriteProductValue(foundation::kProductSubkey, name, value), 0);
  }

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }

  void WriteText(const std::string& relative, const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(Path(relative)).parent_path());
    std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << text;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Writes a rule document into vtsched.nsf (created on first use).
  static void AddRule(const Rule& rule) {
    DBHANDLE db = NULLHANDLE;
    if (NSFDbOpen(kRulesDatabase, &db) != NOERROR) {
      ASSERT_EQ(NSFDbCreate(kRulesDatabase, DBCLASS_NOTEFILE, FALSE), NOERROR);
      ASSERT_EQ(NSFDbOpen(kRulesDatabase, &db), NOERROR);
    }
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db, &note), NOERROR);
    ASSERT_EQ(NSFItemSetText(note, "Form", kRuleForm, MAXWORD), NOERROR);
    if (!rule.email3.empty()) {
      ASSERT_EQ(NSFItemSetText(note, "Email3", rule.email3.c_str(), MAXWORD), NOERROR);
    }
    if (!rule.email1.empty()) {
      ASSERT_EQ(NSFItemSetText(note, "Email1", rule.email1.c_str(), MAXWORD), NOERROR);
    }
    ASSERT_EQ(NSFItemSetText(note, "Status", rule.status.c_str(), MAXWORD), NOERROR);
    if (rule.send_limit != 0) {
      ASSERT_EQ(NSFItemSetNumber(note, "Max_Send_Size", &rule.send_limit), NOERROR);
    }
    if (rule.receive_limit != 0) {
      ASSERT_EQ(NSFItemSetNumber(note, "Max_Receive_Size", &rule.receive_limit), NOERROR);
    }
    ASSERT_EQ(NSFItemSetText(note, "Max_Send_Action", rule.send_action.c_str(), MAXWORD),
              NOERROR);
    ASSERT_EQ(NSFItemSetText(note, "Max_Receive_Action", rule.receive_action.c_str(), MAXWORD),
              NOERROR);
    if (!rule.do_not_scan.empty()) {
      ASSERT_EQ(NSFItemSetText(note, "DoNotScanMail", rule.do_not_scan.c_str(), MAXWORD),
                NOERROR);
    }
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
    ASSERT_EQ(NSFDbClose(db), NOERROR);
  }

  // Fills a new note with the mail's items (not written).
  static void FillMail(NOTEHANDLE note, const Mail& mail) {
    ASSERT_EQ(NSFItemSetText(note, "Form", "Memo", MAXWORD), NOERROR);
    ASSERT_EQ(NSFItemSetText(note, MAIL_FROM_ITEM, mail.from.c_str(), MAXWORD), NOERROR);
    const std::pair<const char*, const std::string*> lists[] = {
        {MAIL_SENDTO_ITEM, &mail.send_to},
        {MAIL_COPYTO_ITEM, &mail.copy_to},
        {MAIL_BLINDCOPYTO_ITEM, &mail.blind_copy_to}};
    for (const auto& [name, list] : lists) {
      if (list->empty()) continue;
      const std::string value = list->substr(0, MAXWORD - 1);
      ASSERT_EQ(NSFItemSetText(note, name, value.c_str(), static_cast<WORD>(value.size())),
                NOERROR);
    }
    ASSERT_EQ(NSFItemSetText(note, MAIL_SUBJECT_ITEM, mail.subject.c_str(), MAXWORD), NOERROR);
    const std::string body(mail.body_bytes, 'x');
    ASSERT_EQ(NSFItemAppend(note, 0, "Body", 4, TYPE_TEXT, body.data(),
                            static_cast<DWORD>(body.size())),
              NOERROR);
  }

  // Writes a new mail into a mail box (the hook runs) and returns its note ID.
  static NOTEID PostMail(const Mail& mail, const char* box = "mail.box") {
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteCreate(db, &note), NOERROR);
    FillMail(note, mail);
    EXPECT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return id;
  }

  // The text of an item of a stored note ("" when absent).
  static std::string ItemText(NOTEID id, const char* item, const char* box = "mail.box") {
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    NOTEHANDLE note = NULLHANDLE;
    EXPECT_EQ(NSFNoteOpen(db, id, OPEN_DEFAULT, &note), NOERROR);
    BLOCKID value = {};
    DWORD length = 0;
    std::string text;
    if (NSFItemInfo(note, item, static_cast<WORD>(strlen(item)), nullptr, nullptr, &value,
                    &length) == NOERROR &&
        length >= sizeof(WORD)) {
      const char* bytes = static_cast<const char*>(OSLockBlockPointer(value));
      text.assign(bytes + sizeof(WORD), length - sizeof(WORD));
      OSUnlockBlockPointer(value);
    }
    EXPECT_EQ(NSFNoteClose(note), NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return text;
  }

  // The IDs of the notes of a mail box other than the given one.
  static std::vector<NOTEID> OtherNotes(NOTEID except, const char* box = "mail.box") {
    struct Context {
      NOTEID except;
      std::vector<NOTEID> ids;
    } context{except, {}};
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(box, &db), NOERROR);
    EXPECT_EQ(NSFSearch(
                  db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                  [](void* raw, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
                    auto* c = static_cast<Context*>(raw);
                    if (match->ID.NoteID != c->except) c->ids.push_back(match->ID.NoteID);
                    return NOERROR;
                  },
                  &context, nullptr),
              NOERROR);
    EXPECT_EQ(NSFDbClose(db), NOERROR);
    return context.ids;
  }

  std::string root_{};
  HANDLE engine_lock_ = nullptr;
};

}  // namespace rights::testing_support
