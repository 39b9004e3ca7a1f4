// vtnotes_bench - what the real-time extension costs the router.
//
// Run: build/bench/vtnotes_bench [SMALL_MAILS] [LARGE_MAILS]
//
// Prints, on a fresh machine root in a temporary directory:
//   - the capture of a mail with a 10 MB attachment (attachments, body, job header), of a
//     Notes mail and of an internet mail (the attachment base64 in its MIME text, stored by
//     import as the server stores it), each next to a plain copy of the same 10 MB, and
//     their ratios;
//   - mails per second opened by 4 router threads without the extension and with it (an
//     engine thread answering every job as clean at once), for small mails and for mails
//     with a 1 MB attachment, with the share of capture, wait and apply in the time of a
//     mail.
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/notes/mail_import.h"
#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"
#include "vtnotes/capture.h"
#include "vtnotes/extension_state.h"
#include "vtnotes/hooks.h"
#include "vtnotes/settings_store.h"
#include "vtnotes/spool.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string g_root;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void MakeRoot() {
  std::string pattern = (fs::temp_directory_path() / "vt-vtnotes-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::exit(1);
  g_root = pattern;
  vtplatform::SetSystemRoot(g_root);
  ::setenv("VT_SYSROOT", g_root.c_str(), 1);
  for (const char* dir : {"vantrel/In", "vantrel/Out", "vantrel/logs", "domino/data", "windows", "tmp"})
    fs::create_directories(g_root + "/" + dir);
  WriteFile(g_root + "/windows/win.ini", "[Vantrel]\r\nInstallDirectory=" + g_root + "/vantrel\r\n");
  WriteFile(g_root + "/vantrel/vantrel.ini",
            "[General]\r\nScanDir=In\r\nReportDirectory=" + g_root + "/vantrel/logs\r\n");
  WriteFile(g_root + "/domino/notes.ini", "[Notes]\nDirectory=" + g_root + "/domino/data\n");
  vtplatform::MachineIdentity identity;
  identity.module_path = g_root + "/domino/nRouter";
  vtplatform::SetMachineIdentity(identity);
}

NOTEID PutMail(const char* box, const std::string& attachment_path) {
  DBHANDLE db = NULLHANDLE;
  (void)NSFDbOpen(box, &db);
  NOTEHANDLE note = NULLHANDLE;
  (void)NSFNoteCreate(db, &note);
  (void)NSFItemSetText(note, "Form", "Memo", MAXWORD);
  (void)NSFItemSetText(note, "From", "ann@example.com", MAXWORD);
  (void)NSFItemSetText(note, "Subject", "benchmark", MAXWORD);
  (void)NSFItemCreateTextList(note, "Recipients", "bob@example.com", MAXWORD);
  std::string mime = "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: benchmark\r\n"
                     "MIME-Version: 1.0\r\nContent-Type: text/plain\r\n\r\n" +
                     std::string(40, 'x') + "\r\nA short mail.\r\n";
  (void)VtNoteSetMimeBody(note, "Body", mime.c_str(), static_cast<DWORD>(mime.size()));
  if (!attachment_path.empty())
    (void)NSFNoteAttachFile(note, "$FILE", 5, attachment_path.c_str(), "data.bin", COMPRESS_NONE);
  (void)NSFNoteUpdate(note, 0);
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  (void)NSFNoteClose(note);
  (void)NSFDbClose(db);
  return id;
}

// An internet mail as the SMTP task stores it: its text, and `attachment` as a base64 part.
NOTEID PutMimeMail(const char* box, const std::string& attachment) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string message =
      "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: benchmark\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "--b\r\nContent-Type: text/plain\r\n\r\nA short mail.\r\n"
      "--b\r\nContent-Type: application/octet-stream\r\n"
      "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\n";
  for (std::size_t i = 0; i < attachment.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(attachment[i]) << 16;
    if (i + 1 < attachment.size()) group |= static_cast<unsigned char>(attachment[i + 1]) << 8;
    if (i + 2 < attachment.size()) group |= static_cast<unsigned char>(attachment[i + 2]);
    message += kAlphabet[(group >> 18) & 63];
    message += kAlphabet[(group >> 12) & 63];
    message += i + 1 < attachment.size() ? kAlphabet[(group >> 6) & 63] : '=';
    message += i + 2 < attachment.size() ? kAlphabet[group & 63] : '=';
    if ((i / 3 + 1) % 19 == 0) message += "\r\n";
  }
  message += "\r\n--b--\r\n";
  const std::string path = g_root + "/mime.eml";
  WriteFile(path, message);
  DBHANDLE db = NULLHANDLE;
  (void)NSFDbOpen(box, &db);
  NOTEHANDLE note = NULLHANDLE;
  (void)NSFNoteCreate(db, &note);
  std::string reason;
  if (mail_import::ImportMailFile(note, path.c_str(), mail_import::ImportOptions{}, &reason) != NOERROR)
    std::fprintf(stderr, "vtnotes_bench: import failed: %s\n", reason.c_str());
  (void)NSFNoteUpdate(note, 0);
  NOTEID id = 0;
  NSFNoteGetInfo(note, _NOTE_ID, &id);
  (void)NSFNoteClose(note);
  (void)NSFDbClose(db);
  fs::remove(path);
  return id;
}

// Median of five runs of a step, in seconds.
template <typename Step>
double Median(Step step) {
  std::vector<double> runs;
  for (int i = 0; i < 5; ++i) runs.push_back(step());
  std::sort(runs.begin(), runs.end());
  return runs[2];
}

// Capture alone (attachments, body, job header) of one mail, median of five, in seconds.
double CaptureSeconds(NOTEID id) {
  DBHANDLE db = NULLHANDLE;
  (void)NSFDbOpen("mail.box", &db);
  double seconds = Median([&] {
    const std::string job = g_root + "/vantrel/In/capture";
    fs::remove_all(job);
    fs::create_directories(job);
    NOTEHANDLE note = NULLHANDLE;
    (void)NSFNoteOpen(db, id, OPEN_DEFAULT, &note);
    auto start = Clock::now();
    std::unique_ptr<vtnotes::MailInfo> info;
    (void)vtnotes::ExtractAttachment(note, job, "capture", info);
    (void)vtnotes::FetchBody(note, *info, job, "capture");
    std::uint64_t size = 0;
    (void)vtnotes::CreateHeaderFile(*info, job, g_root + "/vantrel/Out/capture", "capture", &size);
    double elapsed = Seconds(start);
    (void)NSFNoteClose(note);
    return elapsed;
  });
  (void)NSFDbClose(db);
  fs::remove_all(g_root + "/vantrel/In/capture");
  return seconds;
}

void CaptureAgainstCopy() {
  std::printf("capture of a small mail: %.2f ms; of a mail with a 1 MB attachment: %.2f ms\n",
              CaptureSeconds(PutMail("mail.box", "")) * 1000,
              [] {
                WriteFile(g_root + "/mb.bin", std::string(1024 * 1024, 'm'));
                return CaptureSeconds(PutMail("mail.box", g_root + "/mb.bin")) * 1000;
              }());
  const std::string big = g_root + "/big.bin";
  std::string bytes(10 * 1024 * 1024, 'v');
  for (std::size_t i = 0; i < bytes.size(); i += 4099) bytes[i] = static_cast<char>(i >> 3);
  WriteFile(big, bytes);
  const double notes_mail = CaptureSeconds(PutMail("mail.box", big));
  const double mime_mail = CaptureSeconds(PutMimeMail("mail.box", bytes));
  double copy = Median([&] {
    const std::string target = g_root + "/copy.bin";
    fs::remove(target);
    auto start = Clock::now();
    CopyFile(big.c_str(), target.c_str(), FALSE);
    return Seconds(start);
  });
  std::printf("capture of a mail with a 10 MB attachment: %.1f ms; copy of 10 MB: %.1f ms; "
              "ratio %.2f\n",
              notes_mail * 1000, copy * 1000, notes_mail / copy);
  std::printf("capture of an internet (MIME) mail with a 10 MB attachment: %.1f ms; "
              "copy of 10 MB: %.1f ms; ratio %.2f\n",
              mime_mail * 1000, copy * 1000, mime_mail / copy);
}

// Answers every published job as clean at once, as the engine with --no-scan does.
class AnsweringEngine {
 public:
  AnsweringEngine() {
    lock_ = CreateFile((g_root + "/vantrel/maildisp.lck").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                       nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    thread_ = std::thread([this] {
      const std::string in = g_root + "/vantrel/In";
      while (!stop_) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(in, error)) {
          const std::string header = entry.path().string() + "/0.hdr";
          if (!fs::exists(header, error)) continue;
          const std::string job = entry.path().filename().string();
          WriteFile(g_root + "/vantrel/Out/" + job + "/0.hd0", "Body: " + job + "\\0.bdy\r\n");
          fs::remove(header, error);
          HANDLE event = OpenEvent(EVENT_MODIFY_STATE, FALSE, (job + "x").c_str());
          if (event) {
            SetEvent(event);
            CloseHandle(event);
          }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  ~AnsweringEngine() {
    stop_ = true;
    thread_.join();
    CloseHandle(lock_);
  }

 private:
  HANDLE lock_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Opens every mail twice (as the router does) from 4 threads and deletes it; mails/second.
double RouteAll(const std::vector<NOTEID>& ids) {
  std::atomic<std::size_t> next{0};
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      (void)NotesInitThread();
      DBHANDLE db = NULLHANDLE;
      (void)NSFDbOpen("mail.box", &db);
      for (std::size_t i = next++; i < ids.size(); i = next++) {
        for (int pass = 0; pass < 2; ++pass) {
          NOTEHANDLE note = NULLHANDLE;
          if (NSFNoteOpen(db, ids[i], OPEN_DEFAULT, &note) == NOERROR) (void)NSFNoteClose(note);
        }
        (void)NSFNoteDelete(db, ids[i], UPDATE_FORCE);
      }
      (void)NSFDbClose(db);
      NotesTermThread();
    });
  }
  for (auto& thread : threads) thread.join();
  return static_cast<double>(ids.size()) / Seconds(start);
}

void Throughput(const char* label, int mails, const std::string& attachment) {
  if (mails <= 0) return;  // asked for none: nothing to compare
  std::vector<NOTEID> plain;
  for (int i = 0; i < mails; ++i) plain.push_back(PutMail("mail.box", attachment));
  double without = RouteAll(plain);

  std::vector<NOTEID> scanned;
  for (int i = 0; i < mails; ++i) scanned.push_back(PutMail("mail.box", attachment));
  double with = 0;
  {
    AnsweringEngine engine;
    DBHOOKVEC* vector = VtInstallHookEntry(vtnotes::EntryPoint);
    with = RouteAll(scanned);
    vtnotes::Term(vector);
    VtRemoveHooks();
  }
  std::printf("%s, 4 threads: %.0f mails/s without the extension, %.0f with it; ratio %.2f\n",
              label, without, with, with / without);
}

}  // namespace

int main(int argc, char** argv) {
  const int small_mails = argc > 1 ? std::atoi(argv[1]) : 400;
  const int large_mails = argc > 2 ? std::atoi(argv[2]) : 40;
  MakeRoot();
  // The captures timed below run without the extension's start-up, which would point its
  // log at the report directory; their lines go to the working directory, here the root.
  fs::current_path(g_root);
  if (NotesInitExtended(0, nullptr) != NOERROR) return 1;
  (void)NSFDbCreate("mail.box", DBCLASS_NOTEFILE, FALSE);
  vtnotes::WriteProductValue("TimeOut", "60");
  vtnotes::WriteProductValue("VTDEBUG", "0");
  CaptureAgainstCopy();
  Throughput("small mails", small_mails, "");
  const std::string one_mb = g_root + "/one.bin";
  WriteFile(one_mb, std::string(1024 * 1024, 'm'));
  Throughput("mails with a 1 MB attachment", large_mails, one_mb);
  NotesTerm();
  fs::remove_all(g_root);
  return 0;
}
