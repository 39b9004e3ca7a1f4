// open_file.cpp - GetOpenFileName as a modal dialog: a folder's subfolders and matching files.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/ui/commdlg.h"

namespace {

namespace fs = std::filesystem;

thread_local DWORD last_error = 0;

struct Entry {
  std::string name;
  bool folder;
};

struct Browse {
  OPENFILENAME* request = nullptr;
  std::string folder;
  std::string patterns = "*";  // ';'-separated
  std::string type_name;
  std::vector<Entry> entries;
  std::string chosen;
};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

bool HasWildcard(const std::string& text) { return text.find_first_of("*?") != std::string::npos; }

// Splits a path at its last separator (either kind); the folder is empty when there is none.
void SplitAtLastSeparator(const std::string& path, std::string* folder, std::string* name) {
  size_t at = std::string::npos;
  for (size_t i = 0; i < path.size(); ++i) {
    if (IsSeparator(path[i])) at = i;
  }
  if (at == std::string::npos) {
    folder->clear();
    *name = path;
  } else {
    *folder = at == 0 ? "/" : path.substr(0, at);
    *name = path.substr(at + 1);
  }
}

std::string Normalized(const std::string& path) {
  std::string slashes = path;
  std::replace(slashes.begin(), slashes.end(), '\\', '/');
  std::string result = fs::path(slashes).lexically_normal().string();
  if (result.size() > 1 && result.back() == '/') result.pop_back();
  return result.empty() ? "." : result;
}

std::string Joined(const std::string& folder, const std::string& name) {
  if (!name.empty() && IsSeparator(name[0])) return Normalized(name);
  return Normalized(folder + "/" + name);
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributes(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFile(const std::string& path) {
  DWORD attributes = GetFileAttributes(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool LessNoCase(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

// The entries of a folder: "[..]" unless it is the top, its subfolders, then its files that
// match one of the patterns (names compared without case, as the platform's search does).
std::vector<Entry> ListFolder(const std::string& folder, const std::string& patterns) {
  std::vector<Entry> folders, files;
  WIN32_FIND_DATA found;
  HANDLE find = FindFirstFile((folder + "/*").c_str(), &found);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = found.cFileName;
      if (name == "." || !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) continue;
      if (name == ".." && folder == "/") continue;
      folders.push_back({name, true});
    } while (FindNextFile(find, &found));
    FindClose(find);
  }
  size_t start = 0;
  while (start <= patterns.size()) {
    size_t end = patterns.find(';', start);
    if (end == std::string::npos) end = patterns.size();
    std::string pattern = patterns.substr(start, end - start);
    start = end + 1;
    if (pattern.empty()) continue;
    find = FindFirstFile((folder + "/" + pattern).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) continue;
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      std::string name = found.cFileName;
      bool seen = std::any_of(files.begin(), files.end(),
                              [&name](const Entry& entry) { return entry.name == name; });
      if (!seen) files.push_back({name, false});
    } while (FindNextFile(find, &found));
    FindClose(find);
  }
  auto by_name = [](const Entry& a, const Entry& b) {
    if (a.name == "..") return b.name != "..";
    if (b.name == "..") return false;
    return LessNoCase(a.name, b.name);
  };
  std::sort(folders.begin(), folders.end(), by_name);
  std::sort(files.begin(), files.end(), by_name);
  folders.insert(folders.end(), files.begin(), files.end());
  return folders;
}

void Fill(HWND dialog, Browse& browse) {
  browse.entries = ListFolder(browse.folder, browse.patterns);
  SetDlgItemText(dialog, kOpenFileFolder, browse.folder.c_str());
  HWND list = GetDlgItem(dialog, kOpenFileList);
  SendMessage(list, LB_RESETCONTENT, 0, 0);
  for (const Entry& entry : browse.entries) {
    std::string shown = entry.folder ? "[" + entry.name + "]" : entry.name;
    SendMessage(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
  }
}

const Entry* SelectedEntry(HWND dialog, const Browse& browse) {
  LRESULT index = SendDlgItemMessage(dialog, kOpenFileList, LB_GETCURSEL, 0, 0);
  if (index < 0 || static_cast<size_t>(index) >= browse.entries.size()) return nullptr;
  return &browse.entries[static_cast<size_t>(index)];
}

void LookInto(HWND dialog, Browse& browse, const std::string& folder) {
  browse.folder = Normalized(folder);
  SetDlgItemText(dialog, kOpenFileName, "");
  Fill(dialog, browse);
}

std::string Title(const Browse& browse) {
  return browse.request->lpstrTitle ? browse.request->lpstrTitle : "Open";
}

// "&Open" (or Enter): a folder is looked into, a pattern filters, a file ends the dialog.
void Open(HWND dialog, Browse& browse) {
  int length = GetWindowTextLength(GetDlgItem(dialog, kOpenFileName));
  std::string text(static_cast<size_t>(length) + 1, '\0');
  text.resize(GetDlgItemText(dialog, kOpenFileName, text.data(), length + 1));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.erase(0, 1);
  if (text.empty()) {
    const Entry* entry = SelectedEntry(dialog, browse);
    if (entry && entry->folder) LookInto(dialog, browse, browse.folder + "/" + entry->name);
    return;
  }
  std::string folder, name;
  SplitAtLastSeparator(text, &folder, &name);
  if (HasWildcard(name)) {
    if (!folder.empty()) browse.folder = Joined(browse.folder, folder);
    browse.patterns = name;
    Fill(dialog, browse);
    return;
  }
  std::string full = Joined(browse.folder, text);
  if (IsFolder(full)) {
    LookInto(dialog, browse, full);
    return;
  }
  const OPENFILENAME& request = *browse.request;
  std::string file_folder, file_name;
  SplitAtLastSeparator(full, &file_folder, &file_name);
  if (request.lpstrDefExt && *request.lpstrDefExt && file_name.find('.') == std::string::npos &&
      !IsFile(full)) {
    full += std::string(".") + request.lpstrDefExt;
  }
  if ((request.Flags & (OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST)) && !IsFolder(file_folder)) {
    MessageBox(dialog, (text + "\nPath does not exist.\nCheck the path and try again.").c_str(),
               Title(browse).c_str(), MB_OK | MB_ICONWARNING);
    return;
  }
  if ((request.Flags & OFN_FILEMUSTEXIST) && !IsFile(full)) {
    MessageBox(dialog, (text + "\nFile not found.\nCheck the file name and try again.").c_str(),
               Title(browse).c_str(), MB_OK | MB_ICONWARNING);
    return;
  }
  browse.chosen = full;
  EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK OpenFileProcedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* browse = reinterpret_cast<Browse*>(GetWindowLongPtr(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      browse = reinterpret_cast<Browse*>(lparam);
      SetWindowLongPtr(dialog, DWLP_USER, lparam);
      SetDlgItemText(dialog, kOpenFileType, browse->type_name.c_str());
      Fill(dialog, *browse);
      SetFocus(GetDlgItem(dialog, kOpenFileName));
      return FALSE;
    }
    case WM_COMMAND:
      if (!browse) return FALSE;
      switch (LOWORD(wparam)) {
        case kOpenFileList:
          if (HIWORD(wparam) == LBN_SELCHANGE) {
            const Entry* entry = SelectedEntry(dialog, *browse);
            if (entry)
              SetDlgItemText(dialog, kOpenFileName, entry->folder ? "" : entry->name.c_str());
          } else if (HIWORD(wparam) == LBN_DBLCLK) {
            Open(dialog, *browse);
          }
          return TRUE;
        case IDOK:
          Open(dialog, *browse);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, IDCANCEL);
          return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

DLGTEMPLATE OpenFileTemplate(const std::string& title) {
  return DLGTEMPLATE{
      title,
      DS_MODALFRAME | DS_CENTER | WS_CAPTION | WS_SYSMENU,
      240,
      132,
      "MS Sans Serif",
      8,
      {{"STATIC", "Look in:", IDC_STATIC, 0, 4, 4, 40, 8},
       {"STATIC", "", kOpenFileFolder, 0, 48, 4, 188, 8},
       {"LISTBOX", "", kOpenFileList, LBS_NOTIFY | WS_VSCROLL | WS_TABSTOP, 4, 16, 232, 72},
       {"STATIC", "File &name:", IDC_STATIC, 0, 4, 92, 44, 8},
       {"EDIT", "", kOpenFileName, ES_AUTOHSCROLL | WS_TABSTOP, 52, 92, 184, 8},
       {"STATIC", "Files of type:", IDC_STATIC, 0, 4, 104, 56, 8},
       {"STATIC", "", kOpenFileType, 0, 64, 104, 172, 8},
       {"BUTTON", "&Open", IDOK, BS_DEFPUSHBUTTON | WS_TABSTOP, 120, 120, 50, 8},
       {"BUTTON", "Cancel", IDCANCEL, BS_PUSHBUTTON | WS_TABSTOP, 180, 120, 50, 8}}};
}

// The description and pattern of the filter pair chosen by nFilterIndex.
void ChooseFilter(const OPENFILENAME& request, Browse& browse) {
  const char* pair = request.lpstrFilter;
  if (!pair) return;
  DWORD wanted = request.nFilterIndex ? request.nFilterIndex : 1;
  for (DWORD index = 1; *pair; ++index) {
    const char* pattern = pair + std::strlen(pair) + 1;
    if (!*pattern) return;  // a description without its pattern ends the list
    if (index == wanted) {
      browse.type_name = pair;
      browse.patterns = pattern;
      return;
    }
    pair = pattern + std::strlen(pattern) + 1;
  }
}

}  // namespace

DWORD CommDlgExtendedError() { return last_error; }

BOOL GetOpenFileName(LPOPENFILENAME request) {
  last_error = 0;
  if (!request || request->lStructSize != sizeof(OPENFILENAME)) {
    last_error = CDERR_STRUCTSIZE;
    return FALSE;
  }
  if (!request->lpstrFile || request->nMaxFile == 0) {
    last_error = CDERR_INITIALIZATION;
    return FALSE;
  }
  Browse browse;
  browse.request = request;
  ChooseFilter(*request, browse);
  // The initial file may name a folder and a pattern ("...\Data\mail\*.nsf") or a file.
  std::string initial(request->lpstrFile, strnlen(request->lpstrFile, request->nMaxFile));
  std::string folder, name;
  SplitAtLastSeparator(initial, &folder, &name);
  if (folder.empty() && request->lpstrInitialDir) folder = request->lpstrInitialDir;
  if (folder.empty() || !IsFolder(Normalized(folder))) {
    char current[MAX_PATH];
    folder = GetCurrentDirectory(sizeof current, current) ? current : ".";
  }
  browse.folder = Normalized(folder);
  if (HasWildcard(name)) {
    browse.patterns = name;
    name.clear();
  }

  DLGTEMPLATE dialog = OpenFileTemplate(request->lpstrTitle ? request->lpstrTitle : "Open");
  for (DLGITEMTEMPLATE& item : dialog.items) {
    if (item.id == kOpenFileName) item.text = name;
  }
  INT_PTR result = DialogBoxIndirectParam(nullptr, &dialog, request->hwndOwner, OpenFileProcedure,
                                          reinterpret_cast<LPARAM>(&browse));
  if (result != IDOK) return FALSE;

  const std::string& chosen = browse.chosen;
  if (chosen.size() + 1 > request->nMaxFile) {
    // As Windows does: the size needed in the first two bytes, when they are there.
    if (request->nMaxFile >= 2) {
      WORD needed = static_cast<WORD>(std::min<size_t>(chosen.size() + 1, 0xFFFF));
      std::memcpy(request->lpstrFile, &needed, sizeof needed);
    }
    last_error = FNERR_BUFFERTOOSMALL;
    return FALSE;
  }
  std::memcpy(request->lpstrFile, chosen.c_str(), chosen.size() + 1);
  size_t slash = chosen.find_last_of('/');
  size_t offset = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = chosen.find_last_of('.');
  request->nFileOffset = static_cast<WORD>(std::min<size_t>(offset, 0xFFFF));
  request->nFileExtension = dot == std::string::npos || dot < offset
                                ? 0
                                : static_cast<WORD>(std::min<size_t>(dot + 1, 0xFFFF));
  if (request->lpstrFileTitle && request->nMaxFileTitle > 0) {
    std::string title = chosen.substr(offset).substr(0, request->nMaxFileTitle - 1);
    std::memcpy(request->lpstrFileTitle, title.c_str(), title.size() + 1);
  }
  return TRUE;
}
