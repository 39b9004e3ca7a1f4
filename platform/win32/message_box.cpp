// message_box.cpp - MessageBox without a desktop: the box becomes a line on standard error,
// unless the window stand-in has taken the boxes over.
#include <atomic>
#include <cstdio>

#include "platform/win32/windows.h"

namespace {
std::atomic<VtMessageBoxHandler> message_box_handler{nullptr};
}  // namespace

void VtSetMessageBoxHandler(VtMessageBoxHandler handler) { message_box_handler.store(handler); }

int MessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (VtMessageBoxHandler handler = message_box_handler.load()) {
    return handler(owner, text, caption, type);
  }
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
