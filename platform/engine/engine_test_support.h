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

#include <cstdint>
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

// A zip archive of stored (uncompressed) files, put together by hand so the tests need no
// archiver. With `encrypted`, every entry is flagged as encrypted and its data prefixed by
// the 12-byte encryption header, as a password-protected archive is.
inline std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files,
                             bool encrypted = false) {
  auto crc32 = [](const std::string& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
  };
  auto put = [](std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  std::string archive;
  std::string directory;
  for (const auto& [name, content] : files) {
    const std::string data = encrypted ? std::string(12, '\x5a') + content : content;
    const std::uint32_t crc = crc32(content);
    const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
    const std::uint32_t flags = encrypted ? 1 : 0;
    put(archive, 0x04034b50, 4);
    put(archive, 20, 2);
    put(archive, flags, 2);
    put(archive, 0, 2);     // stored
    put(archive, 0, 2);     // time
    put(archive, 0x21, 2);  // date: 1 January 1980
    put(archive, crc, 4);
    put(archive, static_cast<std::uint32_t>(data.size()), 4);
    put(archive, static_cast<std::uint32_t>(content.size()), 4);
    put(archive, static_cast<std::uint32_t>(name.size()), 2);
    put(archive, 0, 2);
    archive += name + data;
    put(directory, 0x02014b50, 4);
    put(directory, 20, 2);
    put(directory, 20, 2);
    put(directory, flags, 2);
    put(directory, 0, 2);
    put(directory, 0, 2);
    put(directory, 0x21, 2);
    put(directory, crc, 4);
    put(directory, static_cast<std::uint32_t>(data.size()), 4);
    put(directory, static_cast<std::uint32_t>(content.size()), 4);
    put(directory, static_cast<std::uint32_t>(name.size()), 2);
    put(directory, 0, 2);  // extra
    put(directory, 0, 2);  // comment
    put(directory, 0, 2);  // disk
    put(directory, 0, 2);  // internal attributes
    put(directory, 0, 4);  // external attributes
    put(directory, offset, 4);
    directory += name;
  }
  const std::uint32_t directory_offset = static_cast<std::uint32_t>(archive.size());
  archive += directory;
  put(archive, 0x06054b50, 4);
  put(archive, 0, 2);
  put(archive, 0, 2);
  put(archive, static_cast<std::uint32_t>(files.size()), 2);
  put(archive, static_cast<std::uint32_t>(files.size()), 2);
  put(archive, static_cast<std::uint32_t>(directory.size()), 4);
  put(archive, directory_offset, 4);
  put(archive, 0, 2);
  return archive;
}

// `content` as eicar.com inside `levels` zips, each holding the next.
inline std::string NestedZips(int levels, const std::string& content) {
  std::string archive = StoredZip({{"eicar.com", content}});
  for (int level = 1; level < levels; ++level)
    archive = StoredZip({{"level" + std::to_string(level) + ".zip", archive}});
  return archive;
}

// A MIME message whose multiparts nest `levels` deep, with `content` as the innermost
// attachment (base64), as an attacker hides a file from a parser that gives up early.
inline std::string NestedMultipart(int levels, const std::string& content) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (std::size_t i = 0; i < content.size(); i += 3) {
    std::uint32_t group = static_cast<unsigned char>(content[i]) << 16;
    if (i + 1 < content.size()) group |= static_cast<unsigned char>(content[i + 1]) << 8;
    if (i + 2 < content.size()) group |= static_cast<unsigned char>(content[i + 2]);
    encoded += kAlphabet[(group >> 18) & 63];
    encoded += kAlphabet[(group >> 12) & 63];
    encoded += i + 1 < content.size() ? kAlphabet[(group >> 6) & 63] : '=';
    encoded += i + 2 < content.size() ? kAlphabet[group & 63] : '=';
  }
  std::string part = "Content-Type: application/octet-stream; name=\"eicar.com\"\r\n"
                     "Content-Transfer-Encoding: base64\r\n"
                     "Content-Disposition: attachment; filename=\"eicar.com\"\r\n\r\n" +
                     encoded + "\r\n";
  for (int level = levels; level >= 1; --level) {
    const std::string boundary = "b" + std::to_string(level);
    part = "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n--" +
           boundary + "\r\nContent-Type: text/plain\r\n\r\nlevel " + std::to_string(level) +
           "\r\n--" + boundary + "\r\n" + part + "--" + boundary + "--\r\n";
  }
  return "From: ann@example.com\r\nTo: bob@example.com\r\nSubject: deep\r\n"
         "MIME-Version: 1.0\r\n" + part;
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
