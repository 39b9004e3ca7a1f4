// settings.cpp - see settings.h.
#include "vtsweep/settings.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "foundation/config.h"
#include "foundation/named_objects.h"
#include "foundation/utilities.h"
#include "platform/win32/windows.h"
#include "vtsweep/sweep_log.h"
#include "vtsweep/watchdog_open.h"

namespace vtsweep {
namespace {

// List values grow their buffer by this much until the value fits; a value larger than
// kListCapBytes is damaged and is cut there.
constexpr std::size_t kListStepBytes = 200;
constexpr std::size_t kListCapBytes = 1 << 20;
constexpr std::size_t kDocumentListStep = 102;
constexpr std::size_t kContentControlBytes = 10;  // up to 9 characters

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    if (comma > start) pieces.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return pieces;
}

// A registry list value, read into a buffer that grows until the value fits.
std::string ReadProductList(const char* name) {
  std::string value;
  for (std::size_t size = kListStepBytes; size <= kListCapBytes; size += kListStepBytes) {
    Sleep(5);
    if (foundation::ReadProductValue(foundation::kProductSubkey, name, value, "", size) !=
        ERROR_MORE_DATA)
      break;
  }
  return value;
}

std::string ReadIniList(const char* key, const std::string& ini_path) {
  std::string value;
  for (std::size_t size = kListStepBytes; size <= kListCapBytes; size += kListStepBytes) {
    Sleep(5);
    value = foundation::ReadIniValue(foundation::kGeneralSection, key, "", ini_path, size);
    if (value.size() + 1 < size) break;
  }
  return value;
}

// A text item of any length, read into a buffer that grows by 102 bytes until it fits.
std::string ReadGrowingText(NOTEHANDLE note, const char* name) {
  std::string buffer;
  for (std::size_t size = kDocumentListStep; size <= MAXWORD; size += kDocumentListStep) {
    buffer.assign(size, '\0');
    WORD length = NSFItemGetText(note, name, buffer.data(), static_cast<WORD>(size));
    if (length + 1u < size) return buffer.substr(0, length);
  }
  return buffer.substr(0, std::strlen(buffer.c_str()));
}

std::string ReadText(NOTEHANDLE note, const char* name, std::size_t bytes = 256) {
  std::string buffer(bytes, '\0');
  WORD length = NSFItemGetText(note, name, buffer.data(), static_cast<WORD>(bytes));
  return buffer.substr(0, length);
}

struct DocumentSearch {
  Settings* settings = nullptr;
  DBHANDLE db = NULLHANDLE;
};

STATUS ReadOneSettingsDocument(void* context, SEARCH_MATCH* match, ITEM_TABLE*) {
  auto& search = *static_cast<DocumentSearch*>(context);
  if ((match->SERetFlags & SE_FMATCH) == 0) return NOERROR;
  NOTEHANDLE note = NULLHANDLE;
  STATUS status = NSFNoteOpen(search.db, match->ID.NoteID, OPEN_DEFAULT, &note);
  if (status != NOERROR) {
    LogNotesStatus(status);
    return NOERROR;
  }
  Settings& s = *search.settings;
  // Item names differ by mode: an interactive run reads the "M_" items.
  const std::string prefix = s.scheduled ? "" : "M_";
  auto item = [&](const char* name) { return prefix + name; };
  if (s.scheduled) {
    std::string option = ReadText(note, "Option");
    if (!option.empty() && std::toupper(static_cast<unsigned char>(option[0])) == 'E')
      s.show_window = IsYes(ReadText(note, "ShowScanWindow"));
    else
      s.show_window = false;
  }
  s.list_selected = IsYes(ReadText(note, item("SelectedDBFile").c_str()));
  s.database_list = ReadGrowingText(note, item("DBFiletxt").c_str());
  s.folder_selected = IsYes(ReadText(note, item("DataDBFile").c_str()));
  s.folder = ReadText(note, item("DBFile").c_str(), kFolderChars + 1);
  s.subfolders = IsYes(ReadText(note, item("SubDir").c_str()));
  s.exclude = IsYes(ReadText(note, item("Exclude").c_str()));
  const std::string exclude_item = item("Exclude_DB");
  s.exclude_list_read =
      NSFItemIsPresent(note, exclude_item.c_str(), static_cast<WORD>(exclude_item.size()));
  s.exclude_list = ReadGrowingText(note, exclude_item.c_str());
  (void)NSFNoteClose(note);
  return NOERROR;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    c = IsSeparator(c) ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return upper;
}

}  // namespace

bool IsYes(std::string_view value) {
  return !value.empty() && std::toupper(static_cast<unsigned char>(value[0])) == 'Y';
}

void ReadAdminTable(Settings& settings) {
  // AdminEmailId lives in the vantrel.ini of the registry's InstallDirectory; a registry
  // without that value (or naming a directory without the file) means the installation
  // found at start-up.
  std::string ini_dir;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "InstallDirectory", ini_dir,
                                     "");
  std::string ini_path = foundation::JoinPath(ini_dir, foundation::kProductIniName);
  if (ini_dir.empty() || GetFileAttributes(ini_path.c_str()) == INVALID_FILE_ATTRIBUTES)
    ini_path = foundation::JoinPath(settings.install_dir, foundation::kProductIniName);
  std::vector<std::string> addresses = SplitCommas(ReadIniList("AdminEmailId", ini_path));
  std::vector<std::string> databases = SplitCommas(ReadProductList("VTADMINDB"));
  const std::size_t rows = std::min(kAdminRows, std::max(addresses.size(), databases.size()));
  settings.admins.assign(rows, AdminRow{});
  for (std::size_t i = 0; i < rows; ++i) {
    if (i < addresses.size()) settings.admins[i].address = addresses[i].substr(0, kAdminAddressChars);
    if (i < databases.size())
      settings.admins[i].database = databases[i].substr(0, kAdminDatabaseChars);
  }
}

DWORD ReadTimeoutSeconds() {
  std::string text;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "TimeOut", text, "");
  long seconds = 0;
  // A time-out that is not a positive number would end every wait at once and stop the
  // run after four documents: it counts as unset.
  if (!foundation::ParseNumber(text, seconds) || seconds <= 0) return kDefaultTimeoutSeconds;
  return static_cast<DWORD>(std::min<long>(seconds, 24L * 3600));
}

std::string ReadBuildText() {
  std::string build;
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "LotusNotesBuild", build, "",
                                     kBuildBytes);
  return build;
}

void ReadStoreSettings(Settings& settings) {
  const std::string ini = foundation::JoinPath(settings.install_dir, foundation::kProductIniName);
  settings.scan_dir_name =
      foundation::ReadIniValue(foundation::kGeneralSection, "ScanDir", "", ini, MAX_PATH + 1);
  settings.content_control =
      foundation::ReadIniValue(foundation::kGeneralSection, "ContentControlEnabled", "0", ini,
                               kContentControlBytes) == "1";
  (void)foundation::ReadProductValue(foundation::kProductSubkey, "AlwaysExcluded",
                                     settings.always_excluded, "", kAlwaysExcludedBytes);
  settings.build = ReadBuildText();
  settings.timeout_seconds = ReadTimeoutSeconds();
}

void ReadSettingsDocument(Settings& settings) {
  DbHandle db = OpenDatabaseWithWatchdog(kScheduleDatabase);
  if (!db.valid()) {
    WriteLog("Unabel to open vtsched.nsf", kLogStamped);
    return;
  }
  const std::string formula_text = std::string("SELECT form = \"") +
                                   (settings.scheduled ? kScheduledForm : kInteractiveForm) +
                                   "\"";
  FORMULAHANDLE formula = NULLHANDLE;
  WORD formula_len = 0;
  STATUS compile_error = NOERROR;
  STATUS status = NSFFormulaCompile(nullptr, 0, formula_text.c_str(),
                                    static_cast<WORD>(formula_text.size()), &formula,
                                    &formula_len, &compile_error, nullptr, nullptr, nullptr,
                                    nullptr);
  if (status != NOERROR) {
    LogNotesStatus(status);
    return;
  }
  DocumentSearch search{&settings, db.get()};
  status = NSFSearch(db.get(), formula, nullptr, 0, NOTE_CLASS_DOCUMENT, nullptr,
                     ReadOneSettingsDocument, &search, nullptr);
  if (status != NOERROR) LogNotesStatus(status);
  (void)OSMemFree(formula);
}

std::string CleanListEntry(std::string_view entry) {
  std::string cleaned;
  for (char c : entry) {
    if (c != '\t' && c != '\r' && c != '\n' && c != ',') cleaned += c;
  }
  foundation::TrimBoth(cleaned);
  while (!cleaned.empty() && cleaned.back() == ' ') cleaned.pop_back();
  if (cleaned.size() >= 2 && cleaned.front() == '"' && cleaned.back() == '"') {
    cleaned = cleaned.substr(1, cleaned.size() - 2);
    foundation::TrimBoth(cleaned);
  }
  return cleaned;
}

bool IsDatabaseName(std::string_view name) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return false;
  std::string extension = Upper(name.substr(dot + 1));
  return extension == "NSF" || extension == "NTF";
}

std::vector<std::string> DatabaseEntries(std::string_view list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < list.size()) {
    std::size_t semicolon = list.find(';', start);
    if (semicolon == std::string_view::npos) semicolon = list.size();
    std::string entry = CleanListEntry(list.substr(start, semicolon - start));
    if (IsDatabaseName(entry)) entries.push_back(std::move(entry));
    start = semicolon + 1;
  }
  return entries;
}

bool MatchesList(std::string_view path, std::string_view list) {
  const std::string upper_path = Upper(path);
  for (const std::string& entry : DatabaseEntries(list)) {
    if (upper_path.find(Upper(entry)) != std::string::npos) return true;
    Sleep(1);
  }
  return false;
}

bool ResolveBelow(std::string_view data_dir, std::string_view name,
                            std::string* resolved_r) {
  if (name.empty() || data_dir.empty()) return false;
  std::string rest(name);
  const std::string base = Upper(data_dir);
  const bool absolute = IsSeparator(rest.front()) || (rest.size() >= 2 && rest[1] == ':');
  if (absolute) {
    std::string upper = Upper(rest);
    std::string prefix = base;
    if (prefix.back() != '/') prefix += '/';
    if (upper == base || upper == prefix) {
      rest.clear();
    } else if (upper.compare(0, prefix.size(), prefix) == 0) {
      rest = rest.substr(prefix.size());
    } else {
      return false;
    }
  }
  // Walk the pieces: ".." may never climb above the data directory.
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::string piece = rest.substr(start, end - start);
    if (piece == "..") {
      if (pieces.empty()) return false;
      pieces.pop_back();
    } else if (!piece.empty() && piece != ".") {
      pieces.push_back(piece);
    }
    start = end + 1;
  }
  std::string resolved(data_dir);
  for (const std::string& piece : pieces) resolved = foundation::JoinPath(resolved, piece);
  *resolved_r = resolved;
  return true;
}

namespace {

// The path with every link followed; false when it cannot be opened.
bool FinalPath(const std::string& path, std::string* final_r) {
  foundation::UniqueHandle handle(CreateFile(path.c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                             nullptr));
  if (!handle.valid()) return false;
  char buffer[4 * MAX_PATH];
  const DWORD length = GetFinalPathNameByHandle(handle.get(), buffer, sizeof buffer,
                                                FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length >= sizeof buffer) return false;
  std::string path_found(buffer, length);
  if (path_found.rfind("\\\\?\\", 0) == 0) path_found.erase(0, 4);
  *final_r = std::move(path_found);
  return true;
}

}  // namespace

bool RealPathBelow(const std::string& data_dir, const std::string& path, std::string* real_r) {
  std::string real_base;
  if (!FinalPath(data_dir, &real_base)) real_base = data_dir;
  std::string real;
  if (!FinalPath(path, &real)) {
    // Nothing there to follow: the open that comes next says what is wrong.
    *real_r = path;
    return true;
  }
  return ResolveBelow(real_base, real, real_r);
}

}  // namespace vtsweep
