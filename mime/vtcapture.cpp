// NAME
//   vtcapture - do to one file what mail capture does, and show why
//
// SYNOPSIS
//   vtcapture [-v] mime RAWFILE JOBDIR
//   vtcapture [-v] uu INPUT JOBDIR
//   vtcapture tree RAWFILE
//   vtcapture --help
//
// DESCRIPTION
//   For administrators who want to see why the text of a mail came out as it did in a scan
//   job, vtcapture runs the capture steps on one file outside the mail server.
//
//   mime     parses RAWFILE (raw RFC 822/MIME text, as in a job's 0.bdx) and writes its
//            text parts into JOBDIR/0.bdy; each HTML part becomes a registered ".ATT" file
//            in JOBDIR with its "Attachment:" line in JOBDIR/0.hdf. When 0.bdy stays
//            missing or empty, the uuencode step runs on RAWFILE and, if it finds no block,
//            RAWFILE is copied to 0.bdy, as capture does for a mail without attachments.
//   uu       runs only the uuencode step: ordinary lines of INPUT go to JOBDIR/0.bdy, each
//            uuencoded block to a new ".ATT" file registered in JOBDIR/0.hdf.
//   tree     prints the part tree of RAWFILE: type/subtype, transfer encoding,
//            disposition, parameters, header and body offsets, sizes and line counts,
//            indented by depth.
//
//   JOBDIR is created when missing; files already in it are appended to, never truncated.
//   With -v the debug lines of the steps are printed too.
//
// FILES
//   JOBDIR/0.bdy   body text, lines ended by CR LF
//   JOBDIR/0.hdf   job header lines "Attachment: <job>\<file>,<display name>"
//   JOBDIR/*.ATT   HTML parts and decoded uuencoded blocks
//
// CONFIGURATION
//   None of its own. The uuencode step reads the maker value AllowMSB.
//
// DIAGNOSTICS
//   The log lines of the steps go to standard error. Exit status 0 on success, 1 when a
//   step failed (with a message), 2 for a wrong command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "foundation/uuencode.h"
#include "mime/body_struct.h"
#include "mime/text_extract.h"
#include "platform/win32/machine.h"
#include "platform/win32/windows.h"

namespace {

int g_verbosity = 0;

void PrintLogLine(int level, const char* text) {
  if (level <= g_verbosity) std::fprintf(stderr, "%s\n", text);
}

int Usage(FILE* out, int status) {
  std::fputs(
      "usage: vtcapture [-v] mime RAWFILE JOBDIR   write the text of a raw mail into a job\n"
      "       vtcapture [-v] uu INPUT JOBDIR       convert uuencoded blocks into a job\n"
      "       vtcapture tree RAWFILE               print the part tree of a raw mail\n"
      "       vtcapture --help\n",
      out);
  return status;
}

bool EnsureDirectory(const std::string& dir) {
  DWORD attributes = GetFileAttributes(dir.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return true;
  }
  if (CreateDirectory(dir.c_str(), nullptr)) return true;
  std::fprintf(stderr, "vtcapture: cannot create the job directory %s\n", dir.c_str());
  return false;
}

std::string Join(const std::string& dir, const char* name) {
  return dir + vtplatform::kPathSep + name;
}

void PrintParams(const char* label, const std::vector<mime::MimeParam>& params) {
  if (params.empty()) return;
  std::printf(" %s(", label);
  for (std::size_t i = 0; i < params.size(); ++i) {
    std::printf("%s%s=\"%s\"", i == 0 ? "" : "; ", params[i].attribute.c_str(),
                params[i].value.c_str());
  }
  std::printf(")");
}

void PrintTree(const mime::MimeBody& record, int depth, const char* role) {
  std::string encoding(mime::TrimHeader(record.encoding));
  std::printf("%*s%s%s/%s", depth * 2, "", role,
              record.type.empty() ? "-" : record.type.c_str(),
              record.subtype.empty() ? "-" : record.subtype.c_str());
  std::printf(" encoding=%s disposition=%s", encoding.empty() ? "-" : encoding.c_str(),
              record.disposition.empty() ? "-" : record.disposition.c_str());
  PrintParams("params", record.params);
  PrintParams("disposition-params", record.disposition_params);
  std::printf(
      " header=%lld+%lld fields=%lld lines=%lld done=%d body=%lld+%lld lines=%lld parts=%d%s\n",
      static_cast<long long>(record.header_offset), static_cast<long long>(record.header_bytes),
      static_cast<long long>(record.header_fields), static_cast<long long>(record.header_lines),
      record.header_done, static_cast<long long>(record.body_offset),
      static_cast<long long>(record.body_bytes), static_cast<long long>(record.body_lines),
      record.part_count, record.too_deep ? " (too deep: read as text)" : "");
  if (record.message) PrintTree(*record.message, depth + 1, "message: ");
  if (record.parts) {
    for (std::int32_t i = 0; i < record.parts->Count(); ++i) {
      PrintTree(*record.parts->Get(i), depth + 1, "");
    }
  }
}

int Tree(const std::string& raw) {
  std::unique_ptr<mime::MimeBody> root = mime::IMAPBODY_openfile(raw);
  if (!root) {
    std::fprintf(stderr, "vtcapture: %s has no readable body structure\n", raw.c_str());
    return 1;
  }
  PrintTree(*root, 0, "");
  return 0;
}

int Uu(const std::string& input, const std::string& job_dir) {
  if (!EnsureDirectory(job_dir)) return 1;
  bool found = false;
  if (foundation::ConvertUuncodeAttachment(job_dir, input, &found, true) != 0) {
    std::fprintf(stderr, "vtcapture: the uuencode step failed on %s\n", input.c_str());
    return 1;
  }
  std::printf("%s\n", found ? "uuencoded content converted" : "no uuencoded content");
  return 0;
}

int Mime(const std::string& raw, const std::string& job_dir) {
  if (!EnsureDirectory(job_dir)) return 1;
  std::string body = Join(job_dir, "0.bdy");
  std::unique_ptr<mime::MimeBody> root = mime::IMAPBODY_openfile(raw);
  if (!root) {
    std::fprintf(stderr, "vtcapture: %s has no readable body structure\n", raw.c_str());
    return 1;
  }
  int first = 1;
  int done = 0;
  if (mime::showBody(body, raw, root.get(), first, done) != 0) {
    std::fprintf(stderr, "vtcapture: writing the text parts failed\n");
    return 1;
  }
  mime::ReleaseMimeBody(root);
  if (mime::FileSize(body) > 0) {
    std::printf("text parts written to %s\n", body.c_str());
    return 0;
  }
  bool found = false;
  if (foundation::ConvertUuncodeAttachment(job_dir, raw, &found, true) != 0) {
    std::fprintf(stderr, "vtcapture: the uuencode step failed on %s\n", raw.c_str());
    return 1;
  }
  if (found) {
    std::printf("no text part; uuencoded content converted into %s\n", job_dir.c_str());
    return 0;
  }
  if (!CopyFile(raw.c_str(), body.c_str(), FALSE)) {
    std::fprintf(stderr, "vtcapture: cannot copy %s to %s\n", raw.c_str(), body.c_str());
    return 1;
  }
  std::printf("no text part; raw content copied to %s\n", body.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    int next = 1;
    while (next < argc && std::strcmp(argv[next], "-v") == 0) {
      ++g_verbosity;
      ++next;
    }
    mime::SetLogSink(PrintLogLine);
    if (next < argc && (std::strcmp(argv[next], "--help") == 0 || std::strcmp(argv[next], "-h") == 0)) {
      return Usage(stdout, 0);
    }
    int left = argc - next;
    if (left == 3 && std::strcmp(argv[next], "mime") == 0) return Mime(argv[next + 1], argv[next + 2]);
    if (left == 3 && std::strcmp(argv[next], "uu") == 0) return Uu(argv[next + 1], argv[next + 2]);
    if (left == 2 && std::strcmp(argv[next], "tree") == 0) return Tree(argv[next + 1]);
    return Usage(stderr, 2);
  } catch (...) {
    std::fprintf(stderr, "vtcapture: unexpected failure\n");
  }
  return 1;
}
