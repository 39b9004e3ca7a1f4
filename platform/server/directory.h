// directory.h - recipients resolved through the person documents of names.nsf.
//
// What it is for: the router's view of the Domino directory. Every document of names.nsf
// with Form "Person" is read once into memory: its full names (FullName, a text list whose
// first entry is the canonical "CN=.../O=..." or plain name), ShortName, InternetAddress and
// MailFile. A recipient matches a person when it equals, without case, the Internet address,
// one of the full names (also the common name of a canonical one) or the short name.
// Reload() reads names.nsf again when the file changed since the last load.
// Ownership: a Directory owns its person table; Lookup returns a copy.
// Locks: one mutex guards the table; Reload and Lookup may run on any threads that
// initialised Notes.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/notes/notes.h"

namespace vtserver {

struct Person {
  std::string full_name;      // the first FullName entry
  std::string mail_file;      // relative to the data directory; empty when none is named
  std::string internet_address;
};

class Directory {
 public:
  explicit Directory(std::string names_path) : names_path_(std::move(names_path)) {}

  // Reads the directory when it changed (or was never read). Returns the Notes status of a
  // failed read; the previous table stays in use then.
  [[nodiscard]] STATUS Reload();
  // The person the address names, or nothing. The address may be "Name <addr>".
  [[nodiscard]] std::optional<Person> Lookup(const std::string& address) const;
  [[nodiscard]] size_t PersonCount() const;
  // False until a read succeeded: an unreadable directory knows nobody, which must not be
  // taken for "no such user".
  [[nodiscard]] bool Loaded() const;

 private:
  std::string names_path_;  // as NSFDbOpen takes it
  std::filesystem::file_time_type loaded_time_{};
  bool loaded_ = false;
  mutable std::mutex mutex_;
  std::vector<Person> people_;
  std::map<std::string, size_t> index_;  // lower-case name or address -> people_ position
};

}  // namespace vtserver
