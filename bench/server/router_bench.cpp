// router_bench.cpp - router throughput: a mail box of small mails routed into four users'
// mail databases by 1 and by 4 router threads, without any hook library.
//
// Usage: router_bench [MAILS]   (default 2000)
// Each run gets a fresh root in the temporary directory; filling the box is not timed. The
// time runs from the router's start until the last mail has been delivered and removed
// from the box, so it includes the scans of the box.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/notes/notes.h"
#include "platform/server/mail_store.h"
#include "platform/server/router.h"

namespace {

constexpr const char* kUsers[] = {"alice", "bob", "carol", "dave"};

bool Check(STATUS status, const char* what) {
  if (status == NOERROR) return true;
  std::fprintf(stderr, "router_bench: %s failed with status %u\n", what,
               static_cast<unsigned>(ERR(status)));
  return false;
}

bool MakeRoot(const std::string& root) {
  std::filesystem::create_directories(root + "/domino/data/mail");
  std::ofstream(root + "/domino/notes.ini") << "[Notes]\nServerName=CN=Bench/O=Example\n";
  setenv("VT_SYSROOT", root.c_str(), 1);
  if (!Check(NotesInitExtended(0, nullptr), "NotesInitExtended")) return false;
  if (!Check(VtDbCreateWithInfo("names.nsf", "Directory", "", FALSE), "names.nsf")) return false;
  if (!Check(VtDbCreateWithInfo("mail.box", "Mail Router Mailbox", "", FALSE), "mail.box"))
    return false;
  DBHANDLE names = NULLHANDLE;
  if (!Check(NSFDbOpen("names.nsf", &names), "open names.nsf")) return false;
  for (const char* user : kUsers) {
    std::string file = std::string("mail/") + user + ".nsf";
    std::string address = std::string(user) + "@example.com";
    if (!Check(VtDbCreateWithInfo(file.c_str(), user, "StdR85Mail", FALSE), "mail file"))
      return false;
    NOTEHANDLE person = NULLHANDLE;
    if (!Check(NSFNoteCreate(names, &person), "person")) return false;
    (void)NSFItemSetText(person, "Form", "Person", MAXWORD);
    (void)NSFItemCreateTextList(person, "FullName", user, MAXWORD);
    (void)NSFItemCreateTextList(person, "ShortName", user, MAXWORD);
    (void)NSFItemSetText(person, "InternetAddress", address.c_str(), MAXWORD);
    (void)NSFItemSetText(person, "MailFile", file.c_str(), MAXWORD);
    bool stored = Check(NSFNoteUpdate(person, 0), "person update");
    (void)NSFNoteClose(person);
    if (!stored) return false;
  }
  (void)NSFDbClose(names);
  return true;
}

bool FillBox(int mails) {
  const std::string sender = "alice@example.com";
  for (int i = 0; i < mails; ++i) {
    std::string to = std::string(kUsers[i % 4]) + "@example.com";
    std::string text = "From: " + sender + "\r\nTo: " + to + "\r\nSubject: mail " +
                       std::to_string(i) + "\r\n\r\nA small mail of a few lines.\r\n"
                       "Nothing to see here.\r\n";
    NOTEID id = 0;
    if (!Check(vtserver::StoreInboundMail("mail.box", text, {to}, &sender, &id), "store"))
      return false;
  }
  return true;
}

// Mails per second of one run, or a negative number on failure.
double Run(int threads, int mails) {
  char pattern[] = "/tmp/vt_router_bench_XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return -1;
  std::string root = pattern;
  double rate = -1;
  if (MakeRoot(root) && FillBox(mails)) {
    vtserver::RouterSettings settings;
    settings.threads = threads;
    settings.poll_ms = 10;
    vtserver::Router router(settings, [](const std::string& line) {
      std::fprintf(stderr, "router: %s\n", line.c_str());
    });
    std::atomic<bool> stop{false};
    auto start = std::chrono::steady_clock::now();
    std::thread watcher([&] {
      while (router.Counts().delivered < mails) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      stop = true;
    });
    router.Run([&] { return stop.load(); });
    auto seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    watcher.join();
    rate = mails / seconds;
    std::printf("router: %d mails, %d thread%s: %.2f s, %.0f mails/s\n", mails, threads,
                threads == 1 ? "" : "s", seconds, rate);
    std::fflush(stdout);
  }
  NotesTerm();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  int mails = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (mails <= 0) {
    std::fprintf(stderr, "usage: router_bench [MAILS]\n");
    return 2;
  }
  for (int threads : {1, 4}) {
    if (Run(threads, mails) < 0) return 1;
  }
  return 0;
}
