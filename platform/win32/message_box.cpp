// message_box.cpp - MessageBox without a desktop: the box becomes a line on standard error.
#include <cstdio>

#include "platform/win32/windows.h"

int MessageBox(HWND, LPCSTR text, LPCSTR caption, UINT type) {
  const char* body = text ? text : "";
  if (caption && *caption) {
    std::fprintf(stderr, "%s: %s\n", caption, body);
  } else {
    std::fprintf(stderr, "%s\n", body);
  }
  std::fflush(stderr);
  SetLastError(ERROR_SUCCESS);
  // The first button of each button set: OK for MB_OK and MB_OKCANCEL, Yes for MB_YESNO.
  return (type & 0xF) == MB_YESNO ? IDYES : IDOK;
}
