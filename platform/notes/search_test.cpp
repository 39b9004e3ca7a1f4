// search_test.cpp - formulas over databases: searches narrowed by the text index agree with a
// full scan, computed values, and compile errors that say where.
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "platform/notes/notes_test_support.h"

namespace {

class SearchTest : public NotesRootTest {
 protected:
  void SetUp() override {
    NotesRootTest::SetUp();
    db_ = CreateOpen("vtsched.nsf");
  }
  void TearDown() override {
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    NotesRootTest::TearDown();
  }
  std::set<NOTEID> Search(const std::string& text) {
    FORMULAHANDLE formula = NULLHANDLE;
    STATUS error = NOERROR;
    EXPECT_EQ(NSFFormulaCompile(nullptr, 0, text.c_str(), static_cast<WORD>(text.size()),
                                &formula, nullptr, &error, nullptr, nullptr, nullptr, nullptr),
              NOERROR)
        << text;
    std::set<NOTEID> ids;
    auto collect = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
      if (match->SERetFlags & SE_FMATCH) static_cast<std::set<NOTEID>*>(context)->insert(match->ID.NoteID);
      return NOERROR;
    };
    EXPECT_EQ(NSFSearch(db_, formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, collect, &ids,
                        nullptr),
              NOERROR);
    EXPECT_EQ(OSMemFree(formula), NOERROR);
    return ids;
  }
  DBHANDLE db_ = NULLHANDLE;
};

TEST_F(SearchTest, IndexedSearchAgreesWithAFullScanOnRandomDocuments) {
  std::mt19937 random(20261207);
  const std::vector<std::string> forms = {"NewUser", "newuser", "Schedule", ""};
  const std::vector<std::string> emails = {"ALICE@EXAMPLE.COM", "bob@example.com",
                                           "Carol@Example.com", ""};
  struct Doc {
    std::string form;
    std::vector<std::string> email;
  };
  std::map<NOTEID, Doc> docs;
  for (int i = 0; i < 120; ++i) {
    Doc doc{forms[random() % forms.size()], {}};
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
    if (!doc.form.empty()) {
      ASSERT_EQ(NSFItemSetText(note, "Form", doc.form.c_str(), MAXWORD), NOERROR);
    }
    int entries = static_cast<int>(random() % 3);
    for (int e = 0; e < entries; ++e) {
      doc.email.push_back(emails[random() % emails.size()]);
      ASSERT_EQ(NSFItemAppendTextList(note, "Email3", doc.email.back().c_str(), MAXWORD, TRUE),
                NOERROR);
    }
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
    docs[id] = doc;
  }
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (const std::string& email : emails) {
    if (email.empty()) continue;
    std::string indexed = "SELECT form = \"NewUser\" & Email3 = \"" + lower(email) + "\"";
    // Under | the terms cannot narrow the candidates, so this one scans every note.
    std::string scanned = "SELECT (form = \"NewUser\" & Email3 = \"" + email + "\") | @False";
    std::set<NOTEID> expected;
    for (const auto& [id, doc] : docs) {
      bool has = false;
      for (const std::string& entry : doc.email) has = has || lower(entry) == lower(email);
      if (lower(doc.form) == "newuser" && has) expected.insert(id);
    }
    EXPECT_FALSE(expected.empty()) << email;
    EXPECT_EQ(Search(indexed), expected) << indexed;
    EXPECT_EQ(Search(scanned), expected) << scanned;
  }
  // A deleted note leaves the index with it.
  NOTEID first = *Search("SELECT form = \"NewUser\"").begin();
  ASSERT_EQ(NSFNoteDelete(db_, first, UPDATE_FORCE), NOERROR);
  EXPECT_EQ(Search("SELECT form = \"NewUser\"").count(first), 0u);
}

TEST_F(SearchTest, DocLengthIsComputedAsANumber) {
  NOTEHANDLE note = NULLHANDLE;
  ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
  ASSERT_EQ(NSFItemSetText(note, "Body", std::string(5000, 'b').c_str(), MAXWORD), NOERROR);
  FORMULAHANDLE formula = NULLHANDLE;
  ASSERT_EQ(NSFFormulaCompile(nullptr, 0, "@DocLength", 10, &formula, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr),
            NOERROR);
  HCOMPUTE compute = NULLHANDLE;
  ASSERT_EQ(NSFComputeStart(0, OSLockObject(formula), &compute), NOERROR);
  DHANDLE result = NULLHANDLE;
  WORD length = 0;
  ASSERT_EQ(NSFComputeEvaluate(compute, note, &result, &length, nullptr, nullptr, nullptr),
            NOERROR);
  auto* value = static_cast<char*>(OSLockObject(result));
  WORD type;
  std::memcpy(&type, value, sizeof type);
  EXPECT_EQ(type, TYPE_NUMBER);
  NUMBER size;
  std::memcpy(&size, value + 2, sizeof size);
  EXPECT_GE(size, 5000);
  EXPECT_LT(size, 6000);
  char text[41];
  ASSERT_EQ(ConvertFLOATToText(nullptr, nullptr, &size, text, sizeof text, nullptr), NOERROR);
  EXPECT_EQ(std::string(text).find('.'), std::string::npos);
  EXPECT_TRUE(OSUnlockObject(result));
  EXPECT_EQ(OSMemFree(result), NOERROR);
  EXPECT_EQ(NSFComputeStop(compute), NOERROR);
  EXPECT_EQ(NSFComputeStop(compute), ERR_INVALID_HANDLE);
  EXPECT_EQ(OSMemFree(formula), NOERROR);
  // A freed formula cannot be started again.
  EXPECT_EQ(NSFComputeStart(0, OSLockObject(formula), &compute), ERR_BAD_PARAM);
  EXPECT_EQ(NSFNoteClose(note), NOERROR);
}

TEST_F(SearchTest, SyntaxErrorSaysWhere) {
  FORMULAHANDLE formula = NULLHANDLE;
  STATUS error = NOERROR;
  WORD column = 0;
  const char* text = "SELECT form = \"NewUser\" & (Email3 = \"x\"";
  STATUS status = NSFFormulaCompile(nullptr, 0, text, MAXWORD, &formula, nullptr, &error,
                                    nullptr, &column, nullptr, nullptr);
  EXPECT_EQ(status, ERR_FORMULA_SYNTAX);
  EXPECT_EQ(error, ERR_FORMULA_SYNTAX);
  EXPECT_EQ(formula, NULLHANDLE);
  EXPECT_GT(column, 0);
  std::string message = StatusText(status);
  EXPECT_NE(message.find("column"), std::string::npos) << message;
}

TEST_F(SearchTest, RoutineMayChangeTheDatabaseAndStopTheSearch) {
  for (int i = 0; i < 5; ++i) {
    NOTEHANDLE note = NULLHANDLE;
    ASSERT_EQ(NSFNoteCreate(db_, &note), NOERROR);
    ASSERT_EQ(NSFItemSetText(note, "Form", "Job", MAXWORD), NOERROR);
    ASSERT_EQ(NSFNoteUpdate(note, 0), NOERROR);
    ASSERT_EQ(NSFNoteClose(note), NOERROR);
  }
  struct Context {
    DBHANDLE db;
    int calls = 0;
  } context{db_};
  auto delete_and_stop = [](void* data, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
    auto* context = static_cast<Context*>(data);
    if (++context->calls == 3) return ERR_NOTE_DELETED;
    return NSFNoteDelete(context->db, match->ID.NoteID, UPDATE_FORCE);
  };
  EXPECT_EQ(NSFSearch(db_, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, delete_and_stop,
                      &context, nullptr),
            ERR_NOTE_DELETED);
  EXPECT_EQ(context.calls, 3);
  EXPECT_EQ(Search("SELECT @All").size(), 3u);
}

}  // namespace
