// NAME
//   bench_rule_lookup - time one user's rule lookup in a small and in a large rules database
//
// SYNOPSIS
//   bench_rule_lookup [--large N] [--small N] [--lookups N] [--keep DIR]
//
// DESCRIPTION
//   Makes a machine root in a temporary directory (or DIR with --keep, where a database made
//   by an earlier run with the same size is used again), fills one rules database with
//   --small (default 100) and one with --large (default 100000) rule documents (Form
//   "NewUser", Email3 "userN@example.com", Status "Enable", limits), then looks users up
//   the way the size-restriction extension does: open the database, compile
//   SELECT form = "NewUser" & Email3 = "USERN@EXAMPLE.COM", search with a routine that opens
//   every match and reads its items, close. Prints the mean time per lookup for each
//   database and their ratio, which should stay at or below 2: the search narrows through
//   the index of the tested items instead of reading every document. A last line times the
//   Email3 test alone in the large database, to tell the cost of the Form term apart.
//
// DIAGNOSTICS
//   Exit status 0 when the lookups ran (whatever the ratio), 1 on a failure.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "platform/notes/notes.h"

namespace {

namespace fs = std::filesystem;

std::string StatusText(STATUS status) {
  char text[1024] = "";
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof text);
  return text;
}

[[noreturn]] void Die(const std::string& what, STATUS status) {
  std::fprintf(stderr, "bench_rule_lookup: %s: %s (status %u)\n", what.c_str(), StatusText(status).c_str(),
               static_cast<unsigned>(ERR(status)));
  std::exit(1);
}

void FillRules(const std::string& path, int count) {
  STATUS status = VtDbCreateWithInfo(path.c_str(), "Rules", "VtSchedule", TRUE);
  if (status != NOERROR) Die("create " + path, status);
  DBHANDLE db = NULLHANDLE;
  if ((status = NSFDbOpen(path.c_str(), &db)) != NOERROR) Die("open " + path, status);
  for (int i = 0; i < count; ++i) {
    NOTEHANDLE note = NULLHANDLE;
    if ((status = NSFNoteCreate(db, &note)) != NOERROR) Die("create note", status);
    std::string email = "user" + std::to_string(i) + "@example.com";
    NUMBER send = 100 + i % 50;
    NUMBER receive = 200;
    status = NSFItemSetText(note, "Form", "NewUser", MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "Email3", email.c_str(), MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "FirstName", ("User" + std::to_string(i)).c_str(), MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "Status", "Enable", MAXWORD);
    if (status == NOERROR) status = NSFItemSetNumber(note, "Max_Send_Size", &send);
    if (status == NOERROR) status = NSFItemSetNumber(note, "Max_Receive_Size", &receive);
    if (status == NOERROR) status = NSFItemSetText(note, "Max_Send_Action", "Delete", MAXWORD);
    if (status == NOERROR) status = NSFNoteUpdate(note, 0);
    (void)NSFNoteClose(note);
    if (status != NOERROR) Die("write rule " + std::to_string(i), status);
  }
  (void)NSFDbClose(db);
}

struct LookupContext {
  DBHANDLE db = NULLHANDLE;
  int found = 0;
  NUMBER send_limit = 0;
};

STATUS ReadRule(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto* lookup = static_cast<LookupContext*>(context);
  if (!(match->SERetFlags & SE_FMATCH)) return NOERROR;
  NOTEHANDLE note = NULLHANDLE;
  if (STATUS status = NSFNoteOpen(lookup->db, match->ID.NoteID, 0, &note)) return status;
  char text[256];
  NSFItemGetText(note, "FirstName", text, sizeof text);
  NSFItemGetText(note, "Status", text, sizeof text);
  NSFItemGetNumber(note, "Max_Send_Size", &lookup->send_limit);
  ++lookup->found;
  return NSFNoteClose(note);
}

// One lookup as the size-restriction extension makes it; returns the matches found. With
// email_only the formula tests Email3 alone (a diagnostic: what the index gives when it is
// narrowed by the rarer term only).
int LookUp(const std::string& path, int user, bool email_only = false) {
  LookupContext lookup;
  STATUS status = NSFDbOpen(path.c_str(), &lookup.db);
  if (status != NOERROR) Die("open " + path, status);
  std::string formula = std::string(email_only ? "SELECT " : "SELECT form = \"NewUser\" & ") + "Email3 = \"USER" +
                        std::to_string(user) + "@EXAMPLE.COM\"";
  FORMULAHANDLE compiled = NULLHANDLE;
  WORD compiled_len = 0;
  STATUS compile_error = NOERROR;
  status = NSFFormulaCompile(nullptr, 0, formula.c_str(), static_cast<WORD>(formula.size()), &compiled,
                             &compiled_len, &compile_error, nullptr, nullptr, nullptr, nullptr);
  if (status != NOERROR) Die("compile", status);
  status = NSFSearch(lookup.db, compiled, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr, ReadRule, &lookup, nullptr);
  if (status != NOERROR) Die("search", status);
  (void)OSMemFree(compiled);
  (void)NSFDbClose(lookup.db);
  return lookup.found;
}

double MeanLookupMicros(const std::string& path, int documents, int lookups, bool email_only = false) {
  std::mt19937 random(7);
  // One untimed lookup first, so both databases start with their files opened once.
  (void)LookUp(path, 0);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < lookups; ++i) {
    int user = static_cast<int>(random() % static_cast<unsigned>(documents));
    if (LookUp(path, user, email_only) != 1) {
      std::fprintf(stderr, "bench_rule_lookup: user%d not found exactly once in %s\n", user, path.c_str());
      std::exit(1);
    }
  }
  std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
  return elapsed.count() / lookups;
}

}  // namespace

int main(int argc, char** argv) {
  int large = 100000;
  int small = 100;
  int lookups = 300;
  std::string keep;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--large") large = std::atoi(argv[i + 1]);
    else if (option == "--small") small = std::atoi(argv[i + 1]);
    else if (option == "--lookups") lookups = std::atoi(argv[i + 1]);
    else if (option == "--keep") keep = argv[i + 1];
  }
  if (large < 1 || small < 1 || lookups < 1) {
    std::fprintf(stderr, "usage: bench_rule_lookup [--large N] [--small N] [--lookups N] [--keep DIR]\n");
    return 1;
  }
  std::string root = keep;
  if (root.empty()) {
    char pattern[] = "/tmp/vt-rule-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    root = pattern;
  }
  fs::create_directories(fs::path(root) / "domino" / "data");
  setenv("VT_SYSROOT", root.c_str(), 1);
  if (STATUS status = NotesInitExtended(argc, argv)) Die("Unable to Initialize Notes!", status);

  const std::string small_db = "rules" + std::to_string(small) + ".nsf";
  const std::string large_db = "rules" + std::to_string(large) + ".nsf";
  for (const auto& [path, count] : {std::pair{small_db, small}, std::pair{large_db, large}}) {
    if (!keep.empty() && fs::exists(fs::path(root) / "domino" / "data" / path)) continue;
    auto start = std::chrono::steady_clock::now();
    FillRules(path, count);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("filled %s with %d rules in %.1f s\n", path.c_str(), count, took.count());
  }
  double small_us = MeanLookupMicros(small_db, small, lookups);
  double large_us = MeanLookupMicros(large_db, large, lookups);
  std::printf("rule lookup, %d documents: %.1f us\n", small, small_us);
  std::printf("rule lookup, %d documents: %.1f us\n", large, large_us);
  std::printf("ratio large/small: %.2f (goal at most 2)\n", large_us / small_us);
  double email_only_us = MeanLookupMicros(large_db, large, lookups, true);
  std::printf("diagnostic: SELECT Email3 = ... alone, %d documents: %.1f us\n", large, email_only_us);
  NotesTerm();
  if (keep.empty()) fs::remove_all(root);
  return 0;
}
