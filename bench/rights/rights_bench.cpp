// NAME
//   rights_bench - time the size check of one mail against a small and a large rules database
//
// SYNOPSIS
//   rights_bench [--small N] [--large N] [--recipients N] [--mails N] [--keep DIR]
//
// DESCRIPTION
//   Makes two machine roots below a temporary directory (or DIR with --keep, where rules
//   databases made by an earlier run with the same sizes are used again), fills the rules
//   database of one with --small (default 100) and of the other with --large (default
//   100000) "NewUser" documents, and in each checks --mails (default 5) mails from one
//   sender to --recipients (default 50) users exactly as the note-update hook does: the size
//   through @DocLength, then the sender's and every recipient's rule, one database open,
//   compile and search per address. No limit is met, so nothing is written. Prints the mean
//   time per mail for each database and their ratio (goal: at most 2). Making 100,000
//   documents takes minutes; keep the directory to measure again.
//
// DIAGNOSTICS
//   Exit status 0 when the checks ran (whatever the ratio), 1 on a failure.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "rights/rights.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Die(const std::string& what, STATUS status) {
  char text[1024] = "";
  OSLoadString(NULLHANDLE, ERR(status), text, sizeof text);
  std::fprintf(stderr, "rights_bench: %s: %s (status %u)\n", what.c_str(), text,
               static_cast<unsigned>(ERR(status)));
  std::exit(1);
}

void Check(STATUS status, const std::string& what) {
  if (status != NOERROR) Die(what, status);
}

void Start(const std::string& root) {
  fs::create_directories(root + "/domino/data");
  std::ofstream(root + "/domino/notes.ini")
      << "[Notes]\nDirectory=" << root << "/domino/data\nServerName=CN=Mail1/O=Acme\n";
  vtplatform::SetSystemRoot(root);
  Check(NotesInitExtended(0, nullptr), "start Notes");
}

// Fills vtsched.nsf with count rules unless a complete one from an earlier run is there.
void FillRules(const std::string& root, int count) {
  const std::string marker = root + "/rules-" + std::to_string(count);
  if (fs::exists(marker)) return;
  Check(VtDbCreateWithInfo(rights::kRulesDatabase, "Rules", "VtSchedule", TRUE), "create rules");
  DBHANDLE db = NULLHANDLE;
  Check(NSFDbOpen(rights::kRulesDatabase, &db), "open rules");
  for (int i = 0; i < count; ++i) {
    NOTEHANDLE note = NULLHANDLE;
    Check(NSFNoteCreate(db, &note), "create rule");
    const std::string email = "user" + std::to_string(i) + "@example.com";
    const NUMBER send = 10000;
    const NUMBER receive = 20000;
    STATUS status = NSFItemSetText(note, "Form", rights::kRuleForm, MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "Email3", email.c_str(), MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "Status", "Enable", MAXWORD);
    if (status == NOERROR) status = NSFItemSetNumber(note, "Max_Send_Size", &send);
    if (status == NOERROR) status = NSFItemSetNumber(note, "Max_Receive_Size", &receive);
    if (status == NOERROR) status = NSFItemSetText(note, "Max_Send_Action", "Delete", MAXWORD);
    if (status == NOERROR) status = NSFItemSetText(note, "Max_Receive_Action", "Forward", MAXWORD);
    if (status == NOERROR) status = NSFNoteUpdate(note, 0);
    (void)NSFNoteClose(note);
    Check(status, "write rule");
  }
  (void)NSFDbClose(db);
  std::ofstream(marker) << count << "\n";
}

// Mean seconds per checked mail.
double TimeMails(int rules, int recipients, int mails) {
  (void)NSFDbCreate("mail.box", DBCLASS_NOTEFILE, FALSE);
  DBHANDLE box = NULLHANDLE;
  Check(NSFDbOpen("mail.box", &box), "open mail.box");
  NOTEHANDLE note = NULLHANDLE;
  Check(NSFNoteCreate(box, &note), "create mail");
  std::string send_to;
  for (int i = 0; i < recipients; ++i) {
    if (!send_to.empty()) send_to += ",";
    const int user = static_cast<int>((static_cast<long long>(i) * 7919) % rules);
    send_to += "User " + std::to_string(user) + " <user" + std::to_string(user) + "@example.com>";
  }
  const std::string body(10 * 1024, 'x');
  Check(NSFItemSetText(note, MAIL_FROM_ITEM, "Sender <user1@example.com>", MAXWORD), "From");
  Check(NSFItemSetText(note, MAIL_SENDTO_ITEM, send_to.c_str(), MAXWORD), "SendTo");
  Check(NSFItemSetText(note, MAIL_SUBJECT_ITEM, "Report", MAXWORD), "Subject");
  Check(NSFItemAppend(note, 0, "Body", 4, TYPE_TEXT, body.data(), static_cast<DWORD>(body.size())),
        "Body");
  const auto start = std::chrono::steady_clock::now();
  for (int m = 0; m < mails; ++m) {
    rights::WarningInfo info;
    std::string size;
    Check(rights::CalculateSize(note, size), "size");
    info.mail_size = rights::SizeTextToKb(size);
    if (rights::CheckUserSizeRestriction(box, info, note)) {
      std::fprintf(stderr, "rights_bench: a limit was met; the rules are not as expected\n");
      std::exit(1);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  (void)NSFNoteClose(note);
  (void)NSFDbClose(box);
  return seconds / mails;
}

int Option(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int small = Option(argc, argv, "--small", 100);
  const int large = Option(argc, argv, "--large", 100000);
  const int recipients = Option(argc, argv, "--recipients", 50);
  const int mails = Option(argc, argv, "--mails", 5);
  std::string directory;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--keep") == 0) directory = argv[i + 1];
  }
  const bool keep = !directory.empty();
  if (!keep) {
    std::string pattern = (fs::temp_directory_path() / "rights-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    directory = pattern;
  }
  double per_mail[2] = {};
  const int sizes[2] = {small, large};
  for (int which = 0; which < 2; ++which) {
    const std::string root = directory + "/rules" + std::to_string(sizes[which]);
    Start(root);
    FillRules(root, sizes[which]);
    (void)TimeMails(sizes[which], recipients, 1);  // warm the caches
    per_mail[which] = TimeMails(sizes[which], recipients, mails);
    NotesTerm();
    std::printf("%7d rules: %.2f ms per mail with %d recipients\n", sizes[which],
                per_mail[which] * 1000, recipients);
  }
  std::printf("ratio large/small: %.2f (goal: at most 2)\n", per_mail[1] / per_mail[0]);
  if (!keep) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
  }
  return 0;
}
