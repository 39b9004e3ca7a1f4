// Fuzz target: the RFC 822 import of the Notes stand-in: the header parser, the items taken
// from the headers, dates, encoded words, and the import of the whole message into a note.
//
// Besides what the sanitizers catch, it aborts when the body split into Body pieces does not
// give the message back, or a piece is longer than its bound.
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "platform/notes/mail_import.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A machine root with a Notes data directory and one database the notes are created in;
// closed and removed when the process ends.
struct Machine {
  std::string root;
  DBHANDLE db = NULLHANDLE;
  Machine() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vtfuzzXXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    std::filesystem::create_directories(root + "/domino/data");
    std::ofstream(root + "/domino/notes.ini")
        << "[Notes]\nDirectory=" << root << "/domino/data\nServerName=CN=Mail1/O=Acme\n";
    ::setenv("VT_SYSROOT", root.c_str(), 1);
    vtplatform::SetSystemRoot(root);
    if (NotesInitExtended(0, nullptr) != NOERROR ||
        NSFDbCreate("fuzz.nsf", DBCLASS_NOTEFILE, FALSE) != NOERROR ||
        NSFDbOpen("fuzz.nsf", &db) != NOERROR) {
      std::abort();
    }
  }
  ~Machine() {
    (void)NSFDbClose(db);
    NotesTerm();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

DBHANDLE Database() {
  static const Machine machine;
  return machine.db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  mail_import::MailHeaders headers;
  std::string error;
  if (mail_import::ParseMailHeaders(message, true, &headers, &error)) {
    Check(headers.body_offset <= message.size());
    const mail_import::MailItems items = mail_import::ItemsFromHeaders(headers, nullptr);
    for (const std::string& address : items.recipients) Check(!address.empty());
    if (const std::string* date = headers.Find("Date")) (void)mail_import::ParseMailDate(*date);
    (void)mail_import::DecodeEncodedWords(message.substr(0, 4096));
  }
  constexpr size_t kPiece = 1000;
  std::string joined;
  for (std::string_view piece : mail_import::SplitMimeText(message, kPiece)) {
    Check(!piece.empty() && piece.size() <= kPiece);
    joined.append(piece);
  }
  Check(joined == message);

  NOTEHANDLE note = NULLHANDLE;
  if (NSFNoteCreate(Database(), &note) != NOERROR) std::abort();
  mail_import::ImportOptions options;
  options.envelope_sender = "alice@example.com";
  (void)mail_import::ImportMailText(note, message, options, &error);
  if (NSFNoteClose(note) != NOERROR) std::abort();
  return 0;
}
