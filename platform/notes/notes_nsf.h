// notes_nsf.h - databases, notes, items and file attachments.
//
// What it is for: the database layer of the Notes stand-in. A database is a SQLite file
// below the data directory; a note is read into memory on open and written back in one
// transaction on update; items keep their order and several may share a name.
// Ownership: NSFDbOpen/NSFDbCreate-opened handles are closed with NSFDbClose, note handles
// with NSFNoteClose, by whoever obtained them. Value pointers from OSLockBlock stay valid
// until the note's items change or the note is closed.
// Locks: a handle's calls serialise on that handle; SQLite's locks order writers between
// processes (busy wait up to 30 s). No lock is held while a database hook runs.
//
// Value layouts (what NSFItemScan and OSLockBlock hand out; little-endian, packed):
//   every value        WORD type, then the data below
//   TYPE_TEXT          the bytes of the text (no NUL)
//   TYPE_TEXT_LIST     WORD count; WORD length[count]; the texts one after the other
//   TYPE_NUMBER        an 8-byte IEEE double
//   TYPE_TIME          TIMEDATE (two DWORDs)
//   TYPE_MIME_PART     the stored MIME_PART header (ODSLength(_MIME_PART) bytes, read it with
//                      ODSReadMemory), then wByteCount bytes of MIME text. A part whose
//                      content is kept in an attachment object (dwFlags has
//                      MIME_PART_BODY_IN_DBOBJECT) holds its header section as its MIME text
//                      (wHeadersLen == wByteCount, the blank line included) and, after it,
//                      the file name of the $FILE item that holds the content, decoded from
//                      the part's transfer encoding
//   TYPE_COMPOSITE     paragraphs: per paragraph WORD CD_PARAGRAPH, WORD byte length, bytes
//   TYPE_OBJECT        the stored FILEOBJECT (ODSLength(_FILEOBJECT) bytes), then the file
//                      name (FileNameLength bytes)
#pragma once

#include "platform/notes/notes_runtime.h"

// Databases. Paths: relative to the data directory, absolute, or "server!!file" where server
// is this machine's server name (any other server is ERR_SERVER_UNREACHABLE). Separators may
// be '/' or '\'.
inline constexpr USHORT DBCLASS_NOTEFILE = 0xFF00;
[[nodiscard]] STATUS NSFDbOpen(const char* path, DBHANDLE* db_r);
[[nodiscard]] STATUS NSFDbClose(DBHANDLE db);
// Creates an empty database; ERR_EXISTS unless force_creation replaces an existing file.
[[nodiscard]] STATUS NSFDbCreate(const char* path, USHORT db_class, BOOL force_creation);
[[nodiscard]] STATUS NSFDbDelete(const char* path);
// Canonical path (relative to the data directory when below it, else absolute, '/'
// separators) and expanded path (absolute). Each buffer MAXPATH bytes; either may be null.
[[nodiscard]] STATUS NSFDbPathGet(DBHANDLE db, char* canonical_r, char* expanded_r);
// Database information: fields separated by '\n': title, categories, class, design class.
inline constexpr WORD INFOPARSE_TITLE = 0;
inline constexpr WORD INFOPARSE_CATEGORIES = 1;
inline constexpr WORD INFOPARSE_CLASS = 2;
inline constexpr WORD INFOPARSE_DESIGN_CLASS = 3;
[[nodiscard]] STATUS NSFDbInfoGet(DBHANDLE db, char* info_r /* NSF_INFO_SIZE */);
[[nodiscard]] STATUS NSFDbInfoSet(DBHANDLE db, const char* info);
void NSFDbInfoParse(const char* info, WORD what, char* buffer_r, WORD buffer_len);
void NSFDbInfoModify(char* info /* NSF_INFO_SIZE */, WORD what, const char* value);
// Stand-in convenience: create a database with title and design class in one step.
[[nodiscard]] STATUS VtDbCreateWithInfo(const char* path, const char* title,
                                        const char* design_class, BOOL force_creation);
// Stand-in: makes every change written to db so far durable, as an update without
// UPDATE_NOCOMMIT does (one sync shared with the other threads syncing the same database).
// ERR_DB_NOT_SYNCED when the disk refused.
[[nodiscard]] STATUS VtDbSync(DBHANDLE db);

// Notes.
inline constexpr WORD OPEN_DEFAULT = 0x0000;
inline constexpr WORD UPDATE_FORCE = 0x0001;
inline constexpr WORD UPDATE_NOCOMMIT = 0x0004;
// In the update-flags word that a note-update hook sees: the update deletes the note.
inline constexpr WORD UPDATE_DELETED = 0x8000;

[[nodiscard]] STATUS NSFNoteOpen(DBHANDLE db, NOTEID note_id, WORD open_flags,
                                 NOTEHANDLE* note_r);
[[nodiscard]] STATUS NSFNoteOpenExt(DBHANDLE db, NOTEID note_id, DWORD open_flags,
                                    NOTEHANDLE* note_r);
[[nodiscard]] STATUS NSFNoteCreate(DBHANDLE db, NOTEHANDLE* note_r);
// Writes the note (new notes get their ID here). ERR_NOTE_DELETED when it was deleted since
// it was opened. Unless update_flags has UPDATE_NOCOMMIT the write is durable (synced to the
// disk) when the call returns; ERR_DB_NOT_SYNCED: the note was written (and has its ID) but
// the disk refused the sync, so a machine crash may lose it.
[[nodiscard]] STATUS NSFNoteUpdate(NOTEHANDLE note, WORD update_flags);
[[nodiscard]] STATUS NSFNoteClose(NOTEHANDLE note);
// Durable as NSFNoteUpdate is, unless update_flags has UPDATE_NOCOMMIT.
[[nodiscard]] STATUS NSFNoteDelete(DBHANDLE db, NOTEID note_id, WORD update_flags);
// A new, unsaved note of the same database holding copies of every item (attachments too).
[[nodiscard]] STATUS NSFNoteCopy(NOTEHANDLE source, NOTEHANDLE* copy_r);

inline constexpr WORD _NOTE_DB = 0;        // DBHANDLE
inline constexpr WORD _NOTE_ID = 1;        // NOTEID (0 before the first update)
inline constexpr WORD _NOTE_OID = 2;       // TIMEDATE of creation
inline constexpr WORD _NOTE_CLASS = 3;     // WORD
inline constexpr WORD _NOTE_MODIFIED = 4;  // TIMEDATE of the last update
void NSFNoteGetInfo(NOTEHANDLE note, WORD member, void* value_r);
// _NOTE_DB moves an unsaved note (or a copy) to another database; _NOTE_ID 0 makes the note
// new again; _NOTE_CLASS sets its class.
void NSFNoteSetInfo(NOTEHANDLE note, WORD member, const void* value);
// The note's size in bytes as @DocLength counts it: item names, values and attachments.
DWORD VtNoteSize(NOTEHANDLE note);

// Items. Names compare without case and are at most MAXITEMNAME bytes.
BOOL NSFItemIsPresent(NOTEHANDLE note, const char* name, WORD name_len);
// The first item of the name; every output may be null. ERR_ITEM_NOT_FOUND (546) when none.
[[nodiscard]] STATUS NSFItemInfo(NOTEHANDLE note, const char* name, WORD name_len,
                                 BLOCKID* item_r, WORD* type_r, BLOCKID* value_r,
                                 DWORD* value_len_r);
// The next item after previous with the name (any name when name is null).
[[nodiscard]] STATUS NSFItemInfoNext(NOTEHANDLE note, BLOCKID previous, const char* name,
                                     WORD name_len, BLOCKID* item_r, WORD* type_r,
                                     BLOCKID* value_r, DWORD* value_len_r);
// Appends a copy of item (of any open note, of any database) to note.
[[nodiscard]] STATUS NSFItemCopy(NOTEHANDLE note, BLOCKID item);
// Deletes every item of the name; ERR_ITEM_NOT_FOUND when there is none.
[[nodiscard]] STATUS NSFItemDelete(NOTEHANDLE note, const char* name, WORD name_len);
[[nodiscard]] STATUS NSFItemDeleteByBLOCKID(NOTEHANDLE note, BLOCKID item);
// Calls routine for every item in order with its flags, name and value (type word first).
// A non-zero routine result stops the scan and is returned.
using NSFITEMSCANPROC = STATUS (*)(WORD spare, WORD item_flags, char* name, WORD name_len,
                                   void* value, DWORD value_len, void* context);
[[nodiscard]] STATUS NSFItemScan(NOTEHANDLE note, NSFITEMSCANPROC routine, void* context);
// Appends an item; value is the data without the type word.
[[nodiscard]] STATUS NSFItemAppend(NOTEHANDLE note, WORD item_flags, const char* name,
                                   WORD name_len, WORD type, const void* value,
                                   DWORD value_len);

// Text. The read copies at most buffer_len - 1 bytes and a NUL and returns the length; 0
// when the item is absent or empty (a text list gives its first entry, a number its text).
WORD NSFItemGetText(NOTEHANDLE note, const char* name, char* buffer_r, WORD buffer_len);
// Replaces every item of the name with one text item; text_len MAXWORD = NUL-terminated,
// any other length keeps embedded zero bytes.
[[nodiscard]] STATUS NSFItemSetText(NOTEHANDLE note, const char* name, const char* text,
                                    WORD text_len);
[[nodiscard]] STATUS NSFItemSetTextSummary(NOTEHANDLE note, const char* name,
                                           const char* text, WORD text_len, BOOL summary);
WORD NSFItemGetTextListEntries(NOTEHANDLE note, const char* name);
WORD NSFItemGetTextListEntry(NOTEHANDLE note, const char* name, WORD entry,
                             char* buffer_r, WORD buffer_len);
// Replaces every item of the name with a text list of one entry (text_len as above).
[[nodiscard]] STATUS NSFItemCreateTextList(NOTEHANDLE note, const char* name,
                                           const char* text, WORD text_len);
// Appends an entry (creating the list); without duplicates an equal entry is not added.
[[nodiscard]] STATUS NSFItemAppendTextList(NOTEHANDLE note, const char* name,
                                           const char* text, WORD text_len,
                                           BOOL allow_duplicates);
// List values as NSFItemScan hands them (with_type_word TRUE) or without the type word.
WORD ListGetNumEntries(const void* list, BOOL with_type_word);
[[nodiscard]] STATUS ListGetText(const void* list, BOOL with_type_word, WORD entry,
                                 char** text_r, WORD* text_len_r);

BOOL NSFItemGetNumber(NOTEHANDLE note, const char* name, NUMBER* number_r);
[[nodiscard]] STATUS NSFItemSetNumber(NOTEHANDLE note, const char* name, const NUMBER* number);
BOOL NSFItemGetTime(NOTEHANDLE note, const char* name, TIMEDATE* time_r);
[[nodiscard]] STATUS NSFItemSetTime(NOTEHANDLE note, const char* name, const TIMEDATE* time);

// Stored structures and their in-memory forms (ODSReadMemory advances *source).
inline constexpr WORD _MIME_PART = 1;
inline constexpr WORD _FILEOBJECT = 2;
struct MIME_PART {
  WORD wVersion;
  DWORD dwFlags;
  BYTE cPartType;
  BYTE cSpare;
  WORD wByteCount;  // bytes of MIME text after the stored header
  WORD wBoundaryLen;
  WORD wHeadersLen;
  WORD wSpare;
  DWORD dwSpare;
};
inline constexpr DWORD MIME_PART_BODY_IN_DBOBJECT = 0x00000004;
inline constexpr BYTE MIME_PART_MESSAGE = 1;
inline constexpr BYTE MIME_PART_BODY = 3;
inline constexpr WORD MIME_PART_VERSION = 2;
inline constexpr DWORD kMimePartMaxBytes = 0xFFFF;  // MIME text per item

inline constexpr WORD OBJECT_FILE = 0;
inline constexpr WORD HOST_LOCAL = 0x0010;
struct FILEOBJECT {
  WORD ObjectType;  // OBJECT_FILE
  DWORD ObjectID;   // content row in the database that holds the note
  WORD FileNameLength;
  WORD HostType;
  WORD CompressionType;
  WORD FileAttributes;
  WORD Flags;
  DWORD FileSize;  // low 32 bits; VtAttachmentSize gives the full size
  TIMEDATE FileCreated;
  TIMEDATE FileModified;
};
WORD ODSLength(WORD structure_type);
void ODSReadMemory(void** source, WORD structure_type, void* destination, WORD count);
void ODSWriteMemory(void** destination, WORD structure_type, const void* source, WORD count);

// Attachments: a $FILE item whose content is streamed between file and database.
inline constexpr WORD COMPRESS_NONE = 0;
[[nodiscard]] STATUS NSFNoteAttachFile(NOTEHANDLE note, const char* item_name,
                                       WORD item_name_len, const char* file_path,
                                       const char* display_name, WORD encoding);
[[nodiscard]] STATUS NSFNoteExtractFile(NOTEHANDLE note, BLOCKID item, const char* file_path,
                                        void* decryption_key);
// Removes the attachment item; its content goes with the next update.
[[nodiscard]] STATUS NSFNoteDetachFile(NOTEHANDLE note, BLOCKID item);
unsigned long long VtAttachmentSize(NOTEHANDLE note, BLOCKID item);
// Stand-in: an attachment whose content comes from read (called until it reports 0 bytes),
// streamed into the database as it comes; item_r (may be null) names the new item.
using VTREADPROC = STATUS (*)(void* context, char* buffer, DWORD buffer_size, DWORD* got_r);
[[nodiscard]] STATUS VtNoteAttachStream(NOTEHANDLE note, const char* item_name,
                                        WORD item_name_len, const char* display_name,
                                        VTREADPROC read, void* context, BLOCKID* item_r);
// Stand-in: hands an attachment's content to write in pieces, in order.
using VTWRITEPROC = STATUS (*)(void* context, const char* data, DWORD size);
[[nodiscard]] STATUS VtNoteReadFile(NOTEHANDLE note, BLOCKID item, VTWRITEPROC write,
                                    void* context);
