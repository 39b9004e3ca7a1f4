// crash_image.cpp - replaying a sync log into the disk a crash leaves.
//
// Each file (by inode, a new node whenever an inode number is created again) and each
// directory (by path) gets the list of its changes in log order and the count of them that a
// sync has covered. An image keeps, of each list, the synced part and then a prefix of the
// rest; directory entries bind the node they name when the change is made, so a name keeps
// naming the file it was given even after its inode number is reused.
// A process records the file it created only once its open has returned, and another may
// write to the new file in between: a change to an inode that no name holds any more (or
// none held yet) goes to a node of its own, which the inode's next creation takes over.
#include "platform/crashsim/crash_image.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <unordered_map>

namespace crashsim {
namespace {

namespace fs = std::filesystem;

struct Node {
  bool directory = false;
  std::string path;             // a directory's
  std::vector<size_t> changes;  // record indices
  size_t synced = 0;            // how many of changes a sync covered
  bool ever_named = false;      // in the log's own order, not an image's
  int names = 0;
};

std::string ParentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The nodes of the first records, the node each entry change binds, and the root's node.
class Replay {
 public:
  Replay(const std::vector<Record>& records, size_t count, const std::string& root)
      : records_(records), bound_(count, -1) {
    root_node_ = DirectoryNode(root);
    for (size_t i = 0; i < count; ++i) Take(i);
  }

  const std::vector<Record>& records_;
  std::vector<Node> nodes_;
  std::vector<int> bound_;
  int root_node_ = -1;

 private:
  int NewNode(bool directory, const std::string& path = std::string()) {
    nodes_.push_back(Node{directory, path, {}, 0});
    return static_cast<int>(nodes_.size() - 1);
  }
  int DirectoryNode(const std::string& path) {
    auto found = directories_.find(path);
    if (found != directories_.end()) return found->second;
    int node = NewNode(true, path);
    directories_[path] = node;
    return node;
  }
  int FileNode(std::uint64_t inode) {
    auto found = files_.find(inode);
    if (found != files_.end()) {
      const Node& node = nodes_[static_cast<size_t>(found->second)];
      if (!node.ever_named || node.names > 0) return found->second;
    }
    int node = NewNode(false);  // named by nothing unless a creation of inode takes it over
    files_[inode] = node;
    return node;
  }
  void Bind(const std::string& path, int node) {
    Unbind(path);
    live_names_[path] = node;
    nodes_[static_cast<size_t>(node)].ever_named = true;
    ++nodes_[static_cast<size_t>(node)].names;
  }
  // The node path named, or -1.
  int Unbind(const std::string& path) {
    auto found = live_names_.find(path);
    if (found == live_names_.end()) return -1;
    int node = found->second;
    --nodes_[static_cast<size_t>(node)].names;
    live_names_.erase(found);
    return node;
  }
  void Cover(Node* node, std::uint64_t covers) {
    while (node->synced < node->changes.size() &&
           records_[node->changes[node->synced]].position < covers) {
      ++node->synced;
    }
  }
  void Take(size_t i) {
    const Record& record = records_[i];
    auto in_parent = [&](const std::string& path) {
      nodes_[DirectoryNode(ParentOf(path))].changes.push_back(i);
    };
    switch (record.kind) {
      case RecordKind::kCreate: {
        auto found = files_.find(record.inode);
        int node = found != files_.end() && !nodes_[static_cast<size_t>(found->second)].ever_named
                       ? found->second
                       : NewNode(false);
        files_[record.inode] = node;
        bound_[i] = node;
        Bind(record.paths.at(0), node);
        in_parent(record.paths.at(0));
        break;
      }
      case RecordKind::kWrite:
      case RecordKind::kTruncate:
        nodes_[FileNode(record.inode)].changes.push_back(i);
        break;
      case RecordKind::kSync:
        Cover(&nodes_[FileNode(record.inode)], record.offset);
        break;
      case RecordKind::kSyncDirectory:
        Cover(&nodes_[DirectoryNode(record.paths.at(0))], record.offset);
        break;
      case RecordKind::kSyncAll:
        for (Node& node : nodes_) Cover(&node, record.offset);
        break;
      case RecordKind::kLink:
        bound_[i] = FileNode(record.inode);
        Bind(record.paths.at(0), bound_[i]);
        in_parent(record.paths.at(0));
        break;
      case RecordKind::kUnlink:
      case RecordKind::kRemoveDirectory:
        Unbind(record.paths.at(0));
        in_parent(record.paths.at(0));
        break;
      case RecordKind::kRename: {
        bound_[i] = Unbind(record.paths.at(0));
        if (bound_[i] >= 0) Bind(record.paths.at(1), bound_[i]);
        in_parent(record.paths.at(0));
        if (ParentOf(record.paths.at(0)) != ParentOf(record.paths.at(1))) {
          in_parent(record.paths.at(1));
        }
        break;
      }
      case RecordKind::kMakeDirectory: {
        int node = NewNode(true, record.paths.at(0));
        directories_[record.paths.at(0)] = node;
        bound_[i] = node;
        Bind(record.paths.at(0), node);
        in_parent(record.paths.at(0));
        break;
      }
      case RecordKind::kMark:
        break;
    }
  }

  std::unordered_map<std::uint64_t, int> files_;
  std::unordered_map<std::string, int> directories_;
  std::unordered_map<std::string, int> live_names_;  // in the log's order
};

bool WriteTree(const Replay& replay, const std::vector<std::string>& contents,
               const std::vector<std::map<std::string, int>>& entries, int node,
               const std::string& path, int depth, std::string* error_r) {
  if (depth > 64) return true;
  std::error_code error;
  fs::create_directories(path, error);
  if (error) {
    *error_r = "cannot make " + path + ": " + error.message();
    return false;
  }
  for (const auto& [name, child] : entries[static_cast<size_t>(node)]) {
    const std::string child_path = path + "/" + name;
    if (replay.nodes_[static_cast<size_t>(child)].directory) {
      if (!WriteTree(replay, contents, entries, child, child_path, depth + 1, error_r)) {
        return false;
      }
      continue;
    }
    if (EndsWith(name, "-shm")) continue;
    std::ofstream out(child_path, std::ios::binary | std::ios::trunc);
    out << contents[static_cast<size_t>(child)];
    if (!out) {
      *error_r = "cannot write " + child_path;
      return false;
    }
  }
  return true;
}

}  // namespace

bool RecordInitialState(const std::string& root, const std::string& log_path) {
  int log = ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (log < 0) return false;
  bool ok = true;
  auto append = [&](RecordKind kind, std::uint64_t inode, std::uint64_t offset,
                    const std::string& path, std::string_view data) {
    std::string paths = path.empty() ? std::string() : path + std::string(1, '\0');
    std::string record;
    EncodeRecord(kind, inode, offset, paths, data, &record);
    ok = ok && ::write(log, record.data(), record.size()) == static_cast<ssize_t>(record.size());
  };
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; ok && !error && it != end;
       it.increment(error)) {
    const std::string path = it->path().string();
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      append(RecordKind::kMakeDirectory, 0, 0, path, {});
    } else if (S_ISREG(info.st_mode)) {
      std::ifstream in(path, std::ios::binary);
      const std::string content((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
      append(RecordKind::kCreate, info.st_ino, 0, path, {});
      append(RecordKind::kWrite, info.st_ino, 0, {}, content);
    }
  }
  struct stat log_info {};
  ok = ok && !error && ::fstat(log, &log_info) == 0;
  if (ok) append(RecordKind::kSyncAll, 0, static_cast<std::uint64_t>(log_info.st_size), {}, {});
  ::close(log);
  return ok;
}

std::vector<std::string> CrashImages::MarksBefore(size_t records) const {
  std::vector<std::string> marks;
  for (size_t i = 0; i < records && i < records_.size(); ++i) {
    if (records_[i].kind == RecordKind::kMark) marks.push_back(records_[i].data);
  }
  return marks;
}

bool CrashImages::WriteImage(size_t records, Unsynced unsynced, std::mt19937_64* random,
                             const std::string& from_root, const std::string& target,
                             std::string* error_r) const {
  records = std::min(records, records_.size());
  Replay replay(records_, records, from_root);
  std::vector<std::string> contents(replay.nodes_.size());
  std::vector<std::map<std::string, int>> entries(replay.nodes_.size());
  for (size_t n = 0; n < replay.nodes_.size(); ++n) {
    const Node& node = replay.nodes_[n];
    size_t keep = node.synced;
    if (unsynced == Unsynced::kRandomPrefix && node.changes.size() > node.synced) {
      keep += std::uniform_int_distribution<size_t>(0, node.changes.size() - node.synced)(*random);
    }
    for (size_t c = 0; c < keep; ++c) {
      const size_t index = node.changes[c];
      const Record& record = records_[index];
      const int bound = replay.bound_[index];
      switch (record.kind) {
        case RecordKind::kWrite: {
          std::string& content = contents[n];
          const size_t end = record.offset + record.data.size();
          if (content.size() < end) content.resize(end, '\0');
          content.replace(record.offset, record.data.size(), record.data);
          break;
        }
        case RecordKind::kTruncate:
          contents[n].resize(record.offset, '\0');
          break;
        case RecordKind::kCreate:
        case RecordKind::kLink:
        case RecordKind::kMakeDirectory:
          if (bound >= 0) entries[n][NameOf(record.paths.at(0))] = bound;
          break;
        case RecordKind::kUnlink:
        case RecordKind::kRemoveDirectory:
          entries[n].erase(NameOf(record.paths.at(0)));
          break;
        case RecordKind::kRename: {
          // In the old name's directory the old name goes; in the new one's the new comes.
          const std::string& from = record.paths.at(0);
          const std::string& to = record.paths.at(1);
          if (ParentOf(from) == node.path) entries[n].erase(NameOf(from));
          if (ParentOf(to) == node.path && bound >= 0) entries[n][NameOf(to)] = bound;
          break;
        }
        default:
          break;
      }
    }
  }
  std::error_code error;
  fs::remove_all(target, error);
  if (error) {
    *error_r = "cannot remove " + target + ": " + error.message();
    return false;
  }
  return WriteTree(replay, contents, entries, replay.root_node_, target, 0, error_r);
}

}  // namespace crashsim
