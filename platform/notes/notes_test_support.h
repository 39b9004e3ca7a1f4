// notes_test_support.h - a fresh machine root per test with the Notes runtime started on it.
//
// Tests of the Notes stand-in derive their fixture from NotesRootTest: it makes a temporary
// root with domino/data and a notes.ini, points the platform at it and starts the runtime;
// TearDown stops the runtime and removes the root.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"

class NotesRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vt_notes_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/domino/data");
    std::ofstream(root_ + "/domino/notes.ini") << "[Notes]\nDirectory=" << root_
                                               << "/domino/data\nServerName=CN=Mail1/O=Acme\n";
    vtplatform::SetSystemRoot(root_);
    ASSERT_EQ(NotesInitExtended(0, nullptr), NOERROR);
  }

  void TearDown() override {
    NotesTerm();
    vtplatform::SetSystemRoot("");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string DataPath(const std::string& relative) const {
    return root_ + "/domino/data/" + relative;
  }

  // Creates and opens a database below the data directory.
  DBHANDLE CreateOpen(const char* path) {
    EXPECT_EQ(NSFDbCreate(path, DBCLASS_NOTEFILE, FALSE), NOERROR);
    DBHANDLE db = NULLHANDLE;
    EXPECT_EQ(NSFDbOpen(path, &db), NOERROR);
    return db;
  }

  static std::string StatusText(STATUS status) {
    char text[256];
    OSLoadString(NULLHANDLE, status, text, sizeof text);
    return text;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  static void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  }

  // Rows of a table of a database file, read beside the stand-in.
  int CountRows(const std::string& relative, const char* table) const {
    sqlite3* sql = nullptr;
    int count = -1;
    if (sqlite3_open(DataPath(relative).c_str(), &sql) == SQLITE_OK) {
      std::string query = std::string("SELECT COUNT(*) FROM ") + table;
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(sql, query.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(sql);
    return count;
  }

  std::string root_;
};

// A new note in a new database of the test's root, closed after the test; Reload saves it
// and reads it back through a fresh handle.
class OpenNoteTest : public NotesRootTest {
 protected:
  explicit OpenNoteTest(const char* db_name) : db_name_(db_name) {}
  void SetUp() override {
    NotesRootTest::SetUp();
    db_ = CreateOpen(db_name_);
    ASSERT_EQ(NSFNoteCreate(db_, &note_), NOERROR);
  }
  void TearDown() override {
    EXPECT_EQ(NSFNoteClose(note_), NOERROR);
    EXPECT_EQ(NSFDbClose(db_), NOERROR);
    NotesRootTest::TearDown();
  }
  void Reload() {
    ASSERT_EQ(NSFNoteUpdate(note_, 0), NOERROR);
    NOTEID id = 0;
    NSFNoteGetInfo(note_, _NOTE_ID, &id);
    ASSERT_EQ(NSFNoteClose(note_), NOERROR);
    ASSERT_EQ(NSFNoteOpen(db_, id, 0, &note_), NOERROR);
  }
  const char* db_name_;
  DBHANDLE db_ = NULLHANDLE;
  NOTEHANDLE note_ = NULLHANDLE;
};
