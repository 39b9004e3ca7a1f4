// notes_internal.h - the inner records of the Notes stand-in, shared by its units only.
//
// What it is for: the handle table that maps every DHANDLE to the object behind it, the open
// database (one SQLite connection), the in-memory note with its items, attachment content
// references, and the helpers each unit needs (thread check, status texts of SQLite errors).
// System code never includes this header.
// Ownership: the handle table owns what its handles name (shared_ptr, so a note keeps its
// database alive after NSFDbClose). An Attachment names one content row that exactly one item
// of one note refers to; copying an attachment item copies its content.
// Locks: the table lock (inside handle_table.cpp) is held only to find, add or remove an entry
// and is never held while another lock is taken. Database::mutex serialises the use of one
// SQLite connection; Note::mutex serialises the calls on one note (recursive: an item scan
// routine may read the same note). Order: a note before its database; two notes are never
// held at once. No lock is held while a hook runs.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/notes/notes.h"

namespace notes_internal {

// ---- runtime (runtime.cpp)

// Fails with ERR_NOT_INITIALIZED when the runtime is down or, in checked builds, when the
// calling thread did not initialise.
[[nodiscard]] STATUS CheckThread();
// Root paths, fixed at NotesInit.
[[nodiscard]] std::string DataDirectory();
[[nodiscard]] std::string ProgramDirectory();
[[nodiscard]] std::string ServerName();
[[nodiscard]] std::string RootDirectory();
// A formula compile error for OSLoadString(ERR_FORMULA_SYNTAX), per thread.
void SetLastFormulaError(std::string text);
[[nodiscard]] std::string LastFormulaError();
// Copies text into a C buffer of size bytes, cut and NUL-terminated; returns the length.
WORD CopyOut(std::string_view text, char* buffer, size_t size);
bool EqualNoCase(std::string_view a, std::string_view b);
[[nodiscard]] long long TimeTicks(const TIMEDATE& time);  // hundredths since 1970
[[nodiscard]] TIMEDATE TimeFromTicks(long long ticks);

// ---- storage (database.cpp)

// Prepared statements of one connection kept for reuse: parsing and planning a statement
// costs more than running most of ours, and the same few texts run for every note. A
// statement taken out is used by one caller only; a second caller of the same text while it
// is out gets one of its own. SQLite prepares a kept statement again by itself when another
// connection changed the schema.
class StatementCache {
 public:
  StatementCache() = default;
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;
  ~StatementCache() { Clear(); }

  // Finalises every kept statement; called before the connection closes.
  void Clear();

  // A reset statement of text, or nullptr when none is kept.
  [[nodiscard]] sqlite3_stmt* Take(std::string_view text);
  // Keeps statement (reset, bindings cleared) for the next Take of its text, or finalises it.
  void Give(sqlite3_stmt* statement);
  [[nodiscard]] size_t KeptForTest() const;

 private:
  // Enough for every text a connection runs, with room for a few taken twice at once.
  static constexpr size_t kMaxKept = 64;

  mutable std::mutex mutex_;
  std::vector<sqlite3_stmt*> kept_;
};

// The cache of an open database's connection, found by the connection (nullptr for a
// connection no Database owns, such as the short-lived ones of creation and copying).
[[nodiscard]] StatementCache* StatementCacheOf(sqlite3* sql);
void RegisterStatementCache(sqlite3* sql, StatementCache* cache);
void UnregisterStatementCache(sqlite3* sql);

struct Database {
  std::string canonical;  // as NSFDbPathGet reports it
  std::string file;       // absolute path of the SQLite file
  sqlite3* sql = nullptr;
  std::recursive_mutex mutex;
  StatementCache statements;  // of sql; emptied before sql is closed
  // Content files whose rows a committed update or deletion removed, kept until that commit
  // is synced: a crash before the sync brings the rows back, and they must find their files.
  // Guarded by mutex.
  std::vector<long long> doomed_content;

  Database() = default;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();
};
using DatabasePtr = std::shared_ptr<Database>;

// Content of one attachment: a row of the objects table of db and the file it names.
struct Attachment {
  DatabasePtr db;
  long long object_id = 0;
  unsigned long long size = 0;
};

struct Item {
  std::string name;
  WORD flags = 0;
  std::vector<std::uint8_t> value;  // with the leading type word
  std::shared_ptr<Attachment> object;  // TYPE_OBJECT file items only
  BLOCK serial = 0;

  [[nodiscard]] WORD Type() const;
  [[nodiscard]] std::string_view Data() const;  // the value after the type word
};

struct Note {
  std::recursive_mutex mutex;
  DatabasePtr db;
  DBHANDLE db_handle = NULLHANDLE;
  NOTEID id = 0;
  WORD note_class = NOTE_CLASS_DOCUMENT;
  TIMEDATE created{};
  TIMEDATE modified{};
  std::vector<Item> items;
  BLOCK next_serial = 1;
  // Content rows this handle created that no update has claimed yet; removed at close.
  std::vector<std::shared_ptr<Attachment>> pending;
};
using NotePtr = std::shared_ptr<Note>;

[[nodiscard]] STATUS OpenDatabaseFile(const std::string& path, DatabasePtr* db_r);
[[nodiscard]] STATUS CreateDatabaseFile(const std::string& file, bool force);
[[nodiscard]] STATUS ResolvePath(const char* path, std::string* file_r,
                                 std::string* canonical_r);
[[nodiscard]] STATUS StatusFromSqlite(int code);
[[nodiscard]] STATUS LoadNote(const DatabasePtr& db, NOTEID id, Note* note_r);
// Writes note in one transaction; sets note->id for a new note.
[[nodiscard]] STATUS StoreNote(Note* note);
[[nodiscard]] STATUS RemoveNote(const DatabasePtr& db, NOTEID id);
// Removes the files of db->doomed_content; the caller has synced what removed their rows.
void RemoveDoomedContent(const DatabasePtr& db);
[[nodiscard]] STATUS ReadDbInfo(const DatabasePtr& db, std::string* info_r);
[[nodiscard]] STATUS WriteDbInfo(const DatabasePtr& db, const std::string& info);
// Content rows: stream a file in, copy a row (possibly between databases), stream one out.
[[nodiscard]] STATUS StoreFileContent(const DatabasePtr& db, const std::string& path,
                                      std::shared_ptr<Attachment>* attachment_r);
[[nodiscard]] STATUS CopyContent(const Attachment& source, const DatabasePtr& target,
                                 std::shared_ptr<Attachment>* attachment_r);
[[nodiscard]] STATUS ExtractContent(const Attachment& source, const std::string& path);
// Content produced or consumed in pieces: a source fills buffer and reports the bytes put
// (0 at the end); a sink takes each piece in order. A non-zero status stops the stream.
using ContentSource = std::function<STATUS(char* buffer, size_t size, size_t* got_r)>;
using ContentSink = std::function<STATUS(const char* data, size_t size)>;
[[nodiscard]] STATUS StoreStreamContent(const DatabasePtr& db, const ContentSource& source,
                                        std::shared_ptr<Attachment>* attachment_r);
[[nodiscard]] STATUS ReadContent(const Attachment& source, const ContentSink& sink);
void DropPendingContent(const Attachment& attachment);
// Removes the content files kept beside a database file (when the database goes away).
void RemoveContentDirectory(const std::string& db_file);
// Note IDs of the class mask in order; with terms, only the notes the index gives for the
// most selective term (callers still evaluate the whole formula on each).
struct IndexLookup {
  std::string item;   // folded
  std::string value;  // folded
};
[[nodiscard]] STATUS ListNoteIds(const DatabasePtr& db, WORD class_mask,
                                 const std::vector<IndexLookup>& terms,
                                 std::vector<NOTEID>* ids_r);
// What a search without a formula reports of a note: its header, not its items.
struct NoteHeader {
  NOTEID id = 0;
  WORD note_class = 0;
  TIMEDATE created{};
  TIMEDATE modified{};
};
// The headers of the notes of a class, in ID order, read in one pass.
[[nodiscard]] STATUS ListNoteHeaders(const DatabasePtr& db, WORD class_mask,
                                     std::vector<NoteHeader>* headers_r);
// Test seam: called inside an update's transaction just before it commits.
void SetUpdateFaultHook(void (*hook)());

// ---- handles (handle_table.cpp)

struct MemoryBlock {
  std::vector<char> bytes;
  std::shared_ptr<void> attached;  // what the block stands for (a compiled formula)
};
struct BodyItem {
  std::vector<std::string> paragraphs;
  std::vector<char> rendered;  // what OSLockObject hands out
};
struct Compute;  // search.cpp
using HandleObject = std::variant<DatabasePtr, NotePtr, std::shared_ptr<MemoryBlock>,
                                  std::shared_ptr<Compute>, std::shared_ptr<BodyItem>>;

[[nodiscard]] DHANDLE AddHandle(HandleObject object);
[[nodiscard]] bool RemoveHandle(DHANDLE handle, HandleObject* object_r);
[[nodiscard]] bool FindHandle(DHANDLE handle, HandleObject* object_r);
void ClearHandles(std::vector<HandleObject>* objects_r);

// Typed lookups; ERR_INVALID_HANDLE for an unknown handle, ERR_HANDLE_KIND for another kind.
[[nodiscard]] STATUS FindDatabase(DHANDLE handle, DatabasePtr* db_r);
[[nodiscard]] STATUS FindNote(DHANDLE handle, NotePtr* note_r);
[[nodiscard]] STATUS FindMemory(DHANDLE handle, std::shared_ptr<MemoryBlock>* block_r);
[[nodiscard]] STATUS FindBodyItem(DHANDLE handle, std::shared_ptr<BodyItem>* item_r);

// A note found by its handle and locked; the guard and the pointer are returned together.
struct LockedNote {
  NotePtr note;
  std::unique_lock<std::recursive_mutex> lock;
};
[[nodiscard]] STATUS LockNote(NOTEHANDLE handle, LockedNote* locked_r);

// ---- notes and items (note.cpp)

[[nodiscard]] STATUS CheckItemName(const char* name, WORD name_len, std::string* name_r);
Item* FindItem(Note& note, std::string_view name, size_t start = 0);
Item* FindItemBySerial(Note& note, BLOCK serial);
void AppendItem(Note& note, std::string name, WORD flags, WORD type, std::string_view data);
void RemoveItems(Note& note, std::string_view name);
[[nodiscard]] STATUS OpenNoteHandle(DBHANDLE db, NOTEID id, NOTEHANDLE* note_r, bool hooks);
// Size as @DocLength counts it.
[[nodiscard]] unsigned long long NoteSize(const Note& note);
[[nodiscard]] std::vector<std::uint8_t> EncodeTextList(const std::vector<std::string>& texts);
[[nodiscard]] bool DecodeTextList(std::string_view data, std::vector<std::string>* texts_r);
[[nodiscard]] std::vector<std::uint8_t> EncodeFileObject(const FILEOBJECT& object,
                                                          std::string_view file_name);
[[nodiscard]] bool DecodeFileObject(std::string_view data, FILEOBJECT* object_r,
                                    std::string* file_name_r);
void PutWord(std::vector<std::uint8_t>* out, WORD value);
void PutDword(std::vector<std::uint8_t>* out, DWORD value);
WORD GetWord(const std::uint8_t* at);
DWORD GetDword(const std::uint8_t* at);

// ---- hooks (hooks.cpp)

[[nodiscard]] STATUS RunOpenHooks(DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD flags);
[[nodiscard]] STATUS RunUpdateHooks(DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD* flags);
void RunTermHooks();

// ---- rich text (mail.cpp)

[[nodiscard]] std::vector<std::string> BodyParagraphs(const Note& note, std::string_view name,
                                                      bool* found_r);

}  // namespace notes_internal
