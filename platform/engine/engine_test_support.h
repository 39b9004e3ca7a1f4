// engine_test_support.h - a fresh machine root with an engine spool, and hand-made jobs.
//
// For the engine's tests only. A TestRoot is a temporary directory that plays the machine:
// windows/win.ini naming the install directory, vantrel.ini, IN (install/In) and OUT. Jobs
// are written the way the system writes them: the OUT job directory first, then the IN
// job directory with its files, the header as 0.hdf renamed to 0.hdr.
//
// Ownership: the TestRoot removes its directory when destroyed. Threads: one test thread.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace vtengine::testing_support {

// The EICAR test file, put together at run time so no file of the source tree carries it.
inline std::string EicarText() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-" +
         "ANTIVIRUS-TEST-FILE!$H+H*";
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void WriteAll(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

inline void RemoveTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* dir = ::opendir(path.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      ::closedir(dir);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

struct JobFiles {
  std::string body = "Hello,\r\nthe figures are attached.\r\n";
  bool with_body = true;
  std::vector<std::pair<std::string, std::string>> attachments;  // display name, content
  std::string from = "ann@example.com";
  std::string to = "bob@example.com,carl@example.com";
  std::string subject = "Figures";
  std::string extra_lines;  // appended to the header as they stand
};

class TestRoot {
 public:
  TestRoot() {
    char pattern[] = "/tmp/vtengine-test.XXXXXX";
    const char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    root_ = made ? made : "/tmp";
    ::mkdir((root_ + "/windows").c_str(), 0755);
    ::mkdir(install().c_str(), 0755);
    ::mkdir(in().c_str(), 0755);
    ::mkdir(out().c_str(), 0755);
    WriteAll(root_ + "/windows/win.ini", "[Vantrel]\r\nInstallDirectory=" + install() + "\r\n");
    WriteAll(install() + "/vantrel.ini",
             "[General]\r\nScanDir=In\r\nAdminEmailId=admin@example.com,,boss@example.com\r\n"
             "WarningMailsFromUser=vantrel@example.com\r\n");
  }
  ~TestRoot() { RemoveTree(root_); }
  TestRoot(const TestRoot&) = delete;
  TestRoot& operator=(const TestRoot&) = delete;

  const std::string& root() const { return root_; }
  std::string install() const { return root_ + "/vantrel"; }
  std::string in() const { return install() + "/In"; }
  std::string out() const { return install() + "/Out"; }

  void SetEngineIni(const std::string& text) const { WriteAll(install() + "/engine.ini", text); }

  // Writes a real-time job and publishes it; returns the header path.
  std::string WriteJob(const std::string& job_id, const JobFiles& files,
                       bool publish = true) const {
    ::mkdir((out() + "/" + job_id).c_str(), 0755);
    const std::string dir = in() + "/" + job_id;
    ::mkdir(dir.c_str(), 0755);
    std::string header = "Size: 100\r\n";
    if (files.with_body) {
      WriteAll(dir + "/0.bdy", files.body);
      header += "Body: " + job_id + "\\0.bdy\r\n";
    }
    header += "LotusNotesMUA: 1\r\n";
    if (!files.subject.empty()) header += "Subject: " + files.subject + "\r\n";
    if (!files.from.empty()) header += "From: " + files.from + "\r\n";
    if (!files.to.empty()) header += "To: " + files.to + "\r\n";
    for (std::size_t i = 0; i < files.attachments.size(); ++i) {
      const std::string name = std::to_string(i) + ".ATT";
      WriteAll(dir + "/" + name, files.attachments[i].second);
      header += "Attachment: " + job_id + "\\" + name + "," + files.attachments[i].first + "\r\n";
    }
    header += files.extra_lines;
    WriteAll(dir + "/0.hdf", header);
    if (publish) ::rename((dir + "/0.hdf").c_str(), (dir + "/0.hdr").c_str());
    return dir + "/0.hdr";
  }

  std::string OutFile(const std::string& job_id, const std::string& name) const {
    return out() + "/" + job_id + "/" + name;
  }

 private:
  std::string root_;
};

}  // namespace vtengine::testing_support
