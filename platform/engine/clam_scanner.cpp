// clam_scanner.cpp - the virus scanner behind the engine: libclamav with our signatures.
#include "platform/engine/clam_scanner.h"

#include <clamav.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string_view>

namespace vtengine {

namespace {

// cl_init sets up the library's global state once per process.
bool InitLibrary(std::string* error_r) {
  static std::once_flag once;
  static cl_error_t status = CL_SUCCESS;
  std::call_once(once, [] { status = cl_init(CL_INIT_DEFAULT); });
  if (status != CL_SUCCESS) {
    *error_r = std::string("cl_init: ") + cl_strerror(status);
    return false;
  }
  return true;
}


// libclamav's database files: signed databases and their containers (cvd, cld, cud) and
// the plain signature formats a directory may hold.
constexpr std::string_view kDatabaseExtensions[] = {
    ".cvd", ".cld", ".cud", ".ndb", ".ndu", ".hdb", ".hdu", ".hsb", ".hsu", ".mdb",
    ".mdu", ".msb", ".msu", ".ldb", ".ldu", ".idb", ".cdb", ".cbc", ".ftm", ".fp",
    ".sfp", ".ign", ".ign2", ".pdb", ".gdb", ".wdb", ".crb", ".yar", ".yara", ".pwdb",
    ".cat", ".info", ".cfg", ".db"};

bool HasDatabaseFile(const std::string& directory) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    for (std::string_view extension : kDatabaseExtensions) {
      if (name.size() > extension.size() &&
          name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
        found = true;
        break;
      }
    }
    if (found) break;
  }
  ::closedir(dir);
  return found;
}

// One scan's bounds, handed to libclamav as the scan's context.
struct ScanContext {
  ScanDeadline deadline = kNoDeadline;
  long long max_file_bytes = 0;
  bool cut = false;        // the deadline passed during the scan
  bool too_large = false;  // a member claimed more than max_file_bytes
};

bool DeadlinePassed(ScanContext& scan) {
  if (std::chrono::steady_clock::now() < scan.deadline) return false;
  scan.cut = true;
  return true;
}

// Called by libclamav before it looks into each file of a scan (the file itself, every
// member of an archive, every part of a mail). Past the deadline the scan ends there.
cl_error_t BeforeEachFile(int, const char*, void* context) {
  auto* scan = static_cast<ScanContext*>(context);
  return scan != nullptr && DeadlinePassed(*scan) ? CL_VIRUS : CL_CLEAN;
}

// Called by libclamav for each member of an archive before it unpacks it, with the size
// the member claims. libclamav itself would unpack the first MaxFileSize bytes of a larger
// member, scan them and call the member clean: the rest would go unseen, and a bomb of
// zeros would cost the whole unpacking. Such a member is a finding instead, found here
// before anything is unpacked.
cl_error_t BeforeEachMember(const char*, unsigned long, const char*, unsigned long real_size, int,
                            unsigned int, void* context) {
  auto* scan = static_cast<ScanContext*>(context);
  if (scan == nullptr) return CL_CLEAN;
  if (scan->max_file_bytes > 0 && real_size > static_cast<unsigned long>(scan->max_file_bytes)) {
    scan->too_large = true;
    return CL_VIRUS;
  }
  return DeadlinePassed(*scan) ? CL_VIRUS : CL_CLEAN;
}

}  // namespace

struct ClamScanner::Engine {
  cl_engine* handle = nullptr;
  ~Engine() {
    if (handle) cl_engine_free(handle);
  }
};

ClamScanner::ClamScanner() = default;
ClamScanner::~ClamScanner() = default;

bool ClamScanner::Load(const std::string& signature_dir, const std::string& system_dir,
                       const std::string& temp_dir, std::string* error_r) {
  if (!InitLibrary(error_r)) return false;
  auto engine = std::make_unique<Engine>();
  engine->handle = cl_engine_new();
  if (!engine->handle) {
    *error_r = "cl_engine_new failed";
    return false;
  }
  unsigned count = 0;
  cl_error_t status = cl_load(signature_dir.c_str(), engine->handle, &count, CL_DB_STDOPT);
  if (status != CL_SUCCESS) {
    *error_r = "cl_load " + signature_dir + ": " + cl_strerror(status);
    return false;
  }
  system_databases_ = SystemDatabases::kNotAsked;
  struct stat st {};
  if (system_dir.empty()) {
    // Only the shipped signatures were asked for.
  } else if (::stat(system_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    system_databases_ = SystemDatabases::kAbsent;
  } else if (!HasDatabaseFile(system_dir)) {
    // ClamAV installed and never updated: its directory is there, empty. That is no
    // reason to refuse mail; the shipped signatures still serve.
    system_databases_ = SystemDatabases::kEmpty;
  } else {
    status = cl_load(system_dir.c_str(), engine->handle, &count, CL_DB_STDOPT);
    if (status != CL_SUCCESS) {
      *error_r = "cl_load " + system_dir + ": " + cl_strerror(status);
      return false;
    }
    system_databases_ = SystemDatabases::kLoaded;
  }
  // libclamav's default limits (100 MB a file, 400 MB a scan) are below what a mail server
  // accepts; content beyond the limits is reported as a finding (see ScanFile).
  cl_engine_set_num(engine->handle, CL_ENGINE_MAX_FILESIZE, limits_.max_file_bytes);
  cl_engine_set_num(engine->handle, CL_ENGINE_MAX_SCANSIZE, limits_.max_scan_bytes);
  cl_engine_set_num(engine->handle, CL_ENGINE_MAX_SCANTIME, limits_.max_scan_time_ms);
  cl_engine_set_clcb_pre_scan(engine->handle, BeforeEachFile);
  cl_engine_set_clcb_meta(engine->handle, BeforeEachMember);
  if (!temp_dir.empty()) {
    // Every scan makes and removes a directory there: on a busy server a tmpfs saves a
    // journalled create and delete per file scanned.
    std::error_code error;
    std::filesystem::create_directories(temp_dir, error);
    if (!std::filesystem::is_directory(temp_dir)) {
      *error_r = "cannot make the temporary directory " + temp_dir +
                 (error ? ": " + error.message() : std::string());
      return false;
    }
    status = cl_engine_set_str(engine->handle, CL_ENGINE_TMPDIR, temp_dir.c_str());
    if (status != CL_SUCCESS) {
      *error_r = "TempDir " + temp_dir + ": " + cl_strerror(status);
      return false;
    }
  }
  status = cl_engine_compile(engine->handle);
  if (status != CL_SUCCESS) {
    *error_r = std::string("cl_engine_compile: ") + cl_strerror(status);
    return false;
  }
  engine_ = std::move(engine);
  signature_count_ = count;
  return true;
}

ScanResult ClamScanner::ScanFile(const std::string& path, ScanDeadline deadline) const {
  ScanResult result;
  if (!engine_) {
    result.error = "no signatures loaded";
    return result;
  }
  ScanTarget target;
  if (!target.Open(path, &result.error)) return result;
  cl_scan_options options{};
  options.parse = ~0u;  // every format: archives, mail, documents, executables
  // Content libclamav cannot look into whole (a nesting, archive depth, size, file count or
  // time limit reached, an encrypted archive) is reported under a heuristic name
  // (Heuristics.Limits.Exceeded.*, Heuristics.Encrypted.*) and counts as a finding: a mail
  // that could not be looked into is not known to be clean. A signature match anywhere in
  // the file still takes precedence over these names.
  options.general = CL_SCAN_GENERAL_HEURISTICS;
  options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE;
  const char* virus = nullptr;
  unsigned long scanned = 0;
  ScanContext scan{deadline, limits_.max_file_bytes};
  const cl_error_t status = cl_scandesc_callback(target.fd(), path.c_str(), &virus, &scanned,
                                                 engine_->handle, &options, &scan);
  struct stat st {};
  if (scan.cut || status == CL_ETIMEOUT) {
    result.status = ScanStatus::kInfected;
    result.virus = kScanTimeFinding;
  } else if (scan.too_large || (status == CL_VIRUS && virus == nullptr &&
                                ::fstat(target.fd(), &st) == 0 &&
                                st.st_size > limits_.max_file_bytes)) {
    // A file itself beyond the limit is refused by libclamav without a name.
    result.status = ScanStatus::kInfected;
    result.virus = kFileSizeFinding;
  } else if (status == CL_VIRUS) {
    result.status = ScanStatus::kInfected;
    result.virus = CleanVirusName(virus ? virus : "");
  } else if (status == CL_CLEAN) {
    result.status = ScanStatus::kClean;
  } else {
    result.error = path + ": " + cl_strerror(status);
  }
  return result;
}

}  // namespace vtengine
