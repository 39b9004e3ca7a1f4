// registry.cpp - the registry of a root, kept in "<root>/registry.db".
//
// Keys form a tree in table `reg_keys` (the four predefined keys are its roots, ids 1 to 4);
// values live in `reg_values`, in the order they were first written. Names compare without
// ASCII case (COLLATE NOCASE), as Windows compares key and value names.
//
// Several processes share one file: the database runs in WAL mode with a busy time-out, and
// every read-modify-write is one IMMEDIATE transaction, so concurrent writers queue instead of
// failing. Within the process one connection serves every thread; g_registry_mutex guards it
// and the table of open keys, and is held for the whole of each call.
//
// A write is on the disk surface when its call returns (synchronous=FULL syncs the log at
// each commit): writes are few (setup, updates), and a setting that a power cut takes back
// would leave the product half configured. The file is never damaged by a crash either way.
//
// Like Win32, the calls return their error code and leave the thread's last error alone.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/win32/files.h"
#include "platform/win32/internal.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

constexpr int kBusyTimeoutMs = 15000;
constexpr std::size_t kMaxKeyNameChars = 255;      // one path component
constexpr std::size_t kMaxValueNameChars = 16383;
constexpr std::uintptr_t kFirstKeyHandle = 0x10000000;

struct OpenKey {
  sqlite3_int64 id;
  REGSAM access;
};

std::mutex g_registry_mutex;
sqlite3* g_db = nullptr;         // guarded by g_registry_mutex
std::string g_db_root;           // guarded by g_registry_mutex
std::unordered_map<std::uintptr_t, OpenKey> g_keys;  // guarded by g_registry_mutex
std::uintptr_t g_next_key = kFirstKeyHandle;         // guarded by g_registry_mutex

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS reg_keys ("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  written INTEGER NOT NULL DEFAULT 0,"
    "  UNIQUE (parent, name));"
    "CREATE TABLE IF NOT EXISTS reg_values ("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  UNIQUE (key, name));"
    "INSERT OR IGNORE INTO reg_keys (id, parent, name) VALUES"
    "  (1, 0, 'HKEY_CLASSES_ROOT'), (2, 0, 'HKEY_CURRENT_USER'),"
    "  (3, 0, 'HKEY_LOCAL_MACHINE'), (4, 0, 'HKEY_USERS');";

// RAII over one prepared statement.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (::sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) statement_ = nullptr;
  }
  ~Statement() { ::sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  [[nodiscard]] bool ok() const { return statement_ != nullptr; }
  Statement& Bind(int index, sqlite3_int64 value) {
    if (statement_ != nullptr) ::sqlite3_bind_int64(statement_, index, value);
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    if (statement_ != nullptr) {
      ::sqlite3_bind_text(statement_, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
  }
  Statement& BindBlob(int index, const void* data, std::size_t size) {
    // A zero-length blob must still be a blob, not NULL.
    static const char kEmpty = 0;
    if (statement_ != nullptr) {
      ::sqlite3_bind_blob(statement_, index, size == 0 ? &kEmpty : data, static_cast<int>(size),
                          SQLITE_TRANSIENT);
    }
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() { return statement_ == nullptr ? SQLITE_ERROR : ::sqlite3_step(statement_); }
  sqlite3_int64 Int(int column) { return ::sqlite3_column_int64(statement_, column); }
  std::string Text(int column) {
    const auto* text = ::sqlite3_column_text(statement_, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(
                                             ::sqlite3_column_bytes(statement_, column)));
  }
  std::string Blob(int column) {
    const void* data = ::sqlite3_column_blob(statement_, column);
    int size = ::sqlite3_column_bytes(statement_, column);
    return data == nullptr ? std::string()
                           : std::string(static_cast<const char*>(data),
                                         static_cast<std::size_t>(size));
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
};

bool Execute(sqlite3* db, const char* sql) {
  return ::sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// RAII over one IMMEDIATE transaction; rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db), open_(Execute(db, "BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (open_) Execute(db_, "ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  [[nodiscard]] bool open() const { return open_; }
  [[nodiscard]] bool Commit() {
    if (!open_) return false;
    open_ = false;
    return Execute(db_, "COMMIT");
  }

 private:
  sqlite3* db_;
  bool open_;
};

// The connection for the current root. REQUIRES: g_registry_mutex.
sqlite3* Database() {
  std::string root = vtplatform::SystemRoot();
  if (root.empty()) return nullptr;
  if (g_db != nullptr && g_db_root == root) return g_db;
  if (g_db != nullptr) {
    ::sqlite3_close(g_db);
    g_db = nullptr;
  }
  std::string path = root + vtplatform::kPathSep + "registry.db";
  // A new registry is readable by the machine's account only: it holds the products'
  // settings. The database's journal files take its mode.
  const int created =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (created >= 0) ::close(created);
  sqlite3* db = nullptr;
  if (::sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    ::sqlite3_close(db);
    return nullptr;
  }
  ::sqlite3_busy_timeout(db, kBusyTimeoutMs);
  Execute(db, "PRAGMA journal_mode=WAL");
  Execute(db, "PRAGMA synchronous=FULL");
  bool has_schema = false;
  {
    Statement query(db, "SELECT 1 FROM sqlite_master WHERE name = 'reg_values'");
    has_schema = query.Step() == SQLITE_ROW;
  }
  if (!has_schema) {
    Transaction transaction(db);
    if (!transaction.open() || !Execute(db, kSchema) || !transaction.Commit()) {
      ::sqlite3_close(db);
      return nullptr;
    }
    // A new file: its name must be on the disk as surely as its first commit.
    int directory = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
      (void)::fsync(directory);
      ::close(directory);
    }
  }
  g_db = db;
  g_db_root = root;
  return db;
}

// The key id behind a handle; 0 when the handle is unknown. REQUIRES: g_registry_mutex.
sqlite3_int64 KeyIdOf(HKEY key, REGSAM* access) {
  auto number = reinterpret_cast<std::uintptr_t>(key);
  if (number >= 0x80000000u && number <= 0x80000003u) {
    if (access != nullptr) *access = KEY_ALL_ACCESS;
    return static_cast<sqlite3_int64>(number - 0x80000000u + 1);
  }
  auto found = g_keys.find(number);
  if (found == g_keys.end()) return 0;
  if (access != nullptr) *access = found->second.access;
  return found->second.id;
}

bool KeyExists(sqlite3* db, sqlite3_int64 id) {
  Statement query(db, "SELECT 1 FROM reg_keys WHERE id = ?");
  return query.Bind(1, id).Step() == SQLITE_ROW;
}

// Splits a key path at '\'; empty components are skipped. False for a component too long.
bool SplitKeyPath(const char* path, std::vector<std::string>* parts) {
  parts->clear();
  if (path == nullptr) return true;
  std::string part;
  for (const char* at = path;; ++at) {
    if (*at == '\\' || *at == '\0') {
      if (!part.empty()) {
        if (part.size() > kMaxKeyNameChars) return false;
        parts->push_back(part);
      }
      part.clear();
      if (*at == '\0') return true;
    } else {
      part += *at;
    }
  }
}

sqlite3_int64 ChildId(sqlite3* db, sqlite3_int64 parent, const std::string& name) {
  Statement query(db, "SELECT id FROM reg_keys WHERE parent = ? AND name = ?");
  return query.Bind(1, parent).Bind(2, name).Step() == SQLITE_ROW ? query.Int(0) : 0;
}

sqlite3_int64 Now() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return static_cast<sqlite3_int64>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                    now.dwLowDateTime);
}

HKEY NewHandle(sqlite3_int64 id, REGSAM access) {
  std::uintptr_t number = g_next_key;
  g_next_key += 4;
  g_keys.emplace(number, OpenKey{id, access});
  return reinterpret_cast<HKEY>(number);
}

struct Context {
  std::unique_lock<std::mutex> lock{g_registry_mutex};
  sqlite3* db = nullptr;
  sqlite3_int64 key = 0;
  REGSAM access = 0;
  LONG status = ERROR_SUCCESS;
};

// Locks the registry and resolves the handle; status says why not.
void Enter(Context& context, HKEY key) {
  context.key = KeyIdOf(key, &context.access);
  if (context.key == 0) {
    context.status = ERROR_INVALID_HANDLE;
    return;
  }
  context.db = Database();
  if (context.db == nullptr) {
    context.status = ERROR_CANTOPEN;
    return;
  }
  if (!KeyExists(context.db, context.key)) context.status = ERROR_KEY_DELETED;
}

struct StoredValue {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

// Copies stored data out with the Win32 size rules.
LONG CopyData(const std::string& data, LPBYTE out, LPDWORD out_size) {
  if (out != nullptr && out_size == nullptr) return ERROR_INVALID_PARAMETER;
  if (out_size == nullptr) return ERROR_SUCCESS;
  auto needed = static_cast<DWORD>(data.size());
  if (out != nullptr) {
    if (*out_size < needed) {
      *out_size = needed;
      return ERROR_MORE_DATA;
    }
    std::memcpy(out, data.data(), data.size());
  }
  *out_size = needed;
  return ERROR_SUCCESS;
}

// Copies a name into a buffer counted in characters including the NUL.
LONG CopyName(const std::string& name, LPSTR out, LPDWORD out_chars) {
  if (out == nullptr || out_chars == nullptr) return ERROR_INVALID_PARAMETER;
  if (name.size() + 1 > *out_chars) return ERROR_MORE_DATA;
  std::memcpy(out, name.c_str(), name.size() + 1);
  *out_chars = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

void DeleteSubtree(sqlite3* db, sqlite3_int64 id, bool delete_self) {
  Statement children(db, "SELECT id FROM reg_keys WHERE parent = ?");
  children.Bind(1, id);
  std::vector<sqlite3_int64> ids;
  while (children.Step() == SQLITE_ROW) ids.push_back(children.Int(0));
  for (sqlite3_int64 child : ids) DeleteSubtree(db, child, true);
  Statement values(db, "DELETE FROM reg_values WHERE key = ?");
  values.Bind(1, id).Step();
  if (delete_self) {
    Statement key(db, "DELETE FROM reg_keys WHERE id = ?");
    key.Bind(1, id).Step();
  }
}

}  // namespace

namespace win32internal {

void OnRootChanged() {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  if (g_db != nullptr) ::sqlite3_close(g_db);
  g_db = nullptr;
  g_db_root.clear();
}

}  // namespace win32internal

LONG RegOpenKeyEx(HKEY key, LPCSTR sub_key, DWORD options, REGSAM access, PHKEY result) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  std::vector<std::string> parts;
  if (!SplitKeyPath(sub_key, &parts)) return ERROR_INVALID_PARAMETER;
  sqlite3_int64 id = context.key;
  for (const std::string& part : parts) {
    id = ChildId(context.db, id, part);
    if (id == 0) return ERROR_FILE_NOT_FOUND;
  }
  *result = NewHandle(id, access);
  return ERROR_SUCCESS;
}

LONG RegOpenKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return RegOpenKeyEx(key, sub_key, 0, KEY_ALL_ACCESS, result);
}

LONG RegCreateKeyEx(HKEY key, LPCSTR sub_key, DWORD reserved, LPSTR key_class, DWORD options,
                    REGSAM access, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                    LPDWORD disposition) {
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  std::vector<std::string> parts;
  if (!SplitKeyPath(sub_key, &parts)) return ERROR_INVALID_PARAMETER;
  Transaction transaction(context.db);
  if (!transaction.open()) return ERROR_CANTWRITE;
  sqlite3_int64 id = context.key;
  bool created = false;
  for (const std::string& part : parts) {
    sqlite3_int64 child = ChildId(context.db, id, part);
    if (child == 0) {
      Statement insert(context.db, "INSERT INTO reg_keys (parent, name, written) VALUES (?, ?, ?)");
      if (insert.Bind(1, id).Bind(2, part).Bind(3, Now()).Step() != SQLITE_DONE) {
        return ERROR_CANTWRITE;
      }
      child = ::sqlite3_last_insert_rowid(context.db);
      created = true;
    }
    id = child;
  }
  if (!transaction.Commit()) return ERROR_CANTWRITE;
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandle(id, access);
  return ERROR_SUCCESS;
}

LONG RegCreateKey(HKEY key, LPCSTR sub_key, PHKEY result) {
  return RegCreateKeyEx(key, sub_key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        result, nullptr);
}

LONG RegQueryValueEx(HKEY key, LPCSTR value_name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                     LPDWORD data_size) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  if (data != nullptr && data_size == nullptr) return ERROR_INVALID_PARAMETER;
  Statement query(context.db, "SELECT type, data FROM reg_values WHERE key = ? AND name = ?");
  query.Bind(1, context.key).Bind(2, std::string(value_name == nullptr ? "" : value_name));
  int step = query.Step();
  if (step == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
  if (step != SQLITE_ROW) return ERROR_CANTREAD;
  if (type != nullptr) *type = static_cast<DWORD>(query.Int(0));
  return CopyData(query.Blob(1), data, data_size);
}

LONG RegSetValueEx(HKEY key, LPCSTR value_name, DWORD reserved, DWORD type, const BYTE* data,
                   DWORD data_size) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  if ((context.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && data_size != 0) return ERROR_NOACCESS;
  std::string name = value_name == nullptr ? "" : value_name;
  if (name.size() > kMaxValueNameChars) return ERROR_INVALID_PARAMETER;
  Transaction transaction(context.db);
  if (!transaction.open()) return ERROR_CANTWRITE;
  // An update keeps the value's place in the enumeration order, as a rewrite does on Windows.
  Statement update(context.db, "UPDATE reg_values SET type = ?, data = ? WHERE key = ? AND name = ?");
  update.Bind(1, type).BindBlob(2, data, data_size).Bind(3, context.key).Bind(4, name);
  if (update.Step() != SQLITE_DONE) return ERROR_CANTWRITE;
  if (::sqlite3_changes(context.db) == 0) {
    Statement insert(context.db,
                     "INSERT INTO reg_values (key, name, type, data) VALUES (?, ?, ?, ?)");
    insert.Bind(1, context.key).Bind(2, name).Bind(3, type).BindBlob(4, data, data_size);
    if (insert.Step() != SQLITE_DONE) return ERROR_CANTWRITE;
  }
  Statement touch(context.db, "UPDATE reg_keys SET written = ? WHERE id = ?");
  touch.Bind(1, Now()).Bind(2, context.key).Step();
  if (!transaction.Commit()) return ERROR_CANTWRITE;
  return ERROR_SUCCESS;
}

LONG RegEnumValue(HKEY key, DWORD index, LPSTR value_name, LPDWORD value_name_size,
                  LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD data_size) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  Statement query(context.db,
                  "SELECT name, type, data FROM reg_values WHERE key = ? ORDER BY rowid "
                  "LIMIT 1 OFFSET ?");
  query.Bind(1, context.key).Bind(2, index);
  int step = query.Step();
  if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (step != SQLITE_ROW) return ERROR_CANTREAD;
  LONG name_status = CopyName(query.Text(0), value_name, value_name_size);
  if (name_status != ERROR_SUCCESS) return name_status;
  if (type != nullptr) *type = static_cast<DWORD>(query.Int(1));
  return CopyData(query.Blob(2), data, data_size);
}

LONG RegEnumKeyEx(HKEY key, DWORD index, LPSTR name, LPDWORD name_size, LPDWORD reserved,
                  LPSTR key_class, LPDWORD class_size, PFILETIME last_write_time) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  Statement query(context.db,
                  "SELECT name, written FROM reg_keys WHERE parent = ? ORDER BY name "
                  "LIMIT 1 OFFSET ?");
  query.Bind(1, context.key).Bind(2, index);
  int step = query.Step();
  if (step == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
  if (step != SQLITE_ROW) return ERROR_CANTREAD;
  LONG name_status = CopyName(query.Text(0), name, name_size);
  if (name_status != ERROR_SUCCESS) return name_status;
  if (key_class != nullptr && class_size != nullptr && *class_size > 0) key_class[0] = '\0';
  if (class_size != nullptr) *class_size = 0;
  if (last_write_time != nullptr) {
    auto written = static_cast<std::uint64_t>(query.Int(1));
    last_write_time->dwLowDateTime = static_cast<DWORD>(written & 0xFFFFFFFFu);
    last_write_time->dwHighDateTime = static_cast<DWORD>(written >> 32);
  }
  return ERROR_SUCCESS;
}

LONG RegQueryInfoKey(HKEY key, LPSTR key_class, LPDWORD class_size, LPDWORD reserved,
                     LPDWORD sub_keys, LPDWORD max_sub_key_len, LPDWORD max_class_len,
                     LPDWORD values, LPDWORD max_value_name_len, LPDWORD max_value_len,
                     LPDWORD security_descriptor_size, PFILETIME last_write_time) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  Statement keys(context.db,
                 "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0) FROM reg_keys "
                 "WHERE parent = ?");
  keys.Bind(1, context.key);
  Statement vals(context.db,
                 "SELECT count(*), coalesce(max(length(CAST(name AS BLOB))), 0), "
                 "coalesce(max(length(data)), 0) FROM reg_values WHERE key = ?");
  vals.Bind(1, context.key);
  Statement self(context.db, "SELECT written FROM reg_keys WHERE id = ?");
  self.Bind(1, context.key);
  if (keys.Step() != SQLITE_ROW || vals.Step() != SQLITE_ROW || self.Step() != SQLITE_ROW) {
    return ERROR_CANTREAD;
  }
  if (key_class != nullptr && class_size != nullptr && *class_size > 0) key_class[0] = '\0';
  if (class_size != nullptr) *class_size = 0;
  if (sub_keys != nullptr) *sub_keys = static_cast<DWORD>(keys.Int(0));
  if (max_sub_key_len != nullptr) *max_sub_key_len = static_cast<DWORD>(keys.Int(1));
  if (max_class_len != nullptr) *max_class_len = 0;
  if (values != nullptr) *values = static_cast<DWORD>(vals.Int(0));
  if (max_value_name_len != nullptr) *max_value_name_len = static_cast<DWORD>(vals.Int(1));
  if (max_value_len != nullptr) *max_value_len = static_cast<DWORD>(vals.Int(2));
  if (security_descriptor_size != nullptr) *security_descriptor_size = 0;
  if (last_write_time != nullptr) {
    auto written = static_cast<std::uint64_t>(self.Int(0));
    last_write_time->dwLowDateTime = static_cast<DWORD>(written & 0xFFFFFFFFu);
    last_write_time->dwHighDateTime = static_cast<DWORD>(written >> 32);
  }
  return ERROR_SUCCESS;
}

LONG RegDeleteValue(HKEY key, LPCSTR value_name) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  if ((context.access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
  Statement remove(context.db, "DELETE FROM reg_values WHERE key = ? AND name = ?");
  remove.Bind(1, context.key).Bind(2, std::string(value_name == nullptr ? "" : value_name));
  if (remove.Step() != SQLITE_DONE) return ERROR_CANTWRITE;
  return ::sqlite3_changes(context.db) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

namespace {

LONG DeleteKey(HKEY key, LPCSTR sub_key, bool whole_tree) {
  Context context;
  Enter(context, key);
  if (context.status != ERROR_SUCCESS) return context.status;
  std::vector<std::string> parts;
  if (!SplitKeyPath(sub_key, &parts)) return ERROR_INVALID_PARAMETER;
  if (parts.empty() && !whole_tree) return ERROR_INVALID_PARAMETER;
  Transaction transaction(context.db);
  if (!transaction.open()) return ERROR_CANTWRITE;
  sqlite3_int64 id = context.key;
  for (const std::string& part : parts) {
    id = ChildId(context.db, id, part);
    if (id == 0) return ERROR_FILE_NOT_FOUND;
  }
  if (!whole_tree) {
    Statement children(context.db, "SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
    if (children.Bind(1, id).Step() == SQLITE_ROW) return ERROR_ACCESS_DENIED;
  }
  // The predefined keys themselves are never removed, only emptied.
  DeleteSubtree(context.db, id, !parts.empty() && id > 4);
  if (!transaction.Commit()) return ERROR_CANTWRITE;
  return ERROR_SUCCESS;
}

}  // namespace

LONG RegDeleteKey(HKEY key, LPCSTR sub_key) { return DeleteKey(key, sub_key, false); }
LONG RegDeleteTree(HKEY key, LPCSTR sub_key) { return DeleteKey(key, sub_key, true); }

LONG RegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  auto number = reinterpret_cast<std::uintptr_t>(key);
  if (number >= 0x80000000u && number <= 0x80000003u) return ERROR_SUCCESS;
  return g_keys.erase(number) == 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

LONG RegFlushKey(HKEY key) {
  std::lock_guard<std::mutex> lock(g_registry_mutex);
  return KeyIdOf(key, nullptr) == 0 ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}
