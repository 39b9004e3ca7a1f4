// notes_types.h - basic types, constants and status codes of the Notes C API stand-in.
//
// What it is for: the vocabulary shared by every Notes call of the system: 16-bit STATUS
// results, the DHANDLE family of opaque handles, TIMEDATE, BLOCKID, item types and flags,
// note classes and the status codes that callers compare against (259, 546, 582 ...).
// Ownership: plain values only; nothing here owns memory.
// Locks: none.
#pragma once

#include "platform/win32/wintypes.h"

using STATUS = WORD;
using DHANDLE = DWORD;     // every Notes handle: databases, notes, memory, computations
using DBHANDLE = DHANDLE;
using NOTEHANDLE = DHANDLE;
using FORMULAHANDLE = DHANDLE;
using HCOMPUTE = DHANDLE;
using NOTEID = DWORD;
using NUMBER = double;
using BLOCK = DWORD;
using USHORT = std::uint16_t;
using SWORD = std::int16_t;

inline constexpr DHANDLE NULLHANDLE = 0;

#ifndef NOERROR
#define NOERROR 0
#endif
#ifndef MAXWORD
#define MAXWORD 0xFFFF
#endif
#ifndef MAXDWORD
#define MAXDWORD 0xFFFFFFFFu
#endif

// A status word carries flag bits above the code; compare codes after masking.
inline constexpr STATUS ERR_MASK = 0x3FFF;
inline constexpr STATUS STS_DISPLAYED = 0x8000;
inline constexpr STATUS STS_REMOTE = 0x4000;
#define ERR(status) ((STATUS)((status) & ERR_MASK))

// Buffer sizes the API writes into. MAXPATH includes the terminating NUL.
inline constexpr WORD MAXPATH = 256;
inline constexpr WORD MAXUSERNAME = 256;
inline constexpr WORD MAXSPRINTF = 256;
inline constexpr WORD NSF_INFO_SIZE = 128;
inline constexpr WORD MAXENVVALUE = 256;
inline constexpr WORD MAXITEMNAME = 255;  // longest item name in bytes, without the NUL

// Time: an opaque pair of words; compare with TimeDateEqual/TimeDateCompare only.
struct TIMEDATE {
  DWORD Innards[2];
};
using DBID = TIMEDATE;

// A block of a handle's memory; for items, pool is the note handle and block the item.
struct BLOCKID {
  DHANDLE pool;
  BLOCK block;
};
inline constexpr BLOCKID NULLBLOCKID = {0, 0};
#define ISNULLBLOCKID(bid) ((bid).pool == NULLHANDLE)

// Item data types (the 16-bit type word that starts every item value).
inline constexpr WORD TYPE_ERROR = 0x0000;
inline constexpr WORD TYPE_COMPOSITE = 0x0001;  // rich text
inline constexpr WORD TYPE_OBJECT = 0x0003;     // file attachment ($FILE)
inline constexpr WORD TYPE_MIME_PART = 0x0019;  // 25
inline constexpr WORD TYPE_NUMBER = 0x0300;     // 768
inline constexpr WORD TYPE_NUMBER_RANGE = 0x0301;
inline constexpr WORD TYPE_TIME = 0x0400;  // 1024
inline constexpr WORD TYPE_TIME_RANGE = 0x0401;
inline constexpr WORD TYPE_TEXT = 0x0500;       // 1280
inline constexpr WORD TYPE_TEXT_LIST = 0x0501;  // 1281
inline constexpr WORD TYPE_INVALID_OR_UNKNOWN = 0xFFFF;

// Item flags.
inline constexpr WORD ITEM_SIGN = 0x0001;
inline constexpr WORD ITEM_SEAL = 0x0002;
inline constexpr WORD ITEM_SUMMARY = 0x0004;
inline constexpr WORD ITEM_READWRITERS = 0x0020;
inline constexpr WORD ITEM_NAMES = 0x0040;
inline constexpr WORD ITEM_PLACEHOLDER = 0x0100;
inline constexpr WORD ITEM_PROTECTED = 0x0200;
inline constexpr WORD ITEM_READERS = 0x0400;
inline constexpr WORD ITEM_UNCHANGED = 0x1000;

// Note classes.
inline constexpr WORD NOTE_CLASS_DOCUMENT = 0x0001;
inline constexpr WORD NOTE_CLASS_DATA = NOTE_CLASS_DOCUMENT;
inline constexpr WORD NOTE_CLASS_INFO = 0x0002;
inline constexpr WORD NOTE_CLASS_FORM = 0x0004;
inline constexpr WORD NOTE_CLASS_VIEW = 0x0008;
inline constexpr WORD NOTE_CLASS_ICON = 0x0010;
inline constexpr WORD NOTE_CLASS_DESIGN = 0x0020;
inline constexpr WORD NOTE_CLASS_ACL = 0x0040;
inline constexpr WORD NOTE_CLASS_HELP_INDEX = 0x0080;
inline constexpr WORD NOTE_CLASS_HELP = 0x0100;
inline constexpr WORD NOTE_CLASS_FILTER = 0x0200;
inline constexpr WORD NOTE_CLASS_FIELD = 0x0400;
inline constexpr WORD NOTE_CLASS_REPLFORMULA = 0x0800;
inline constexpr WORD NOTE_CLASS_PRIVATE = 0x1000;
inline constexpr WORD NOTE_CLASS_ALL = 0x7FFF;

// Status packages and codes. Every code has a text (OSLoadString). The values that the
// system compares against are fixed: 259, 546 and 582.
inline constexpr STATUS PKG_OS = 0x0100;
inline constexpr STATUS PKG_NSF = 0x0200;
inline constexpr STATUS PKG_FORMULA = 0x0500;
inline constexpr STATUS PKG_MAIL = 0x0900;
inline constexpr STATUS PKG_ADDIN = 0x0A00;

inline constexpr STATUS ERR_MEMORY = PKG_OS + 1;            // insufficient memory
inline constexpr STATUS ERR_NOT_INITIALIZED = PKG_OS + 2;   // thread did not initialise
inline constexpr STATUS ERR_NOEXIST = PKG_OS + 3;           // 259 file does not exist
inline constexpr STATUS ERR_EXISTS = PKG_OS + 4;            // file already exists
inline constexpr STATUS ERR_FILE_IO = PKG_OS + 5;           // read or write of a file failed
inline constexpr STATUS ERR_INVALID_HANDLE = PKG_OS + 6;    // unknown or closed handle
inline constexpr STATUS ERR_HANDLE_KIND = PKG_OS + 7;       // handle of another kind
inline constexpr STATUS ERR_BAD_PARAM = PKG_OS + 8;         // missing or invalid argument
inline constexpr STATUS ERR_PATH_TOO_LONG = PKG_OS + 9;     // path longer than MAXPATH
inline constexpr STATUS ERR_NO_ROOT = PKG_OS + 10;          // VT_SYSROOT unset or missing
inline constexpr STATUS ERR_SERVER_UNREACHABLE = PKG_OS + 11;
inline constexpr STATUS ERR_BUFFER_TOO_SMALL = PKG_OS + 12;
inline constexpr STATUS ERR_ENV_WRITE = PKG_OS + 13;        // notes.ini could not be written
inline constexpr STATUS ERR_HOOK_LOAD = PKG_OS + 14;        // hook library failed to load
inline constexpr STATUS ERR_NOT_IMPLEMENTED = PKG_OS + 15;

inline constexpr STATUS ERR_NOT_DATABASE = PKG_NSF + 1;     // file is not a database
inline constexpr STATUS ERR_DB_DAMAGED = PKG_NSF + 2;
inline constexpr STATUS ERR_DB_BUSY = PKG_NSF + 3;          // locked by another writer too long
inline constexpr STATUS ERR_DB_WRITE = PKG_NSF + 4;         // storage failed; nothing written
inline constexpr STATUS ERR_INVALID_NOTE = PKG_NSF + 5;     // no document with that note ID
inline constexpr STATUS ERR_NOTE_NOT_SAVED = PKG_NSF + 6;   // note has no ID yet
inline constexpr STATUS ERR_ITEM_NAME_TOO_LONG = PKG_NSF + 7;
inline constexpr STATUS ERR_ITEM_TYPE = PKG_NSF + 8;        // item is not of the type asked
inline constexpr STATUS ERR_ITEM_TOO_LARGE = PKG_NSF + 9;
inline constexpr STATUS ERR_LIST_ENTRY = PKG_NSF + 10;      // list entry out of range
inline constexpr STATUS ERR_NOT_ATTACHMENT = PKG_NSF + 11;  // item is not a file object
inline constexpr STATUS ERR_OBJECT_MISSING = PKG_NSF + 12;  // attachment content gone
inline constexpr STATUS ERR_BAD_VALUE = PKG_NSF + 13;       // stored value malformed
inline constexpr STATUS ERR_HOOK_REFUSED = PKG_NSF + 14;    // a hook refused without a code
inline constexpr STATUS ERR_DB_NOT_SYNCED = PKG_NSF + 15;   // written, but the disk did not
                                                            // confirm it: a crash may lose it
inline constexpr STATUS ERR_ITEM_NOT_FOUND = PKG_NSF + 34;  // 546 item not found
inline constexpr STATUS ERR_NOTE_DELETED = PKG_NSF + 70;    // 582 document deleted

inline constexpr STATUS ERR_FORMULA_SYNTAX = PKG_FORMULA + 1;  // text names the place
inline constexpr STATUS ERR_FORMULA_EVAL = PKG_FORMULA + 2;
inline constexpr STATUS ERR_FORMULA_UNAVAILABLE = PKG_FORMULA + 3;

inline constexpr STATUS ERR_MAIL_NO_BODY = PKG_MAIL + 1;
inline constexpr STATUS ERR_MAIL_BAD_ITEM_CODE = PKG_MAIL + 2;
inline constexpr STATUS ERR_MAIL_NO_ATTACHMENT = PKG_MAIL + 3;

inline constexpr STATUS ERR_ADDIN_NO_STATUS_LINE = PKG_ADDIN + 1;

// Message 1 is the version text of the runtime.
inline constexpr STATUS STR_VERSION_TEXT = 1;
