// write_contention_bench - small writes to one database from several threads at once.
//
// NAME
//   write_contention_bench - notes written per second when writers share a database
// SYNOPSIS
//   write_contention_bench [--threads N] [--notes N] [--rounds N]
// DESCRIPTION
//   Makes a fresh machine root in the temporary directory and one database, then lets
//   --threads threads (default 4, each with its own database handle, as the router's
//   delivery threads have) write and delete --notes small notes each (default 500), the
//   way a mail box is filled by the SMTP task and emptied by the router. Prints, per round
//   and as the median of --rounds rounds (default 5), the notes per second, and the same
//   with one thread doing all the work, so that the cost of waiting for each other's write
//   locks shows as a ratio.
// DIAGNOSTICS
//   Exits 1 with a line on stderr when a Notes call fails.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"

namespace {

void Check(STATUS status, const char* what) {
  if (status == NOERROR) return;
  char text[256];
  OSLoadString(NULLHANDLE, status, text, sizeof text);
  std::fprintf(stderr, "write_contention_bench: %s: %s (%u)\n", what, text, status);
  std::exit(1);
}

// One writer: creates a note with a few text items, then deletes it again.
void Writer(int notes) {
  Check(NotesInitThread(), "NotesInitThread");
  DBHANDLE db = NULLHANDLE;
  Check(NSFDbOpen("contention.nsf", &db), "NSFDbOpen");
  const std::string body(300, 'x');
  for (int i = 0; i < notes; ++i) {
    NOTEHANDLE note = NULLHANDLE;
    Check(NSFNoteCreate(db, &note), "NSFNoteCreate");
    Check(NSFItemSetText(note, "Subject", "a small mail", MAXWORD), "NSFItemSetText");
    Check(NSFItemSetText(note, "Body", body.c_str(), MAXWORD), "NSFItemSetText");
    Check(NSFNoteUpdate(note, 0), "NSFNoteUpdate");
    NOTEID id = 0;
    NSFNoteGetInfo(note, _NOTE_ID, &id);
    Check(NSFNoteClose(note), "NSFNoteClose");
    Check(NSFNoteDelete(db, id, UPDATE_FORCE), "NSFNoteDelete");
  }
  Check(NSFDbClose(db), "NSFDbClose");
  NotesTermThread();
}

double NotesPerSecond(int threads, int notes_each) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i) workers.emplace_back(Writer, notes_each);
  for (std::thread& worker : workers) worker.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return threads * notes_each / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  int threads = 4;
  int notes = 500;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: write_contention_bench [--threads N] [--notes N] [--rounds N]\n");
      return 0;
    }
    if (i + 1 >= argc) break;
    if (std::strcmp(argv[i], "--threads") == 0) threads = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--notes") == 0) notes = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[++i]));
  }
  const std::string root = (std::filesystem::temp_directory_path() /
                            ("write_contention_bench_" + std::to_string(::getpid())))
                               .string();
  std::filesystem::create_directories(root + "/domino/data");
  vtplatform::SetSystemRoot(root);
  Check(NotesInitExtended(argc, argv), "NotesInitExtended");
  Check(NSFDbCreate("contention.nsf", DBCLASS_NOTEFILE, TRUE), "NSFDbCreate");
  std::vector<double> shared;
  std::vector<double> alone;
  for (int round = 0; round < rounds; ++round) {
    shared.push_back(NotesPerSecond(threads, notes));
    alone.push_back(NotesPerSecond(1, notes * threads));
    std::printf("round %d: %d threads %8.0f notes/s, 1 thread %8.0f notes/s\n", round + 1,
                threads, shared.back(), alone.back());
  }
  std::sort(shared.begin(), shared.end());
  std::sort(alone.begin(), alone.end());
  const double a = shared[shared.size() / 2];
  const double b = alone[alone.size() / 2];
  std::printf("medians: %d threads %.0f notes/s, 1 thread %.0f notes/s; ratio %.2f\n", threads,
              a, b, a / b);
  NotesTerm();
  std::filesystem::remove_all(root);
  return 0;
}
