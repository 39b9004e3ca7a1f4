// NAME
//      vtquarantine - look after the quarantine databases after a false alarm
//
// SYNOPSIS
//      vtquarantine [--root DIR] list [--json]
//      vtquarantine [--root DIR] show ID
//      vtquarantine [--root DIR] export ID FILE
//      vtquarantine [--root DIR] release ID [--by NAME]
//      vtquarantine [--root DIR] delete ID
//      vtquarantine [--root DIR] purge --older-than DAYS
//      vtquarantine [--root DIR] import
//
// DESCRIPTION
//      When the engine asks for it, the real-time extension copies an infected mail into
//      each quarantine database before the verdict is applied. vtquarantine is how an
//      administrator gets at those copies:
//
//      list     one line per copy: its ID, the date the mail was posted, the sender, the
//               recipients, the subject, the virus the engine named, the size in bytes, and
//               "released" once it was; --json writes the same as a JSON array, with the
//               mail each copy was made from ("origin": the copies of one mail share it).
//      show     the copy's details, its attachments and its release record.
//      export   writes the copy as an RFC 822 message into FILE, which must not exist.
//      release  sends the mail to its intended recipients (the router's recipient list of
//               the original, else its To, Cc and Bcc) by putting it into the router mail
//               box mail.box, and records who released it (--by NAME, else the login name),
//               when, and from which copy, in every copy of the same mail in every
//               quarantine database. A mail is released once: releasing another of its
//               copies is refused, and so is a release while a quarantine database cannot
//               be searched for its copies.
//      delete   deletes the copy.
//      purge    deletes every copy put into quarantine more than DAYS days ago.
//      import   brings the originals that the extension kept on disk when a quarantine copy
//               could not be written (<install>/Quarantine/*.eml, and *.nsf as older
//               versions kept them) into every quarantine database, each once; a file is
//               removed only after every database holds its mail.
//
//      An ID names a copy as DATABASE:NOTEID, the note ID in hexadecimal as list prints it
//      (vtquaran.nsf:8FA); with one quarantine database the note ID alone will do. Only
//      the copies the extension made are quarantine copies: documents that carry this
//      installation's mark (X-Vantrel equal to VantrelID) and the item VtOriginalMail naming
//      the mail they were copied from (copies made before that item existed: the mark and
//      no Form item, or a VirusName or ImportedFrom item). Warning mails and released mails
//      carry the mark but are no copies, so a quarantine database may be an administrator's
//      own mail database: every other ID is refused and nothing is changed.
//
//      A released mail is NOT scanned again. It carries the installation's mark, X-Vantrel
//      equal to [General] VantrelID of vantrel.ini, and the extension passes every mail
//      with that mark unscanned, as it does its own warning mails. Release only a mail
//      you have judged a false alarm.
//
// OPTIONS
//      --root DIR   the machine's root (default: VT_SYSROOT)
//
// FILES
//      <root>/windows/win.ini         [Vantrel] InstallDirectory: the install directory
//      <install>/vantrel.ini          [General] VantrelID: the installation's mark
//      <install>/Quarantine/*.eml     originals kept after a failed quarantine copy (*.nsf
//                                     from older versions), each with its record *.eml.info
//                                     (virus, the mail's identity, the router's recipients)
//      <data>/vtquaran.nsf            the default quarantine database
//      <data>/mail.box                where released mail goes to the router
//      named objects: VtQuarantineMutex (held by release, delete, purge and import)
//
// CONFIGURATION
//      VTADMINDB (registry, HKLM\SOFTWARE\Veltrane\Vantrel For Lotus Notes): the quarantine
//      databases, comma-separated, relative to the Notes data directory; vtquaran.nsf when
//      it is not set.
//
// DIAGNOSTICS
//      Failures on standard error, one line each, naming the copy and the reason (an ID
//      that is not a quarantine copy, a copy released already, a database that cannot be
//      opened, with the Notes status text). Exit status 0 on success, 1 on a failure, 2 for
//      a bad command line.
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"
#include "platform/win32/machine.h"
#include "vtsetup/quarantine/quarantine.h"

namespace {

constexpr const char kUsage[] =
    "usage: vtquarantine [--root DIR] COMMAND\n"
    "  list [--json]               the quarantine copies\n"
    "  show ID                     one copy in detail\n"
    "  export ID FILE              the copy as an RFC 822 message (FILE must not exist)\n"
    "  release ID [--by NAME]      send the mail to its recipients, unscanned, once\n"
    "  delete ID                   delete the copy\n"
    "  purge --older-than DAYS     delete copies older than DAYS days\n"
    "  import                      bring in originals kept under <install>/Quarantine\n"
    "ID: DATABASE:NOTEID (hexadecimal, as list prints it), or NOTEID with one database.\n"
    "A released mail carries the installation's mark and is not scanned again.\n";

// The longest number of days purge accepts: beyond it the cut-off would leave the calendar.
constexpr long kMaxDays = 100000;

int Usage(const std::string& what) {
  std::fprintf(stderr, "vtquarantine: %s\n%s", what.c_str(), kUsage);
  return 2;
}

int Failure(const std::string& what) {
  std::fprintf(stderr, "vtquarantine: %s\n", what.c_str());
  return 1;
}

std::string DateText(long long unix_seconds) {
  if (unix_seconds == 0) return "-";
  std::time_t time = static_cast<std::time_t>(unix_seconds);
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
  return text;
}

std::string Joined(const std::vector<std::string>& values, const char* separator) {
  std::string text;
  for (const std::string& value : values) text += (text.empty() ? "" : separator) + value;
  return text;
}

// A value on one line of the listing: control characters shown as '?'.
std::string OneLine(std::string_view text) {
  std::string line;
  for (char c : text) line += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  return line.empty() ? "-" : line;
}

std::string Json(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonList(const std::vector<std::string>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + Json(values[i]);
  return out + "]";
}

std::string JsonCopy(const vtquarantine::CopySummary& copy) {
  return "{\"id\": " + Json(vtquarantine::FormatId(copy.id)) +
         ", \"database\": " + Json(copy.id.database) +
         ", \"noteid\": " + std::to_string(copy.id.note_id) +
         ", \"date\": " + Json(DateText(copy.posted_unix)) +
         ", \"posted\": " + std::to_string(copy.posted_unix) +
         ", \"quarantined\": " + std::to_string(copy.copied_unix) +
         ", \"from\": " + Json(copy.from) + ", \"recipients\": " + JsonList(copy.recipients) +
         ", \"subject\": " + Json(copy.subject) + ", \"virus\": " + Json(copy.virus) +
         ", \"size\": " + std::to_string(copy.size_bytes) +
         ", \"attachments\": " + JsonList(copy.attachments) +
         ", \"origin\": " + Json(copy.origin) + ", \"released_by\": " + Json(copy.released_by) +
         ", \"released\": " + std::to_string(copy.released_unix) + "}";
}

int List(const vtquarantine::Settings& settings, bool json) {
  std::vector<vtquarantine::CopySummary> copies;
  std::string error;
  const bool all_read = vtquarantine::ListCopies(settings, &copies, &error);
  if (json) {
    std::printf("[");
    for (std::size_t i = 0; i < copies.size(); ++i)
      std::printf("%s\n  %s", i ? "," : "", JsonCopy(copies[i]).c_str());
    std::printf("%s]\n", copies.empty() ? "" : "\n");
  } else {
    for (const vtquarantine::CopySummary& copy : copies) {
      std::printf("%-20s %-16s %-28s %-28s %-30s %-20s %9lu%s\n",
                  vtquarantine::FormatId(copy.id).c_str(), DateText(copy.posted_unix).c_str(),
                  OneLine(copy.from).c_str(), OneLine(Joined(copy.recipients, ",")).c_str(),
                  OneLine(copy.subject).c_str(), OneLine(copy.virus).c_str(), copy.size_bytes,
                  copy.released_by.empty() ? "" : "  released");
    }
  }
  return all_read ? 0 : Failure(error);
}

int Show(const vtquarantine::Settings& settings, const vtquarantine::CopyId& id) {
  vtquarantine::CopySummary copy;
  std::string error;
  if (!vtquarantine::ShowCopy(settings, id, &copy, &error)) return Failure(error);
  std::printf("ID:          %s\n", vtquarantine::FormatId(copy.id).c_str());
  std::printf("Date:        %s\n", DateText(copy.posted_unix).c_str());
  std::printf("Quarantined: %s\n", DateText(copy.copied_unix).c_str());
  std::printf("From:        %s\n", OneLine(copy.from).c_str());
  std::printf("Recipients:  %s\n", OneLine(Joined(copy.recipients, ", ")).c_str());
  std::printf("Subject:     %s\n", OneLine(copy.subject).c_str());
  std::printf("Virus:       %s\n", OneLine(copy.virus).c_str());
  std::printf("Size:        %lu bytes\n", copy.size_bytes);
  for (const std::string& name : copy.attachments)
    std::printf("Attachment:  %s\n", OneLine(name).c_str());
  if (!copy.imported_from.empty())
    std::printf("Imported:    from %s\n", OneLine(copy.imported_from).c_str());
  if (copy.released_by.empty()) {
    std::printf("Released:    no\n");
  } else {
    // Every copy of the mail records the release; the copy it was made from is named.
    std::string from;
    if (!copy.released_as.empty() && copy.released_as != vtquarantine::FormatId(copy.id))
      from = " from " + OneLine(copy.released_as);
    std::printf("Released:    %s by %s%s\n", DateText(copy.released_unix).c_str(),
                OneLine(copy.released_by).c_str(), from.c_str());
  }
  return 0;
}

std::string LoginName() {
  for (const char* variable : {"LOGNAME", "USER"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

// The commands' arguments, read before anything is opened.
struct Command {
  std::string name;
  std::vector<std::string> args;
  bool json = false;
  std::string released_by;
  long days = -1;
};

bool ParseDays(const std::string& text, long* days_r) {
  if (text.empty() || text.size() > 6) return false;
  long days = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    days = days * 10 + (c - '0');
  }
  if (days > kMaxDays) return false;
  *days_r = days;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Command command;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--root") {
      if (i + 1 >= argc) return Usage("--root needs a directory");
      ::setenv(vtplatform::kRootVariable, argv[++i], 1);
    } else if (arg == "--json") {
      command.json = true;
    } else if (arg == "--by") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return Usage("--by needs a name");
      command.released_by = argv[++i];
    } else if (arg == "--older-than") {
      if (i + 1 >= argc || !ParseDays(argv[i + 1], &command.days))
        return Usage("--older-than needs a number of days from 0 to " + std::to_string(kMaxDays));
      ++i;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return Usage("unknown option " + arg);
    } else if (command.name.empty()) {
      command.name = arg;
    } else {
      command.args.push_back(arg);
    }
  }
  struct Shape {
    const char* name;
    std::size_t args;
  };
  static constexpr Shape kShapes[] = {{"list", 0},   {"show", 1},  {"export", 2}, {"release", 1},
                                      {"delete", 1}, {"purge", 0}, {"import", 0}};
  if (command.name.empty()) return Usage("no command given");
  const Shape* shape = nullptr;
  for (const Shape& candidate : kShapes) {
    if (command.name == candidate.name) shape = &candidate;
  }
  if (shape == nullptr) return Usage("unknown command " + command.name);
  if (command.args.size() != shape->args)
    return Usage(command.name + " takes " + std::to_string(shape->args) + " argument(s)");
  if (command.json && command.name != "list") return Usage("--json goes with list only");
  if (!command.released_by.empty() && command.name != "release")
    return Usage("--by goes with release only");
  if ((command.days >= 0) != (command.name == "purge"))
    return Usage(command.name == "purge" ? "purge needs --older-than DAYS"
                                         : "--older-than goes with purge only");

  if (STATUS status = NotesInitExtended(argc, argv); status != NOERROR)
    return Failure("Unable to start the Notes runtime (status " + std::to_string(status) + ")");
  struct NotesTermination {
    ~NotesTermination() { NotesTerm(); }
  } termination;

  vtquarantine::Settings settings;
  std::string error;
  if (!vtquarantine::LoadSettings(&settings, &error)) return Failure(error);
  if (command.name == "list") return List(settings, command.json);
  if (command.name == "purge") {
    int deleted = 0;
    const bool done = vtquarantine::PurgeCopies(
        settings, command.days, static_cast<long long>(std::time(nullptr)), &deleted, &error);
    std::printf("%d cop%s deleted\n", deleted, deleted == 1 ? "y" : "ies");
    return done ? 0 : Failure(error);
  }
  if (command.name == "import") {
    vtquarantine::ImportReport report;
    const bool done = vtquarantine::ImportKeptMail(settings, &report);
    for (const std::string& file : report.imported) std::printf("imported %s\n", file.c_str());
    for (const std::string& failure : report.failed)
      std::fprintf(stderr, "vtquarantine: %s\n", failure.c_str());
    if (report.imported.empty() && report.failed.empty()) std::printf("nothing to import\n");
    return done ? 0 : 1;
  }

  vtquarantine::CopyId id;
  if (!vtquarantine::ParseId(command.args[0], settings, &id, &error)) return Failure(error);
  if (command.name == "show") return Show(settings, id);
  if (command.name == "export") {
    if (!vtquarantine::ExportCopy(settings, id, command.args[1], &error)) return Failure(error);
    std::printf("%s written to %s\n", vtquarantine::FormatId(id).c_str(), command.args[1].c_str());
    return 0;
  }
  if (command.name == "delete") {
    if (!vtquarantine::DeleteCopy(settings, id, &error)) return Failure(error);
    std::printf("%s deleted\n", vtquarantine::FormatId(id).c_str());
    return 0;
  }
  // release
  const std::string by = command.released_by.empty() ? LoginName() : command.released_by;
  NOTEID mailbox_id = 0;
  if (!vtquarantine::ReleaseCopy(settings, id, by, &mailbox_id, &error)) return Failure(error);
  std::printf("%s released by %s: note %X of %s\n", vtquarantine::FormatId(id).c_str(), by.c_str(),
              static_cast<unsigned>(mailbox_id), vtquarantine::kRouterMailBox);
  return 0;
}
