// notes_bench - attachment cost of the Notes stand-in.
//
// NAME
//   notes_bench - time a note's attachment round trip against a plain file copy
// SYNOPSIS
//   notes_bench [--size-mb N] [--big-mb N] [--runs N] [--mail-mb N]...
// DESCRIPTION
//   Makes a fresh machine root in the temporary directory and measures, in the same run:
//   a plain copy of an N MB file (read and write in 256 KiB blocks; default 10 MB), and
//   writing a note with that file attached and reading the attachment back into a file
//   (create, attach, update, close; open, extract, close). Prints the medians and their
//   ratio. Then attaches and extracts a --big-mb file (default 200 MB) and prints the peak
//   resident memory above the baseline taken just before (VmHWM after resetting it).
//   Last, for each --mail-mb size (default 60 and 200), writes an RFC 822 message with an
//   attachment of that size in base64 and prints the peak resident memory above the
//   baseline of importing it into a mail box (ImportMailFile, as the SMTP task and the
//   pickup directory store mail) and of delivering it (the router's copy into a user's
//   mail database: NSFNoteCopy, the copy moved there and written).
// DIAGNOSTICS
//   Exits 1 with a line on stderr when a Notes call fails.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/mail_import.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"

namespace {

void Check(STATUS status, const char* what) {
  if (status == NOERROR) return;
  char text[256];
  OSLoadString(NULLHANDLE, status, text, sizeof text);
  std::fprintf(stderr, "notes_bench: %s: %s (%u)\n", what, text, status);
  std::exit(1);
}

void MakeFile(const std::string& path, size_t bytes) {
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 13);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (size_t done = 0; done < bytes; done += block.size()) {
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
  }
}

void PlainCopy(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char> buffer(256 * 1024);
  ssize_t got;
  while ((got = ::read(in, buffer.data(), buffer.size())) > 0) {
    if (::write(out, buffer.data(), static_cast<size_t>(got)) != got) std::exit(1);
  }
  ::close(in);
  ::close(out);
}

void NoteRoundTrip(DBHANDLE db, const std::string& from, const std::string& to) {
  NOTEHANDLE note = NULLHANDLE;
  Check(NSFNoteCreate(db, &note), "NSFNoteCreate");
  Check(NSFNoteAttachFile(note, "$FILE", 5, from.c_str(), "payload.bin", 0), "NSFNoteAttachFile");
  Check(NSFNoteUpdate(note, 0), "NSFNoteUpdate");
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  Check(NSFNoteClose(note), "NSFNoteClose");
  Check(NSFNoteOpen(db, id, 0, &note), "NSFNoteOpen");
  BLOCKID item;
  if (!MailGetMessageAttachmentInfo(note, 0, &item, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr)) {
    Check(ERR_MAIL_NO_ATTACHMENT, "MailGetMessageAttachmentInfo");
  }
  Check(NSFNoteExtractFile(note, item, to.c_str(), nullptr), "NSFNoteExtractFile");
  Check(NSFNoteClose(note), "NSFNoteClose");
}

// Deleting the note is housekeeping between runs, outside the timed round trip.
void DeleteAll(DBHANDLE db) {
  auto remove = [](void* context, SEARCH_MATCH* match, ITEM_TABLE*) -> STATUS {
    return NSFNoteDelete(*static_cast<DBHANDLE*>(context), match->ID.NoteID, UPDATE_FORCE);
  };
  Check(NSFSearch(db, NULLHANDLE, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, remove, &db, nullptr),
        "NSFSearch");
}

double Seconds(std::chrono::steady_clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

template <typename Body, typename Between>
double Median(int runs, Body body, Between between) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    body();
    times.push_back(Seconds(std::chrono::steady_clock::now() - start));
    between();
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

long StatusKb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length);
  }
  return -1;
}

// Peak resident memory of step above the resident memory just before it, in MB: the
// kernel's high-water mark restarted here, and a sampler in case it cannot be restarted.
template <typename Step>
double PeakAboveBaselineMb(Step step) {
  long baseline_kb = StatusKb("VmRSS:");
  std::ofstream("/proc/self/clear_refs") << "5";
  std::atomic<bool> done{false};
  std::atomic<long> sampled_kb{baseline_kb};
  std::thread sampler([&] {
    while (!done.load()) {
      long now = StatusKb("VmRSS:");
      if (now > sampled_kb.load()) sampled_kb.store(now);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  step();
  done.store(true);
  sampler.join();
  long peak_kb = std::max(StatusKb("VmHWM:"), sampled_kb.load());
  return (peak_kb - baseline_kb) / 1024.0;
}

// An internet mail with its text and one attachment of `bytes` bytes in base64, written in
// blocks.
void MakeMessage(const std::string& path, size_t bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << "From: alice@example.com\r\nTo: bob@example.com\r\nSubject: large\r\n"
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
         "--b\r\nContent-Type: text/plain\r\n\r\nThe data is attached.\r\n"
         "--b\r\nContent-Type: application/octet-stream\r\n"
         "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
         "Content-Transfer-Encoding: base64\r\n\r\n";
  std::string block;
  size_t lines = (bytes + 56) / 57;  // 57 bytes make a line of 76 characters
  for (size_t line = 0; line < lines; ++line) {
    for (int c = 0; c < 76; ++c) block += kAlphabet[(line * 31 + c * 7) & 63];
    block += "\r\n";
    if (block.size() >= (1 << 20)) {
      out << block;
      block.clear();
    }
  }
  out << block << "--b--\r\n";
}

void MailMemory(DBHANDLE box, DBHANDLE user, const std::string& root, size_t mb) {
  const std::string message = root + "/large.eml";
  MakeMessage(message, mb << 20);
  NOTEID id = 0;
  double import_mb = PeakAboveBaselineMb([&] {
    NOTEHANDLE note = NULLHANDLE;
    Check(NSFNoteCreate(box, &note), "NSFNoteCreate");
    std::string reason;
    STATUS status = mail_import::ImportMailFile(note, message.c_str(), mail_import::ImportOptions{}, &reason);
    if (status != NOERROR) std::fprintf(stderr, "notes_bench: %s\n", reason.c_str());
    Check(status, "ImportMailFile");
    Check(NSFNoteUpdate(note, 0), "NSFNoteUpdate");
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    Check(NSFNoteClose(note), "NSFNoteClose");
  });
  double deliver_mb = PeakAboveBaselineMb([&] {
    NOTEHANDLE note = NULLHANDLE;
    NOTEHANDLE copy = NULLHANDLE;
    Check(NSFNoteOpen(box, id, 0, &note), "NSFNoteOpen");
    Check(NSFNoteCopy(note, &copy), "NSFNoteCopy");
    NSFNoteSetInfo(copy, _NOTE_DB, &user);
    Check(NSFNoteUpdate(copy, 0), "NSFNoteUpdate");
    Check(NSFNoteClose(copy), "NSFNoteClose");
    Check(NSFNoteClose(note), "NSFNoteClose");
  });
  std::printf("mail with a %zu MB attachment: peak memory above baseline: import %.1f MB, "
              "delivery copy %.1f MB\n", mb, import_mb, deliver_mb);
  DeleteAll(box);
  DeleteAll(user);
  std::filesystem::remove(message);
}

}  // namespace

int main(int argc, char** argv) {
  size_t size_mb = 10;
  size_t big_mb = 200;
  int runs = 5;
  std::vector<size_t> mail_mb;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mail-mb") == 0) mail_mb.push_back(std::strtoul(argv[i + 1], nullptr, 10));
    if (std::strcmp(argv[i], "--size-mb") == 0) size_mb = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--big-mb") == 0) big_mb = std::strtoul(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  std::string root = (std::filesystem::temp_directory_path() /
                      ("notes_bench_" + std::to_string(::getpid())))
                         .string();
  std::filesystem::create_directories(root + "/domino/data");
  vtplatform::SetSystemRoot(root);
  Check(NotesInitExtended(argc, argv), "NotesInitExtended");
  Check(NSFDbCreate("bench.nsf", DBCLASS_NOTEFILE, TRUE), "NSFDbCreate");
  DBHANDLE db = NULLHANDLE;
  Check(NSFDbOpen("bench.nsf", &db), "NSFDbOpen");

  std::string source = root + "/source.bin";
  std::string target = root + "/target.bin";
  MakeFile(source, size_mb << 20);
  NoteRoundTrip(db, source, target);  // warm the database file and the page cache
  DeleteAll(db);
  double copy = Median(runs, [&] { PlainCopy(source, target); }, [] {});
  double notes = Median(runs, [&] { NoteRoundTrip(db, source, target); }, [&] { DeleteAll(db); });
  std::printf("%zu MB plain file copy:            %8.1f ms\n", size_mb, copy * 1000);
  std::printf("%zu MB note write + read back:     %8.1f ms\n", size_mb, notes * 1000);
  std::printf("ratio note round trip / plain copy: %6.2f\n", notes / copy);

  MakeFile(source, big_mb << 20);
  double peak_mb = PeakAboveBaselineMb([&] {
    NoteRoundTrip(db, source, target);
    DeleteAll(db);
  });
  std::printf("%zu MB attachment: peak memory above baseline %.1f MB\n", big_mb, peak_mb);

  if (mail_mb.empty()) mail_mb = {60, 200};
  Check(NSFDbCreate("mail.box", DBCLASS_NOTEFILE, TRUE), "NSFDbCreate");
  Check(NSFDbCreate("mail/bob.nsf", DBCLASS_NOTEFILE, TRUE), "NSFDbCreate");
  DBHANDLE box = NULLHANDLE;
  DBHANDLE user = NULLHANDLE;
  Check(NSFDbOpen("mail.box", &box), "NSFDbOpen");
  Check(NSFDbOpen("mail/bob.nsf", &user), "NSFDbOpen");
  for (size_t mb : mail_mb) MailMemory(box, user, root, mb);
  Check(NSFDbClose(user), "NSFDbClose");
  Check(NSFDbClose(box), "NSFDbClose");

  Check(NSFDbClose(db), "NSFDbClose");
  NotesTerm();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return 0;
}
