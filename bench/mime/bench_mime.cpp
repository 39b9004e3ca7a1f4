// NAME
//   bench_mime - speed and memory of the MIME subsystem against reference tools
//
// SYNOPSIS
//   bench_mime [all | big | corpus | uudecode | memory] [-r RUNS]
//
// DESCRIPTION
//   Generates its inputs in a fresh temporary directory (removed at the end) and measures,
//   side by side in one run, the best of RUNS (default 3) timings of:
//
//   Each figure is the best of the runs; the ratio is taken on processor time (user and
//   system, uudecode's included), because the machine these runs share is busy.
//
//   big       one 50 MB message (a short text part and a large base64 attachment): our
//             parser and text writer against GMime parsing it and decoding the same text
//             part to a file;
//   corpus    2000 small multipart messages, the same work on each;
//   uudecode  a 50 MB uuencoded file: the uuencode step against sharutils' uudecode;
//   memory    the peak resident memory of a fresh process parsing and writing the text
//             of a 200 MB message, above that process's baseline (goal: under 16 MB).
//
//   Each comparison ends with a line "RATIO <name>=<ours divided by theirs>"; the memory
//   measurement with "PEAK_MB_ABOVE_BASELINE=<megabytes>".
//
// DIAGNOSTICS
//   Exit status 0, or 1 when an input cannot be made or a tool fails.
#include <fcntl.h>
#include <gmime/gmime.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "foundation/uuencode.h"
#include "mime/body_struct.h"
#include "mime/text_extract.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

int g_runs = 3;

// Wall-clock and processor time of one piece of work; the processor time counts this
// process and the children it waited for, user and system time together.
struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
};

double CpuSeconds() {
  struct rusage self;
  struct rusage children;
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
         seconds(children.ru_stime);
}

// The best of g_runs runs, wall and processor time each.
Timing Best(const std::function<void()>& prepare, const std::function<void()>& work) {
  Timing best;
  for (int i = 0; i < g_runs; ++i) {
    prepare();
    double cpu_start = CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    work();
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = CpuSeconds() - cpu_start;
    if (wall < best.wall) best.wall = wall;
    if (cpu < best.cpu) best.cpu = cpu;
  }
  return best;
}

// The machine is shared, so the ratio is taken on processor time, which other processes
// do not inflate; the wall-clock figures are printed beside it.
void PrintRatio(const char* name, const Timing& ours, const Timing& theirs) {
  std::printf("%s: wall ours %.3f s theirs %.3f s (%.3f); cpu ours %.3f s theirs %.3f s\n", name,
              ours.wall, theirs.wall, ours.wall / theirs.wall, ours.cpu, theirs.cpu);
  std::printf("RATIO %s=%.3f\n", name, ours.cpu / theirs.cpu);
  std::fflush(stdout);
}

void Base64Lines(std::mt19937_64& random, std::size_t bytes, std::string& out) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  // Random bytes encode to random alphabet characters: 76 per line.
  std::size_t characters = (bytes + 2) / 3 * 4;
  std::string line(78, '\n');
  line[76] = '\r';
  while (characters > 0) {
    std::size_t n = characters < 76 ? characters : 76;
    for (std::size_t i = 0; i < n; ++i) line[i] = kAlphabet[random() & 63];
    out.append(line.data(), n);
    out.append("\r\n");
    characters -= n;
  }
}

std::string TextLines(std::mt19937_64& random, std::size_t bytes) {
  static const char* kWords[] = {"virus", "scan", "mail", "server", "the", "of", "report",
                                 "caf=C3=A9", "attachment", "quarterly", "numbers", "and"};
  std::string text;
  std::size_t line = 0;
  while (text.size() < bytes) {
    const char* word = kWords[random() % 12];
    text += word;
    line += std::strlen(word) + 1;
    if (line > 60) {
      text += "\r\n";
      line = 0;
    } else {
      text += ' ';
    }
  }
  return text + "\r\n";
}

// A multipart message: a quoted-printable text part, an HTML alternative and a base64
// attachment of attachment_bytes.
std::string Message(std::mt19937_64& random, std::size_t text_bytes, std::size_t html_bytes,
                    std::size_t attachment_bytes) {
  std::string m =
      "From: sender@example.org\r\nTo: user@example.org\r\nSubject: benchmark\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"outer-b\"\r\n\r\n"
      "This is a multi-part message in MIME format.\r\n"
      "--outer-b\r\nContent-Type: multipart/alternative; boundary=\"inner-b\"\r\n\r\n"
      "--inner-b\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
  m += TextLines(random, text_bytes);
  m += "--inner-b\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body>\r\n";
  m += TextLines(random, html_bytes);
  m += "</body></html>\r\n--inner-b--\r\n\r\n";
  m += "--outer-b\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
       "Content-Transfer-Encoding: base64\r\n"
       "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n";
  Base64Lines(random, attachment_bytes, m);
  m += "--outer-b--\r\n";
  return m;
}

void Spill(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void OursOne(const std::string& raw, const std::string& body) {
  std::unique_ptr<mime::MimeBody> root = mime::IMAPBODY_openfile(raw);
  if (!root) std::abort();
  int first = 1;
  int done = 0;
  if (mime::showBody(body, raw, root.get(), first, done) != 0) std::abort();
}

void GmimeForeach(GMimeObject*, GMimeObject* part, gpointer data) {
  if (!GMIME_IS_PART(part)) return;
  GMimeContentType* type = g_mime_object_get_content_type(part);
  if (!g_mime_content_type_is_type(type, "text", "plain")) return;
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (content == nullptr) return;
  GMimeStream* out = g_mime_stream_fs_open(static_cast<const char*>(data),
                                           O_WRONLY | O_CREAT | O_APPEND, 0644, nullptr);
  if (out == nullptr) std::abort();
  // No flush: a file stream's flush syncs to disk, which our side does not do either.
  g_mime_data_wrapper_write_to_stream(content, out);
  g_object_unref(out);
}

void GmimeOne(const std::string& raw, const std::string& body) {
  GMimeStream* stream = g_mime_stream_fs_open(raw.c_str(), O_RDONLY, 0, nullptr);
  if (stream == nullptr) std::abort();
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
  if (message == nullptr) std::abort();
  g_mime_message_foreach(message, GmimeForeach, const_cast<char*>(body.c_str()));
  g_object_unref(message);
  g_object_unref(parser);
  g_object_unref(stream);
}

void ResetJob(const fs::path& job) {
  fs::remove_all(job);
  fs::create_directories(job);
}

void Compare(const char* name, const fs::path& dir, const std::vector<std::string>& inputs) {
  fs::path ours_job = dir / "ours";
  fs::path their_job = dir / "theirs";
  std::string ours_body = (ours_job / "0.bdy").string();
  std::string their_body = (their_job / "0.bdy").string();
  Timing ours = Best([&] { ResetJob(ours_job); },
                     [&] {
                       for (const std::string& raw : inputs) OursOne(raw, ours_body);
                     });
  Timing theirs = Best([&] { ResetJob(their_job); },
                       [&] {
                         for (const std::string& raw : inputs) GmimeOne(raw, their_body);
                       });
  std::printf("%s: %zu message(s), body ours %lld bytes, GMime %lld bytes\n", name, inputs.size(),
              static_cast<long long>(fs::file_size(ours_body)),
              static_cast<long long>(fs::file_size(their_body)));
  PrintRatio(name, ours, theirs);
}

int Big(const fs::path& dir) {
  std::mt19937_64 random(1);
  fs::path raw = dir / "big.eml";
  Spill(raw, Message(random, 64 * 1024, 16 * 1024, 37 * 1024 * 1024));
  std::printf("big: %.1f MB message\n", static_cast<double>(fs::file_size(raw)) / 1e6);
  Compare("mime_big_message", dir, {raw.string()});
  return 0;
}

int Corpus(const fs::path& dir) {
  std::mt19937_64 random(2);
  fs::path corpus = dir / "corpus";
  fs::create_directories(corpus);
  std::vector<std::string> inputs;
  for (int i = 0; i < 2000; ++i) {
    fs::path raw = corpus / (std::to_string(i) + ".eml");
    Spill(raw, Message(random, 500 + random() % 4000, 500 + random() % 3000, random() % 12000));
    inputs.push_back(raw.string());
  }
  Compare("mime_small_corpus", dir, inputs);
  return 0;
}

int RunProgram(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Uudecode(const fs::path& dir) {
  std::mt19937_64 random(3);
  // 36.3 MB of data make a 50 MB uuencoded file.
  std::string data(36300 * 1000, '\0');
  for (std::size_t i = 0; i + 8 <= data.size(); i += 8) {
    std::uint64_t value = random();
    std::memcpy(&data[i], &value, 8);
  }
  fs::path bin = dir / "data.bin";
  fs::path encoded = dir / "data.uu";
  Spill(bin, data);
  std::string command = "uuencode '" + bin.string() + "' data.bin > '" + encoded.string() + "'";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "bench_mime: uuencode (sharutils) failed\n");
    return 1;
  }
  fs::path job = dir / "uujob";
  fs::path out = dir / "uudecoded.bin";
  Timing ours = Best([&] { ResetJob(job); },
                     [&] {
                       bool found = false;
                       if (foundation::ConvertUuncodeAttachment(job.string(), encoded.string(),
                                                                &found, true) != 0 ||
                           !found) {
                         std::abort();
                       }
                     });
  Timing theirs = Best([&] { fs::remove(out); },
                       [&] {
                         if (RunProgram({"uudecode", "-o", out.string(), encoded.string()}) != 0) {
                           std::abort();
                         }
                       });
  std::printf("uudecode: %.1f MB encoded\n", static_cast<double>(fs::file_size(encoded)) / 1e6);
  PrintRatio("uudecode_50mb", ours, theirs);
  return 0;
}

long HighWaterKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Runs in a fresh process: the baseline is this process before it reads the message.
int MemoryChild(const std::string& raw, const std::string& job) {
  long before = HighWaterKb();
  OursOne(raw, job + "/0.bdy");
  long after = HighWaterKb();
  std::printf("%ld\n", after - before);
  return 0;
}

int Memory(const fs::path& dir, const char* self) {
  std::mt19937_64 random(4);
  fs::path raw = dir / "huge.eml";
  {
    // Written in pieces so that the generator itself stays small.
    std::ofstream out(raw, std::ios::binary | std::ios::trunc);
    std::string head = Message(random, 24 * 1024 * 1024, 1024, 0);
    head.resize(head.size() - std::strlen("--outer-b--\r\n"));
    out << head;
    for (int i = 0; i < 32; ++i) {
      std::string chunk;
      Base64Lines(random, 4500 * 1024, chunk);
      out << chunk;
    }
    out << "--outer-b--\r\n";
  }
  fs::path job = dir / "memjob";
  ResetJob(job);
  fs::path result = dir / "mem.txt";
  std::string command = std::string("'") + self + "' memory-child '" + raw.string() + "' '" +
                        job.string() + "' > '" + result.string() + "'";
  if (std::system(command.c_str()) != 0) return 1;
  std::ifstream in(result);
  long kb = -1;
  in >> kb;
  std::printf("memory: %.1f MB message, body %.1f MB written\n",
              static_cast<double>(fs::file_size(raw)) / 1e6,
              static_cast<double>(fs::file_size(job / "0.bdy")) / 1e6);
  std::printf("PEAK_MB_ABOVE_BASELINE=%.2f\n", static_cast<double>(kb) / 1024.0);
  return kb >= 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string what = "all";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-r") == 0 && i + 1 < argc) {
      g_runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "memory-child") == 0 && i + 2 < argc) {
      return MemoryChild(argv[i + 1], argv[i + 2]);
    } else {
      what = argv[i];
    }
  }
  if (g_runs < 1) g_runs = 1;
  g_mime_init();
  std::string pattern = (fs::temp_directory_path() / "vtbenchXXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return 1;
  fs::path dir = pattern;
  // The temporary directory also plays the machine root of the platform calls.
  ::setenv("VT_SYSROOT", dir.c_str(), 1);
  int status = 0;
  if (what == "all" || what == "big") status |= Big(dir);
  if (what == "all" || what == "corpus") status |= Corpus(dir);
  if (what == "all" || what == "uudecode") status |= Uudecode(dir);
  if (what == "all" || what == "memory") status |= Memory(dir, argv[0]);
  fs::remove_all(dir);
  g_mime_shutdown();
  return status;
}
