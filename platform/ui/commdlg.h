// commdlg.h - the open-file dialog, carried out as a dialog of the window stand-in.
//
// What it is for: the configuration console lets an administrator pick a mail database with
// "&Browse". GetOpenFileName shows a modal dialog "Open" (or lpstrTitle) over the owner with
// the folder being looked in, a list of its subfolders ("[name]", "[..]" for the parent) and
// of its files that match the filter, a "File name" edit and the buttons "&Open" and
// "Cancel". Picking a folder (Enter or Open on it) looks into it; a pattern typed into the
// edit (*.nsf) filters the list; Open on a file ends the dialog with its full path.
//
// The dialog's controls carry the identifiers Windows gives them, so a test finds them:
// kOpenFileFolder (the folder shown), kOpenFileList, kOpenFileName, IDOK, IDCANCEL.
//
// Ownership: the caller's OPENFILENAME and its buffers; nothing is kept after the call.
// Threads: a modal dialog on the calling thread, like DialogBoxParam.
#pragma once

#include "platform/ui/winuser.h"

#define OFN_READONLY 0x00000001
#define OFN_OVERWRITEPROMPT 0x00000002
#define OFN_HIDEREADONLY 0x00000004
#define OFN_NOCHANGEDIR 0x00000008
#define OFN_PATHMUSTEXIST 0x00000800
#define OFN_FILEMUSTEXIST 0x00001000
#define OFN_EXPLORER 0x00080000

#define CDERR_STRUCTSIZE 0x0001
#define CDERR_INITIALIZATION 0x0002
#define FNERR_BUFFERTOOSMALL 0x3003
#define FNERR_INVALIDFILENAME 0x3002

inline constexpr int kOpenFileFolder = 1088;  // stc4: the folder looked in
inline constexpr int kOpenFileList = 1120;    // lst1: subfolders and files
inline constexpr int kOpenFileName = 1152;    // edt1: the file name
inline constexpr int kOpenFileType = 1136;    // the filter's description

struct OPENFILENAME {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  LPCSTR lpstrFilter;  // pairs "Database\0*.NSF\0", ending in a second NUL
  LPSTR lpstrCustomFilter;
  DWORD nMaxCustFilter;
  DWORD nFilterIndex;    // 1-based; 0 takes the first pair
  LPSTR lpstrFile;       // in: initial file or folder\pattern; out: the chosen path
  DWORD nMaxFile;        // bytes of lpstrFile
  LPSTR lpstrFileTitle;  // out (optional): the file name alone
  DWORD nMaxFileTitle;
  LPCSTR lpstrInitialDir;
  LPCSTR lpstrTitle;
  DWORD Flags;
  WORD nFileOffset;     // out: where the file name starts in lpstrFile
  WORD nFileExtension;  // out: where the extension starts (0 when none)
  LPCSTR lpstrDefExt;
  LPARAM lCustData;
  void* lpfnHook;
  LPCSTR lpTemplateName;
};
using LPOPENFILENAME = OPENFILENAME*;

// TRUE with the chosen path in lpstrFile; FALSE when cancelled or on an error, which
// CommDlgExtendedError then names (0 for a cancel; FNERR_BUFFERTOOSMALL when the path does
// not fit in nMaxFile bytes, whose first two bytes then hold the size needed).
BOOL GetOpenFileName(LPOPENFILENAME open_file);
DWORD CommDlgExtendedError();
