// router_test_hook.cpp - a hook library for the router tests. What it does to a mail is
// chosen by words in the mail's Subject, so one library serves every case:
//   "refuse"   note-open refuses the first two opens (status ERR_HOOK_REFUSED);
//   "change"   note-open sets X-Hooked on the opened copy, which is what gets delivered;
//   "spawn"    note-open writes, once, a new mail for bob into the same box;
//   "vanish"   note-open deletes the note itself and reports it deleted (582), as an
//              extension does with a mail it removes.
// Every open and every deletion (a note-update with UPDATE_DELETED) is appended to
// <root>/hook.log as "open <path> <id>" / "delete <path> <id> <flags>", so a test sees what
// the router did. The library only acts in the router task.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/notes/notes.h"
#include "platform/win32/windows.h"

namespace {

std::mutex g_mutex;
std::map<std::string, int> g_refusals;  // "<path>:<id>" -> opens refused so far
std::map<std::string, bool> g_spawned;

void Record(const std::string& line) {
  char root[MAX_PATH] = "";
  DWORD length = GetEnvironmentVariable("VT_SYSROOT", root, sizeof root);
  if (length == 0 || length >= sizeof root) return;
  std::string path = std::string(root) + "/hook.log";
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  (void)!::write(fd, text.data(), text.size());
  ::close(fd);
}

std::string PathOf(DBHANDLE db) {
  char path[MAXPATH] = "";
  if (NSFDbPathGet(db, path, nullptr) != NOERROR) return "?";
  return path;
}

std::string Key(DBHANDLE db, NOTEID id) { return PathOf(db) + ":" + std::to_string(id); }

STATUS OnOpen(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID id, NOTEHANDLE note, WORD) {
  std::string path = PathOf(db);
  if (path.find(".box") == std::string::npos) return NOERROR;
  char subject[256] = "";
  (void)NSFItemGetText(note, "Subject", subject, sizeof subject);
  char line[512];
  std::snprintf(line, sizeof line, "open %s %X %s", path.c_str(), static_cast<unsigned>(id),
                subject);
  Record(line);
  if (std::strstr(subject, "refuse") != nullptr) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_refusals[Key(db, id)]++ < 2) return ERR_HOOK_REFUSED;
  }
  if (std::strstr(subject, "change") != nullptr) {
    (void)NSFItemSetText(note, "X-Hooked", "changed by the open hook", MAXWORD);
  }
  if (std::strstr(subject, "spawn") != nullptr) {
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      first = !g_spawned[Key(db, id)];
      g_spawned[Key(db, id)] = true;
    }
    if (first) {
      NOTEHANDLE extra = NULLHANDLE;
      if (NSFNoteCreate(db, &extra) == NOERROR) {
        (void)NSFItemSetText(extra, "Form", "Memo", MAXWORD);
        (void)NSFItemSetText(extra, "Subject", "written by the hook", MAXWORD);
        (void)NSFItemSetText(extra, "From", "alice@example.com", MAXWORD);
        (void)NSFItemCreateTextList(extra, "Recipients", "bob@example.com", MAXWORD);
        (void)NSFItemCreateTextList(extra, "SendTo", "bob@example.com", MAXWORD);
        (void)NSFNoteUpdate(extra, 0);
        (void)NSFNoteClose(extra);
      }
    }
  }
  if (std::strstr(subject, "vanish") != nullptr) {
    (void)NSFNoteDelete(db, id, 0);
    return ERR_NOTE_DELETED;
  }
  return NOERROR;
}

STATUS OnUpdate(DBHOOKVEC*, char*, void*, DBHANDLE db, NOTEID id, NOTEHANDLE note,
                WORD* flags) {
  if (flags == nullptr || (*flags & UPDATE_DELETED) == 0) return NOERROR;
  char line[512];
  std::snprintf(line, sizeof line, "delete %s %X %X %s", PathOf(db).c_str(),
                static_cast<unsigned>(id), static_cast<unsigned>(*flags),
                note != NULLHANDLE ? "handle" : "nohandle");
  Record(line);
  return NOERROR;
}

}  // namespace

extern "C" STATUS MainEntryPoint(DBHOOKVEC* vector) {
  char program[MAX_PATH] = "";
  GetModuleFileName(nullptr, program, sizeof program);
  const char* name = std::strrchr(program, '/');
  name = name != nullptr ? name + 1 : program;
  if (strcasecmp(name, "nrouter") != 0 && strcasecmp(name, "nrouter.exe") != 0) return NOERROR;
  vector->NoteOpen = OnOpen;
  vector->NoteUpdate = OnUpdate;
  return NOERROR;
}
