// note.cpp - the database, note, item and attachment calls of the Notes stand-in.
//
// Every call finds its objects through the handle table, then works under the note's own
// lock. Hooks run with no lock held: the handle is published first, the hook called, and
// the handle withdrawn again when the hook refuses.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/notes/group_commit.h"
#include "platform/notes/notes_internal.h"

namespace notes_internal {

WORD Item::Type() const {
  return value.size() >= 2 ? GetWord(value.data()) : TYPE_INVALID_OR_UNKNOWN;
}

std::string_view Item::Data() const {
  if (value.size() < 2) return {};
  return std::string_view(reinterpret_cast<const char*>(value.data()) + 2, value.size() - 2);
}

void PutWord(std::vector<std::uint8_t>* out, WORD value) {
  out->push_back(static_cast<std::uint8_t>(value & 0xFF));
  out->push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutDword(std::vector<std::uint8_t>* out, DWORD value) {
  PutWord(out, static_cast<WORD>(value & 0xFFFF));
  PutWord(out, static_cast<WORD>(value >> 16));
}

WORD GetWord(const std::uint8_t* at) { return static_cast<WORD>(at[0] | (at[1] << 8)); }

DWORD GetDword(const std::uint8_t* at) {
  return static_cast<DWORD>(GetWord(at)) | (static_cast<DWORD>(GetWord(at + 2)) << 16);
}

std::vector<std::uint8_t> EncodeTextList(const std::vector<std::string>& texts) {
  std::vector<std::uint8_t> out;
  PutWord(&out, static_cast<WORD>(texts.size()));
  for (const std::string& text : texts) PutWord(&out, static_cast<WORD>(text.size()));
  for (const std::string& text : texts) out.insert(out.end(), text.begin(), text.end());
  return out;
}

bool DecodeTextList(std::string_view data, std::vector<std::string>* texts_r) {
  auto bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  if (data.size() < 2) return false;
  size_t count = GetWord(bytes);
  size_t offset = 2 + 2 * count;
  if (data.size() < offset) return false;
  texts_r->clear();
  for (size_t i = 0; i < count; ++i) {
    size_t length = GetWord(bytes + 2 + 2 * i);
    if (offset + length > data.size()) return false;
    texts_r->emplace_back(data.substr(offset, length));
    offset += length;
  }
  return true;
}

namespace {

constexpr WORD kMimePartStoredBytes = 20;
constexpr WORD kFileObjectStoredBytes = 36;

struct Reader {
  const std::uint8_t* at;
  WORD Word() {
    WORD value = GetWord(at);
    at += 2;
    return value;
  }
  DWORD Dword() {
    DWORD value = GetDword(at);
    at += 4;
    return value;
  }
  BYTE Byte() { return *at++; }
  TIMEDATE Time() {
    TIMEDATE time;
    time.Innards[0] = Dword();
    time.Innards[1] = Dword();
    return time;
  }
};

void ReadFileObject(Reader* in, FILEOBJECT* object) {
  object->ObjectType = in->Word();
  object->ObjectID = in->Dword();
  object->FileNameLength = in->Word();
  object->HostType = in->Word();
  object->CompressionType = in->Word();
  object->FileAttributes = in->Word();
  object->Flags = in->Word();
  object->FileSize = in->Dword();
  object->FileCreated = in->Time();
  object->FileModified = in->Time();
}

void WriteFileObject(std::vector<std::uint8_t>* out, const FILEOBJECT& object) {
  PutWord(out, object.ObjectType);
  PutDword(out, object.ObjectID);
  PutWord(out, object.FileNameLength);
  PutWord(out, object.HostType);
  PutWord(out, object.CompressionType);
  PutWord(out, object.FileAttributes);
  PutWord(out, object.Flags);
  PutDword(out, object.FileSize);
  PutDword(out, object.FileCreated.Innards[0]);
  PutDword(out, object.FileCreated.Innards[1]);
  PutDword(out, object.FileModified.Innards[0]);
  PutDword(out, object.FileModified.Innards[1]);
}

void CloseNoteObject(const NotePtr& note) {
  std::vector<std::shared_ptr<Attachment>> pending;
  {
    std::lock_guard<std::recursive_mutex> lock(note->mutex);
    pending.swap(note->pending);
  }
  for (const auto& attachment : pending) DropPendingContent(*attachment);
}

STATUS NameFromC(const char* name, std::string* name_r) {
  if (name == nullptr) return ERR_BAD_PARAM;
  return CheckItemName(name, static_cast<WORD>(strnlen(name, MAXITEMNAME + 1)), name_r);
}

STATUS ReplaceItem(NOTEHANDLE handle, const char* name, WORD flags, WORD type,
                   std::string_view data) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  std::string item_name;
  if (STATUS status = NameFromC(name, &item_name); status != NOERROR) return status;
  RemoveItems(*locked.note, item_name);
  AppendItem(*locked.note, item_name, flags, type, data);
  return NOERROR;
}

std::string_view TextOf(const std::vector<std::uint8_t>& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Copies an attachment item's content into note's database as a pending row and points the
// item at it, so that every content row stays referred to by exactly one item.
STATUS RehomeAttachment(Note& note, Item* item) {
  if (!item->object) return ERR_OBJECT_MISSING;
  std::shared_ptr<Attachment> copy;
  if (STATUS status = CopyContent(*item->object, note.db, &copy); status != NOERROR) {
    return status;
  }
  FILEOBJECT object;
  std::string file_name;
  if (!DecodeFileObject(item->Data(), &object, &file_name)) return ERR_BAD_VALUE;
  object.ObjectID = static_cast<DWORD>(copy->object_id);
  item->value.clear();
  PutWord(&item->value, TYPE_OBJECT);
  std::vector<std::uint8_t> encoded = EncodeFileObject(object, file_name);
  item->value.insert(item->value.end(), encoded.begin(), encoded.end());
  item->object = copy;
  note.pending.push_back(copy);
  return NOERROR;
}

}  // namespace

std::vector<std::uint8_t> EncodeFileObject(const FILEOBJECT& object, std::string_view name) {
  std::vector<std::uint8_t> out;
  FILEOBJECT stored = object;
  stored.FileNameLength = static_cast<WORD>(name.size());
  WriteFileObject(&out, stored);
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

bool DecodeFileObject(std::string_view data, FILEOBJECT* object_r, std::string* file_name_r) {
  if (data.size() < kFileObjectStoredBytes) return false;
  Reader in{reinterpret_cast<const std::uint8_t*>(data.data())};
  ReadFileObject(&in, object_r);
  if (object_r->ObjectType != OBJECT_FILE) return false;
  if (data.size() < kFileObjectStoredBytes + static_cast<size_t>(object_r->FileNameLength)) {
    return false;
  }
  if (file_name_r != nullptr) {
    *file_name_r = std::string(data.substr(kFileObjectStoredBytes, object_r->FileNameLength));
  }
  return true;
}

STATUS CheckItemName(const char* name, WORD name_len, std::string* name_r) {
  if (name == nullptr) return ERR_BAD_PARAM;
  if (name_len > MAXITEMNAME) return ERR_ITEM_NAME_TOO_LONG;
  *name_r = std::string(name, name_len);
  return NOERROR;
}

Item* FindItem(Note& note, std::string_view name, size_t start) {
  for (size_t i = start; i < note.items.size(); ++i) {
    if (EqualNoCase(note.items[i].name, name)) return &note.items[i];
  }
  return nullptr;
}

Item* FindItemBySerial(Note& note, BLOCK serial) {
  for (Item& item : note.items) {
    if (item.serial == serial) return &item;
  }
  return nullptr;
}

void AppendItem(Note& note, std::string name, WORD flags, WORD type, std::string_view data) {
  Item item;
  item.name = std::move(name);
  item.flags = flags;
  item.value.reserve(2 + data.size());
  PutWord(&item.value, type);
  item.value.insert(item.value.end(), data.begin(), data.end());
  item.serial = note.next_serial++;
  note.items.push_back(std::move(item));
}

void RemoveItems(Note& note, std::string_view name) {
  note.items.erase(std::remove_if(note.items.begin(), note.items.end(),
                                  [name](const Item& item) { return EqualNoCase(item.name, name); }),
                   note.items.end());
}

unsigned long long NoteSize(const Note& note) {
  unsigned long long size = 0;
  for (const Item& item : note.items) {
    size += item.name.size() + item.value.size();
    if (item.object) size += item.object->size;
  }
  return size;
}

STATUS OpenNoteHandle(DBHANDLE db_handle, NOTEID id, NOTEHANDLE* note_r, bool hooks) {
  if (note_r == nullptr) return ERR_BAD_PARAM;
  *note_r = NULLHANDLE;
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  if (id == 0) return ERR_INVALID_NOTE;
  auto note = std::make_shared<Note>();
  if (STATUS status = LoadNote(db, id, note.get()); status != NOERROR) return status;
  note->db_handle = db_handle;
  NOTEHANDLE handle = AddHandle(note);
  if (hooks) {
    STATUS status = RunOpenHooks(db_handle, id, handle, OPEN_DEFAULT);
    if (status != NOERROR) {
      HandleObject object;
      if (RemoveHandle(handle, &object)) CloseNoteObject(note);
      return status;
    }
  }
  *note_r = handle;
  return NOERROR;
}

STATUS LockNote(NOTEHANDLE handle, LockedNote* locked_r) {
  NotePtr note;
  if (STATUS status = FindNote(handle, &note); status != NOERROR) return status;
  locked_r->lock = std::unique_lock<std::recursive_mutex>(note->mutex);
  locked_r->note = std::move(note);
  return NOERROR;
}

}  // namespace notes_internal

using namespace notes_internal;

// ---- databases

STATUS NSFDbOpen(const char* path, DBHANDLE* db_r) {
  if (db_r == nullptr) return ERR_BAD_PARAM;
  *db_r = NULLHANDLE;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  std::string file;
  std::string canonical;
  if (STATUS status = ResolvePath(path, &file, &canonical); status != NOERROR) return status;
  DatabasePtr db;
  if (STATUS status = OpenDatabaseFile(file, &db); status != NOERROR) return status;
  db->canonical = canonical;
  *db_r = AddHandle(db);
  return NOERROR;
}

STATUS NSFDbClose(DBHANDLE db_handle) {
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  HandleObject object;
  return RemoveHandle(db_handle, &object) ? NOERROR : ERR_INVALID_HANDLE;
}

STATUS NSFDbCreate(const char* path, USHORT db_class, BOOL force_creation) {
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  std::string file;
  std::string canonical;
  if (STATUS status = ResolvePath(path, &file, &canonical); status != NOERROR) return status;
  return CreateDatabaseFile(file, force_creation != FALSE);
}

STATUS NSFDbDelete(const char* path) {
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  std::string file;
  std::string canonical;
  if (STATUS status = ResolvePath(path, &file, &canonical); status != NOERROR) return status;
  DatabasePtr db;
  if (STATUS status = OpenDatabaseFile(file, &db); status != NOERROR) return status;
  db.reset();
  if (::unlink(file.c_str()) != 0) return ERR_FILE_IO;
  ::unlink((file + "-wal").c_str());
  ::unlink((file + "-shm").c_str());
  RemoveContentDirectory(file);
  return NOERROR;
}

STATUS NSFDbPathGet(DBHANDLE db_handle, char* canonical_r, char* expanded_r) {
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  if (canonical_r != nullptr) CopyOut(db->canonical, canonical_r, MAXPATH);
  if (expanded_r != nullptr) CopyOut(db->file, expanded_r, MAXPATH);
  return NOERROR;
}

STATUS NSFDbInfoGet(DBHANDLE db_handle, char* info_r) {
  if (info_r == nullptr) return ERR_BAD_PARAM;
  info_r[0] = '\0';
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  std::string info;
  if (STATUS status = ReadDbInfo(db, &info); status != NOERROR) return status;
  CopyOut(info, info_r, NSF_INFO_SIZE);
  return NOERROR;
}

namespace {

// Content files of removed rows wait for a sync; past this many an unsynced writer syncs
// anyway, so that a writer that never syncs (the router's deletions) keeps few.
constexpr size_t kMostDoomedContent = 64;

// Makes the write just committed to db durable unless the caller asked not to, and then
// removes the content files it freed.
STATUS SyncAfterWrite(const DatabasePtr& db, WORD update_flags) {
  if ((update_flags & UPDATE_NOCOMMIT) != 0) {
    std::lock_guard<std::recursive_mutex> lock(db->mutex);
    if (db->doomed_content.size() < kMostDoomedContent) return NOERROR;
  }
  STATUS status = SyncCommitted(db->file);
  if (status == NOERROR) RemoveDoomedContent(db);
  return (update_flags & UPDATE_NOCOMMIT) != 0 ? NOERROR : status;
}

}  // namespace

STATUS NSFDbInfoSet(DBHANDLE db_handle, const char* info) {
  if (info == nullptr) return ERR_BAD_PARAM;
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  STATUS status = WriteDbInfo(db, std::string(info, strnlen(info, NSF_INFO_SIZE - 1)));
  return status != NOERROR ? status : SyncCommitted(db->file);
}

STATUS VtDbSync(DBHANDLE db_handle) {
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  return SyncAfterWrite(db, 0);
}

void NSFDbInfoParse(const char* info, WORD what, char* buffer_r, WORD buffer_len) {
  if (buffer_r == nullptr || buffer_len == 0) return;
  buffer_r[0] = '\0';
  if (info == nullptr) return;
  std::string_view text(info, strnlen(info, NSF_INFO_SIZE));
  for (WORD field = 0; field < what; ++field) {
    size_t newline = text.find('\n');
    if (newline == std::string_view::npos) return;
    text.remove_prefix(newline + 1);
  }
  CopyOut(text.substr(0, text.find('\n')), buffer_r, buffer_len);
}

void NSFDbInfoModify(char* info, WORD what, const char* value) {
  if (info == nullptr || what > INFOPARSE_DESIGN_CLASS) return;
  std::vector<std::string> fields(INFOPARSE_DESIGN_CLASS + 1);
  std::string_view text(info, strnlen(info, NSF_INFO_SIZE));
  for (size_t field = 0; field < fields.size(); ++field) {
    size_t newline = text.find('\n');
    fields[field] = std::string(text.substr(0, newline));
    if (newline == std::string_view::npos) break;
    text.remove_prefix(newline + 1);
  }
  std::string replacement = value != nullptr ? value : "";
  replacement = replacement.substr(0, replacement.find('\n'));
  fields[what] = replacement;
  std::string joined;
  size_t last = fields.size();
  while (last > 1 && fields[last - 1].empty()) --last;
  for (size_t field = 0; field < last; ++field) {
    if (field > 0) joined += '\n';
    joined += fields[field];
  }
  CopyOut(joined, info, NSF_INFO_SIZE);
}

STATUS VtDbCreateWithInfo(const char* path, const char* title, const char* design_class,
                          BOOL force_creation) {
  if (STATUS status = NSFDbCreate(path, DBCLASS_NOTEFILE, force_creation); status != NOERROR) {
    return status;
  }
  DBHANDLE db = NULLHANDLE;
  if (STATUS status = NSFDbOpen(path, &db); status != NOERROR) return status;
  char info[NSF_INFO_SIZE] = "";
  NSFDbInfoModify(info, INFOPARSE_TITLE, title);
  NSFDbInfoModify(info, INFOPARSE_DESIGN_CLASS, design_class);
  STATUS status = NSFDbInfoSet(db, info);
  STATUS closed = NSFDbClose(db);
  return status != NOERROR ? status : closed;
}

// ---- notes


STATUS NSFNoteOpen(DBHANDLE db, NOTEID note_id, WORD open_flags, NOTEHANDLE* note_r) {
  return OpenNoteHandle(db, note_id, note_r, true);
}

STATUS NSFNoteOpenExt(DBHANDLE db, NOTEID note_id, DWORD open_flags, NOTEHANDLE* note_r) {
  return OpenNoteHandle(db, note_id, note_r, true);
}

STATUS NSFNoteCreate(DBHANDLE db_handle, NOTEHANDLE* note_r) {
  if (note_r == nullptr) return ERR_BAD_PARAM;
  *note_r = NULLHANDLE;
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  auto note = std::make_shared<Note>();
  note->db = db;
  note->db_handle = db_handle;
  OSCurrentTIMEDATE(&note->created);
  note->modified = note->created;
  *note_r = AddHandle(note);
  return NOERROR;
}

STATUS NSFNoteUpdate(NOTEHANDLE handle, WORD update_flags) {
  NotePtr note;
  if (STATUS status = FindNote(handle, &note); status != NOERROR) return status;
  DBHANDLE db_handle;
  NOTEID id;
  {
    std::lock_guard<std::recursive_mutex> lock(note->mutex);
    db_handle = note->db_handle;
    id = note->id;
  }
  WORD hook_flags = update_flags;
  if (STATUS status = RunUpdateHooks(db_handle, id, handle, &hook_flags); status != NOERROR) {
    return status;
  }
  std::lock_guard<std::recursive_mutex> lock(note->mutex);
  STATUS status = StoreNote(note.get());
  if (status != NOERROR) return status;
  return SyncAfterWrite(note->db, update_flags);
}

STATUS NSFNoteClose(NOTEHANDLE handle) {
  NotePtr note;
  if (STATUS status = FindNote(handle, &note); status != NOERROR) return status;
  HandleObject object;
  if (!RemoveHandle(handle, &object)) return ERR_INVALID_HANDLE;
  CloseNoteObject(note);
  return NOERROR;
}

STATUS NSFNoteDelete(DBHANDLE db_handle, NOTEID note_id, WORD update_flags) {
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  // The hooks see the note being deleted through a handle of its own.
  NOTEHANDLE handle = NULLHANDLE;
  if (STATUS status = OpenNoteHandle(db_handle, note_id, &handle, false); status != NOERROR) {
    return status;
  }
  WORD hook_flags = static_cast<WORD>(update_flags | UPDATE_DELETED);
  STATUS status = RunUpdateHooks(db_handle, note_id, handle, &hook_flags);
  (void)NSFNoteClose(handle);
  if (status != NOERROR) return status;
  status = RemoveNote(db, note_id);
  if (status != NOERROR) return status;
  return SyncAfterWrite(db, update_flags);
}

STATUS NSFNoteCopy(NOTEHANDLE source_handle, NOTEHANDLE* copy_r) {
  if (copy_r == nullptr) return ERR_BAD_PARAM;
  *copy_r = NULLHANDLE;
  LockedNote source;
  if (STATUS status = LockNote(source_handle, &source); status != NOERROR) return status;
  auto copy = std::make_shared<Note>();
  copy->db = source.note->db;
  copy->db_handle = source.note->db_handle;
  copy->note_class = source.note->note_class;
  OSCurrentTIMEDATE(&copy->created);
  copy->modified = copy->created;
  for (const Item& item : source.note->items) {
    Item duplicate = item;
    duplicate.serial = copy->next_serial++;
    if (duplicate.Type() == TYPE_OBJECT && duplicate.object) {
      if (STATUS status = RehomeAttachment(*copy, &duplicate); status != NOERROR) {
        CloseNoteObject(copy);
        return status;
      }
    }
    copy->items.push_back(std::move(duplicate));
  }
  *copy_r = AddHandle(copy);
  return NOERROR;
}

void NSFNoteGetInfo(NOTEHANDLE handle, WORD member, void* value_r) {
  if (value_r == nullptr) return;
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR) return;
  const Note& note = *locked.note;
  switch (member) {
    case _NOTE_DB:
      *static_cast<DBHANDLE*>(value_r) = note.db_handle;
      break;
    case _NOTE_ID:
      *static_cast<NOTEID*>(value_r) = note.id;
      break;
    case _NOTE_OID:
      *static_cast<TIMEDATE*>(value_r) = note.created;
      break;
    case _NOTE_CLASS:
      *static_cast<WORD*>(value_r) = note.note_class;
      break;
    case _NOTE_MODIFIED:
      *static_cast<TIMEDATE*>(value_r) = note.modified;
      break;
    default:
      break;
  }
}

void NSFNoteSetInfo(NOTEHANDLE handle, WORD member, const void* value) {
  if (value == nullptr) return;
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR) return;
  Note& note = *locked.note;
  switch (member) {
    case _NOTE_DB: {
      DBHANDLE db_handle = *static_cast<const DBHANDLE*>(value);
      DatabasePtr db;
      if (FindDatabase(db_handle, &db) != NOERROR) return;
      // Content moves with the note's next update (StoreNote copies across files).
      note.db = db;
      note.db_handle = db_handle;
      break;
    }
    case _NOTE_ID:
      note.id = *static_cast<const NOTEID*>(value);
      break;
    case _NOTE_CLASS:
      note.note_class = *static_cast<const WORD*>(value);
      break;
    default:
      break;
  }
}

DWORD VtNoteSize(NOTEHANDLE handle) {
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR) return 0;
  unsigned long long size = NoteSize(*locked.note);
  return size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
}

// ---- items

BOOL NSFItemIsPresent(NOTEHANDLE handle, const char* name, WORD name_len) {
  return NSFItemInfo(handle, name, name_len, nullptr, nullptr, nullptr, nullptr) == NOERROR
             ? TRUE
             : FALSE;
}

namespace {

STATUS ItemInfoFrom(NOTEHANDLE handle, size_t start, const char* name, WORD name_len,
                    BLOCKID* item_r, WORD* type_r, BLOCKID* value_r, DWORD* value_len_r,
                    Note& note) {
  Item* item = nullptr;
  if (name == nullptr) {
    if (start < note.items.size()) item = &note.items[start];
  } else {
    std::string item_name;
    if (STATUS status = CheckItemName(name, name_len, &item_name); status != NOERROR) {
      return status;
    }
    item = FindItem(note, item_name, start);
  }
  if (item == nullptr) return ERR_ITEM_NOT_FOUND;
  BLOCKID block{handle, item->serial};
  if (item_r != nullptr) *item_r = block;
  if (value_r != nullptr) *value_r = block;
  if (type_r != nullptr) *type_r = item->Type();
  if (value_len_r != nullptr) *value_len_r = static_cast<DWORD>(item->value.size());
  return NOERROR;
}

}  // namespace

STATUS NSFItemInfo(NOTEHANDLE handle, const char* name, WORD name_len, BLOCKID* item_r,
                   WORD* type_r, BLOCKID* value_r, DWORD* value_len_r) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  if (name == nullptr) return ERR_BAD_PARAM;
  return ItemInfoFrom(handle, 0, name, name_len, item_r, type_r, value_r, value_len_r,
                      *locked.note);
}

STATUS NSFItemInfoNext(NOTEHANDLE handle, BLOCKID previous, const char* name, WORD name_len,
                       BLOCKID* item_r, WORD* type_r, BLOCKID* value_r, DWORD* value_len_r) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  Note& note = *locked.note;
  size_t start = 0;
  if (previous.pool != NULLHANDLE) {
    if (previous.pool != handle) return ERR_BAD_PARAM;
    Item* item = FindItemBySerial(note, previous.block);
    if (item == nullptr) return ERR_ITEM_NOT_FOUND;
    start = static_cast<size_t>(item - note.items.data()) + 1;
  }
  return ItemInfoFrom(handle, start, name, name_len, item_r, type_r, value_r, value_len_r,
                      note);
}

void* OSLockBlockPointer(BLOCKID block) {
  if (block.pool == NULLHANDLE) return nullptr;
  HandleObject object;
  if (!FindHandle(block.pool, &object)) return nullptr;
  if (auto* note = std::get_if<NotePtr>(&object)) {
    std::lock_guard<std::recursive_mutex> lock((*note)->mutex);
    Item* item = FindItemBySerial(**note, block.block);
    return item != nullptr ? item->value.data() : nullptr;
  }
  if (auto* memory = std::get_if<std::shared_ptr<MemoryBlock>>(&object)) {
    if (block.block > (*memory)->bytes.size()) return nullptr;
    return (*memory)->bytes.data() + block.block;
  }
  return nullptr;
}

void OSUnlockBlockPointer(BLOCKID block) {}

STATUS NSFItemCopy(NOTEHANDLE handle, BLOCKID item_block) {
  Item copy;
  {
    LockedNote source;
    if (STATUS status = LockNote(item_block.pool, &source); status != NOERROR) return status;
    Item* item = FindItemBySerial(*source.note, item_block.block);
    if (item == nullptr) return ERR_ITEM_NOT_FOUND;
    copy = *item;
  }
  LockedNote target;
  if (STATUS status = LockNote(handle, &target); status != NOERROR) return status;
  copy.serial = target.note->next_serial++;
  if (copy.Type() == TYPE_OBJECT && copy.object) {
    if (STATUS status = RehomeAttachment(*target.note, &copy); status != NOERROR) return status;
  }
  target.note->items.push_back(std::move(copy));
  return NOERROR;
}

STATUS NSFItemDelete(NOTEHANDLE handle, const char* name, WORD name_len) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  std::string item_name;
  if (STATUS status = CheckItemName(name, name_len, &item_name); status != NOERROR) {
    return status;
  }
  if (FindItem(*locked.note, item_name) == nullptr) return ERR_ITEM_NOT_FOUND;
  RemoveItems(*locked.note, item_name);
  return NOERROR;
}

STATUS NSFItemDeleteByBLOCKID(NOTEHANDLE handle, BLOCKID item_block) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  if (item_block.pool != handle) return ERR_BAD_PARAM;
  Note& note = *locked.note;
  Item* item = FindItemBySerial(note, item_block.block);
  if (item == nullptr) return ERR_ITEM_NOT_FOUND;
  note.items.erase(note.items.begin() + (item - note.items.data()));
  return NOERROR;
}

STATUS NSFItemScan(NOTEHANDLE handle, NSFITEMSCANPROC routine, void* context) {
  if (routine == nullptr) return ERR_BAD_PARAM;
  // The routine gets copies and runs without the note's lock, so it may change this note or
  // lock another one without an order to keep.
  struct Snapshot {
    std::string name;
    WORD flags;
    std::vector<std::uint8_t> value;
  };
  std::vector<Snapshot> items;
  {
    LockedNote locked;
    if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
    for (const Item& item : locked.note->items) items.push_back({item.name, item.flags, item.value});
  }
  for (Snapshot& item : items) {
    STATUS status = routine(0, item.flags, item.name.data(), static_cast<WORD>(item.name.size()),
                            item.value.data(), static_cast<DWORD>(item.value.size()), context);
    if (status != NOERROR) return status;
  }
  return NOERROR;
}

STATUS NSFItemAppend(NOTEHANDLE handle, WORD item_flags, const char* name, WORD name_len,
                     WORD type, const void* value, DWORD value_len) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  std::string item_name;
  if (STATUS status = CheckItemName(name, name_len, &item_name); status != NOERROR) {
    return status;
  }
  if (value == nullptr && value_len != 0) return ERR_BAD_PARAM;
  std::string_view data(static_cast<const char*>(value), value_len);
  // Attachment content cannot be named by bytes alone; NSFItemCopy carries it.
  if (type == TYPE_OBJECT) return ERR_ITEM_TYPE;
  std::vector<std::string> entries;
  if (type == TYPE_TEXT_LIST && !DecodeTextList(data, &entries)) return ERR_BAD_VALUE;
  if (type == TYPE_NUMBER && value_len != sizeof(NUMBER)) return ERR_BAD_VALUE;
  if (type == TYPE_TIME && value_len != sizeof(TIMEDATE)) return ERR_BAD_VALUE;
  if (type == TYPE_MIME_PART) {
    if (value_len < kMimePartStoredBytes) return ERR_BAD_VALUE;
    void* at = const_cast<void*>(value);
    MIME_PART part;
    ODSReadMemory(&at, _MIME_PART, &part, 1);
    if (kMimePartStoredBytes + static_cast<DWORD>(part.wByteCount) > value_len) {
      return ERR_BAD_VALUE;
    }
  }
  AppendItem(*locked.note, item_name, item_flags, type, data);
  return NOERROR;
}

// ---- text, lists, numbers, times

WORD NSFItemGetText(NOTEHANDLE handle, const char* name, char* buffer_r, WORD buffer_len) {
  if (buffer_r != nullptr && buffer_len > 0) buffer_r[0] = '\0';
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || name == nullptr) return 0;
  Item* item = FindItem(*locked.note, std::string_view(name, strnlen(name, MAXITEMNAME + 1)));
  if (item == nullptr) return 0;
  switch (item->Type()) {
    case TYPE_TEXT:
      return CopyOut(item->Data(), buffer_r, buffer_len);
    case TYPE_TEXT_LIST: {
      std::vector<std::string> entries;
      if (!DecodeTextList(item->Data(), &entries) || entries.empty()) return 0;
      return CopyOut(entries[0], buffer_r, buffer_len);
    }
    case TYPE_NUMBER: {
      NUMBER number;
      if (item->Data().size() < sizeof number) return 0;  // a damaged value
      std::memcpy(&number, item->Data().data(), sizeof number);
      char text[64];
      WORD length = 0;
      if (ConvertFLOATToText(nullptr, nullptr, &number, text, sizeof text, &length) != NOERROR) {
        return 0;
      }
      return CopyOut(std::string_view(text, length), buffer_r, buffer_len);
    }
    case TYPE_TIME: {
      TIMEDATE time;
      if (item->Data().size() < sizeof time) return 0;
      std::memcpy(&time, item->Data().data(), sizeof time);
      char text[64];
      WORD length = 0;
      if (ConvertTIMEDATEToText(nullptr, nullptr, &time, text, sizeof text, &length) != NOERROR) {
        return 0;
      }
      return CopyOut(std::string_view(text, length), buffer_r, buffer_len);
    }
    default:
      return 0;
  }
}

STATUS NSFItemSetText(NOTEHANDLE handle, const char* name, const char* text, WORD text_len) {
  return NSFItemSetTextSummary(handle, name, text, text_len, TRUE);
}

STATUS NSFItemSetTextSummary(NOTEHANDLE handle, const char* name, const char* text,
                             WORD text_len, BOOL summary) {
  if (text == nullptr && text_len != 0 && text_len != MAXWORD) return ERR_BAD_PARAM;
  size_t length = text == nullptr ? 0 : (text_len == MAXWORD ? std::strlen(text) : text_len);
  if (length > MAXWORD) return ERR_ITEM_TOO_LARGE;
  return ReplaceItem(handle, name, summary ? ITEM_SUMMARY : 0, TYPE_TEXT,
                     std::string_view(text == nullptr ? "" : text, length));
}

WORD NSFItemGetTextListEntries(NOTEHANDLE handle, const char* name) {
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || name == nullptr) return 0;
  Item* item = FindItem(*locked.note, std::string_view(name, strnlen(name, MAXITEMNAME + 1)));
  if (item == nullptr) return 0;
  if (item->Type() == TYPE_TEXT) return 1;
  std::vector<std::string> entries;
  if (item->Type() != TYPE_TEXT_LIST || !DecodeTextList(item->Data(), &entries)) return 0;
  return static_cast<WORD>(entries.size());
}

WORD NSFItemGetTextListEntry(NOTEHANDLE handle, const char* name, WORD entry, char* buffer_r,
                             WORD buffer_len) {
  if (buffer_r != nullptr && buffer_len > 0) buffer_r[0] = '\0';
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || name == nullptr) return 0;
  Item* item = FindItem(*locked.note, std::string_view(name, strnlen(name, MAXITEMNAME + 1)));
  if (item == nullptr) return 0;
  if (item->Type() == TYPE_TEXT) return entry == 0 ? CopyOut(item->Data(), buffer_r, buffer_len) : 0;
  std::vector<std::string> entries;
  if (item->Type() != TYPE_TEXT_LIST || !DecodeTextList(item->Data(), &entries)) return 0;
  if (entry >= entries.size()) return 0;
  return CopyOut(entries[entry], buffer_r, buffer_len);
}

STATUS NSFItemCreateTextList(NOTEHANDLE handle, const char* name, const char* text,
                             WORD text_len) {
  if (text == nullptr && text_len != 0 && text_len != MAXWORD) return ERR_BAD_PARAM;
  size_t length = text == nullptr ? 0 : (text_len == MAXWORD ? std::strlen(text) : text_len);
  if (length > MAXWORD) return ERR_ITEM_TOO_LARGE;
  std::vector<std::uint8_t> list =
      EncodeTextList({std::string(text == nullptr ? "" : text, length)});
  return ReplaceItem(handle, name, ITEM_SUMMARY, TYPE_TEXT_LIST, TextOf(list));
}

STATUS NSFItemAppendTextList(NOTEHANDLE handle, const char* name, const char* text,
                             WORD text_len, BOOL allow_duplicates) {
  if (text == nullptr && text_len != 0 && text_len != MAXWORD) return ERR_BAD_PARAM;
  size_t length = text == nullptr ? 0 : (text_len == MAXWORD ? std::strlen(text) : text_len);
  if (length > MAXWORD) return ERR_ITEM_TOO_LARGE;
  std::string entry(text == nullptr ? "" : text, length);
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  std::string item_name;
  if (STATUS status = NameFromC(name, &item_name); status != NOERROR) return status;
  Note& note = *locked.note;
  Item* item = FindItem(note, item_name);
  std::vector<std::string> entries;
  WORD flags = ITEM_SUMMARY;
  if (item != nullptr) {
    flags = item->flags;
    if (item->Type() == TYPE_TEXT) {
      entries.emplace_back(item->Data());
    } else if (item->Type() != TYPE_TEXT_LIST || !DecodeTextList(item->Data(), &entries)) {
      return ERR_ITEM_TYPE;
    }
  }
  if (!allow_duplicates && std::find(entries.begin(), entries.end(), entry) != entries.end()) {
    return NOERROR;
  }
  if (entries.size() >= MAXWORD) return ERR_ITEM_TOO_LARGE;
  entries.push_back(entry);
  std::vector<std::uint8_t> list = EncodeTextList(entries);
  if (item != nullptr) {
    // The list keeps its place among the note's items.
    item->value.clear();
    PutWord(&item->value, TYPE_TEXT_LIST);
    item->value.insert(item->value.end(), list.begin(), list.end());
    return NOERROR;
  }
  AppendItem(note, item_name, flags, TYPE_TEXT_LIST, TextOf(list));
  return NOERROR;
}

WORD ListGetNumEntries(const void* list, BOOL with_type_word) {
  if (list == nullptr) return 0;
  auto at = static_cast<const std::uint8_t*>(list) + (with_type_word ? 2 : 0);
  return GetWord(at);
}

STATUS ListGetText(const void* list, BOOL with_type_word, WORD entry, char** text_r,
                   WORD* text_len_r) {
  if (list == nullptr) return ERR_BAD_PARAM;
  auto at = static_cast<const std::uint8_t*>(list) + (with_type_word ? 2 : 0);
  WORD count = GetWord(at);
  if (entry >= count) return ERR_LIST_ENTRY;
  size_t offset = 2 + 2 * static_cast<size_t>(count);
  for (WORD i = 0; i < entry; ++i) offset += GetWord(at + 2 + 2 * i);
  if (text_r != nullptr) *text_r = reinterpret_cast<char*>(const_cast<std::uint8_t*>(at + offset));
  if (text_len_r != nullptr) *text_len_r = GetWord(at + 2 + 2 * entry);
  return NOERROR;
}

BOOL NSFItemGetNumber(NOTEHANDLE handle, const char* name, NUMBER* number_r) {
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || name == nullptr || number_r == nullptr) {
    return FALSE;
  }
  Item* item = FindItem(*locked.note, std::string_view(name, strnlen(name, MAXITEMNAME + 1)));
  if (item == nullptr || item->Type() != TYPE_NUMBER || item->Data().size() < sizeof(NUMBER)) {
    return FALSE;
  }
  std::memcpy(number_r, item->Data().data(), sizeof(NUMBER));
  return TRUE;
}

STATUS NSFItemSetNumber(NOTEHANDLE handle, const char* name, const NUMBER* number) {
  if (number == nullptr) return ERR_BAD_PARAM;
  return ReplaceItem(handle, name, ITEM_SUMMARY, TYPE_NUMBER,
                     std::string_view(reinterpret_cast<const char*>(number), sizeof(NUMBER)));
}

BOOL NSFItemGetTime(NOTEHANDLE handle, const char* name, TIMEDATE* time_r) {
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || name == nullptr || time_r == nullptr) {
    return FALSE;
  }
  Item* item = FindItem(*locked.note, std::string_view(name, strnlen(name, MAXITEMNAME + 1)));
  if (item == nullptr || item->Type() != TYPE_TIME || item->Data().size() < sizeof(TIMEDATE)) {
    return FALSE;
  }
  std::memcpy(time_r, item->Data().data(), sizeof(TIMEDATE));
  return TRUE;
}

STATUS NSFItemSetTime(NOTEHANDLE handle, const char* name, const TIMEDATE* time) {
  if (time == nullptr) return ERR_BAD_PARAM;
  return ReplaceItem(handle, name, ITEM_SUMMARY, TYPE_TIME,
                     std::string_view(reinterpret_cast<const char*>(time), sizeof(TIMEDATE)));
}

// ---- stored structures

WORD ODSLength(WORD structure_type) {
  switch (structure_type) {
    case _MIME_PART:
      return kMimePartStoredBytes;
    case _FILEOBJECT:
      return kFileObjectStoredBytes;
    default:
      return 0;
  }
}

void ODSReadMemory(void** source, WORD structure_type, void* destination, WORD count) {
  if (source == nullptr || *source == nullptr || destination == nullptr) return;
  Reader in{static_cast<const std::uint8_t*>(*source)};
  for (WORD i = 0; i < count; ++i) {
    if (structure_type == _MIME_PART) {
      MIME_PART& part = static_cast<MIME_PART*>(destination)[i];
      part.wVersion = in.Word();
      part.dwFlags = in.Dword();
      part.cPartType = in.Byte();
      part.cSpare = in.Byte();
      part.wByteCount = in.Word();
      part.wBoundaryLen = in.Word();
      part.wHeadersLen = in.Word();
      part.wSpare = in.Word();
      part.dwSpare = in.Dword();
    } else if (structure_type == _FILEOBJECT) {
      ReadFileObject(&in, &static_cast<FILEOBJECT*>(destination)[i]);
    } else {
      return;
    }
  }
  *source = const_cast<std::uint8_t*>(in.at);
}

void ODSWriteMemory(void** destination, WORD structure_type, const void* source, WORD count) {
  if (destination == nullptr || *destination == nullptr || source == nullptr) return;
  std::vector<std::uint8_t> out;
  for (WORD i = 0; i < count; ++i) {
    if (structure_type == _MIME_PART) {
      const MIME_PART& part = static_cast<const MIME_PART*>(source)[i];
      PutWord(&out, part.wVersion);
      PutDword(&out, part.dwFlags);
      out.push_back(part.cPartType);
      out.push_back(part.cSpare);
      PutWord(&out, part.wByteCount);
      PutWord(&out, part.wBoundaryLen);
      PutWord(&out, part.wHeadersLen);
      PutWord(&out, part.wSpare);
      PutDword(&out, part.dwSpare);
    } else if (structure_type == _FILEOBJECT) {
      WriteFileObject(&out, static_cast<const FILEOBJECT*>(source)[i]);
    } else {
      return;
    }
  }
  std::memcpy(*destination, out.data(), out.size());
  *destination = static_cast<std::uint8_t*>(*destination) + out.size();
}

// ---- attachments

namespace {

// Appends a $FILE-style item for content already stored as a pending row of the note's
// database.
void AppendFileItem(Note& note, const std::string& name, const std::string& display,
                    const std::shared_ptr<Attachment>& attachment, TIMEDATE created,
                    TIMEDATE modified) {
  FILEOBJECT object{};
  object.ObjectType = OBJECT_FILE;
  object.ObjectID = static_cast<DWORD>(attachment->object_id);
  object.HostType = HOST_LOCAL;
  object.CompressionType = COMPRESS_NONE;
  object.FileSize = static_cast<DWORD>(attachment->size & 0xFFFFFFFFu);
  object.FileCreated = created;
  object.FileModified = modified;
  std::vector<std::uint8_t> value = EncodeFileObject(object, display);
  AppendItem(note, name, ITEM_SUMMARY, TYPE_OBJECT, TextOf(value));
  note.items.back().object = attachment;
  note.pending.push_back(attachment);
}

}  // namespace

STATUS NSFNoteAttachFile(NOTEHANDLE handle, const char* item_name, WORD item_name_len,
                         const char* file_path, const char* display_name, WORD encoding) {
  if (file_path == nullptr || *file_path == '\0') return ERR_BAD_PARAM;
  std::string name;
  if (STATUS status = CheckItemName(item_name, item_name_len, &name); status != NOERROR) {
    return status;
  }
  NotePtr note;
  if (STATUS status = FindNote(handle, &note); status != NOERROR) return status;
  std::string display = display_name != nullptr && *display_name != '\0' ? display_name : "";
  if (display.empty()) {
    std::string path(file_path);
    size_t slash = path.find_last_of("/\\");
    display = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  if (display.size() >= MAXPATH) return ERR_PATH_TOO_LONG;
  struct stat info;
  if (::stat(file_path, &info) != 0) return ERR_NOEXIST;
  DatabasePtr db;
  {
    std::lock_guard<std::recursive_mutex> lock(note->mutex);
    db = note->db;
  }
  // The content streams in without the note lock: a large file takes a while.
  std::shared_ptr<Attachment> attachment;
  if (STATUS status = StoreFileContent(db, file_path, &attachment); status != NOERROR) {
    return status;
  }
  std::lock_guard<std::recursive_mutex> lock(note->mutex);
  AppendFileItem(*note, name, display, attachment, VtTimeDateFromUnix(info.st_ctime),
                 VtTimeDateFromUnix(info.st_mtime));
  return NOERROR;
}

STATUS VtNoteAttachStream(NOTEHANDLE handle, const char* item_name, WORD item_name_len,
                          const char* display_name, VTREADPROC read, void* context,
                          BLOCKID* item_r) {
  if (read == nullptr || display_name == nullptr || *display_name == '\0') return ERR_BAD_PARAM;
  std::string name;
  if (STATUS status = CheckItemName(item_name, item_name_len, &name); status != NOERROR) {
    return status;
  }
  std::string display(display_name);
  if (display.size() >= MAXPATH) return ERR_PATH_TOO_LONG;
  NotePtr note;
  if (STATUS status = FindNote(handle, &note); status != NOERROR) return status;
  DatabasePtr db;
  {
    std::lock_guard<std::recursive_mutex> lock(note->mutex);
    db = note->db;
  }
  auto source = [read, context](char* buffer, size_t size, size_t* got_r) {
    DWORD got = 0;
    STATUS status = read(context, buffer, static_cast<DWORD>(std::min<size_t>(size, MAXDWORD)), &got);
    *got_r = std::min<size_t>(got, size);
    return status;
  };
  std::shared_ptr<Attachment> attachment;
  if (STATUS status = StoreStreamContent(db, source, &attachment); status != NOERROR) {
    return status;
  }
  TIMEDATE now;
  OSCurrentTIMEDATE(&now);
  std::lock_guard<std::recursive_mutex> lock(note->mutex);
  AppendFileItem(*note, name, display, attachment, now, now);
  if (item_r != nullptr) *item_r = BLOCKID{handle, note->items.back().serial};
  return NOERROR;
}

namespace {

// The content behind an attachment item of the note, found under the note's lock.
STATUS FileContentOf(NOTEHANDLE handle, BLOCKID item_block,
                     std::shared_ptr<Attachment>* attachment_r) {
  LockedNote locked;
  if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
  if (item_block.pool != handle) return ERR_BAD_PARAM;
  Item* item = FindItemBySerial(*locked.note, item_block.block);
  if (item == nullptr) return ERR_ITEM_NOT_FOUND;
  FILEOBJECT object;
  if (item->Type() != TYPE_OBJECT || !DecodeFileObject(item->Data(), &object, nullptr)) {
    return ERR_NOT_ATTACHMENT;
  }
  if (!item->object) return ERR_OBJECT_MISSING;
  *attachment_r = item->object;
  return NOERROR;
}

}  // namespace

STATUS VtNoteReadFile(NOTEHANDLE handle, BLOCKID item_block, VTWRITEPROC write, void* context) {
  if (write == nullptr) return ERR_BAD_PARAM;
  std::shared_ptr<Attachment> attachment;
  if (STATUS status = FileContentOf(handle, item_block, &attachment); status != NOERROR) {
    return status;
  }
  return ReadContent(*attachment, [write, context](const char* data, size_t size) {
    return write(context, data, static_cast<DWORD>(size));
  });
}

STATUS NSFNoteExtractFile(NOTEHANDLE handle, BLOCKID item_block, const char* file_path,
                          void* decryption_key) {
  if (file_path == nullptr || *file_path == '\0') return ERR_BAD_PARAM;
  std::shared_ptr<Attachment> attachment;
  if (STATUS status = FileContentOf(handle, item_block, &attachment); status != NOERROR) {
    return status;
  }
  return ExtractContent(*attachment, file_path);
}

STATUS NSFNoteDetachFile(NOTEHANDLE handle, BLOCKID item_block) {
  std::shared_ptr<Attachment> dropped;
  {
    LockedNote locked;
    if (STATUS status = LockNote(handle, &locked); status != NOERROR) return status;
    if (item_block.pool != handle) return ERR_BAD_PARAM;
    Note& note = *locked.note;
    Item* item = FindItemBySerial(note, item_block.block);
    if (item == nullptr) return ERR_ITEM_NOT_FOUND;
    FILEOBJECT object;
    if (item->Type() != TYPE_OBJECT || !DecodeFileObject(item->Data(), &object, nullptr)) {
      return ERR_NOT_ATTACHMENT;
    }
    std::shared_ptr<Attachment> attachment = item->object;
    note.items.erase(note.items.begin() + (item - note.items.data()));
    // Content no update has claimed goes now; stored content goes with the next update.
    auto pending = std::find(note.pending.begin(), note.pending.end(), attachment);
    if (attachment && pending != note.pending.end()) {
      note.pending.erase(pending);
      dropped = attachment;
    }
  }
  if (dropped) DropPendingContent(*dropped);
  return NOERROR;
}

unsigned long long VtAttachmentSize(NOTEHANDLE handle, BLOCKID item_block) {
  LockedNote locked;
  if (LockNote(handle, &locked) != NOERROR || item_block.pool != handle) return 0;
  Item* item = FindItemBySerial(*locked.note, item_block.block);
  return item != nullptr && item->object ? item->object->size : 0;
}
