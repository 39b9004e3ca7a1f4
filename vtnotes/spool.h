// spool.h - the scan job spool: job names, job directories, the job header and the
// result files the engine answers with.
//
// What it is for: the extension and the engine meet only in two spool directories (IN and
// OUT below the install directory), one named mutex and one named event per job. This unit
// names a job after its note (JobId: the mailbox number and the note ID in hexadecimal),
// writes the job header 0.hdf and publishes it by renaming it to 0.hdr, reads result
// headers (*.hd0) and warning jobs (*.hdx) back into a MailInfo, and empties spool trees.
// Paths written inside spool files use a backslash ("8f6\0.bdy"); on disk the platform
// separator joins them; readers accept both.
//
// Names that come from the engine (Body and Attachment values) are resolved below the
// OUT directory only: an absolute name or one that climbs out with ".." is refused and
// logged, so a damaged or hostile answer cannot make the extension attach, copy or delete
// a file elsewhere on the machine.
//
// Ownership: MailInfo and its attachment list are plain values owned by whoever holds them.
// Locks: none. One job directory is written by one router thread at a time (the job mutex
// and the JobList see to that, note_open.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes_types.h"

namespace vtnotes {

// Appended to the JobId to name the job mutex and the JobRecord.
inline constexpr const char* kJobMutexSuffix = "a90z";
// Appended to the JobId to name the job event (lower case, no prefix).
inline constexpr const char* kJobEventSuffix = "x";
// The database scanner's job directory under IN and OUT, never touched by the extension.
inline constexpr const char* kScanDatabaseDir = "ScanDatabase";
// MakePerfectPathName keeps at most this many characters.
inline constexpr std::size_t kMaxCleanName = 257;
// ReadFromFile reads lines in pieces of at most this many characters.
inline constexpr std::size_t kMaxHeaderLine = 4998;
// Field limits of a MailInfo.
inline constexpr std::size_t kMaxFromChars = 256;
inline constexpr std::size_t kMaxSubjectChars = 998;
inline constexpr std::size_t kMaxPostedDateChars = 100;

struct AttachmentNode {
  std::string display_name;  // the name the mail shows (up to 260 characters)
  std::string file_path;     // the spool file holding it (up to 260 characters)
};

// The captured description of one mail, or the content of a result header.
struct MailInfo {
  std::string header_path;    // OUT job directory + 0.hdr
  std::string body_path;      // 0.bdy of the IN job, or the result body under OUT
  std::string raw_body_path;  // 0.bdx of the IN job
  std::vector<AttachmentNode> attachments;  // in note (or file) order
  std::string posted_date;
  std::string recipients;  // entries joined by ','
  std::string from;
  std::string subject;
  bool notes_client = false;
};

// Joins two path pieces with the platform separator.
[[nodiscard]] std::string JoinPath(std::string_view directory, std::string_view name);

// The mailbox number of a router mail box path: cut after the first four characters and at
// the next '.' ("mail2.box" -> "2", "mail.box" -> ""). A path of four characters or fewer
// gives "" and logs "unable to get mail box number for creating folder".
[[nodiscard]] std::string MailboxNumber(std::string_view canonical_path);

// True when the database path names a router mail box (holds both "mail" and ".box").
[[nodiscard]] bool IsRouterMailBox(std::string_view canonical_path);

// Drops '"', '*', '/', ':', '<', '>', '?', '\' and '|' and keeps at most kMaxCleanName
// characters. An empty input logs "ERROR!!! MakePerfactPathName()...str is NULL".
[[nodiscard]] std::string MakePerfectPathName(std::string_view text);

// JobId: mailbox number + note ID in lower-case hexadecimal, cleaned. Empty on failure.
[[nodiscard]] std::string MakeJobId(std::string_view mailbox_number, NOTEID note_id);
[[nodiscard]] std::string JobMutexName(std::string_view job_id);
[[nodiscard]] std::string JobEventName(std::string_view job_id);

// "<last directory name>\<file name>" of a full path, as spool files name their files.
[[nodiscard]] std::string SpoolRelativePath(std::string_view full_path);

// The To value of a job header: entries split at ',', '"', '<' and '>' removed from each,
// empty entries dropped, joined by ','.
[[nodiscard]] std::string HeaderRecipientList(std::string_view recipients);

// Writes the job header into in_job_dir/0.hdf (appending to lines already there) and
// publishes it by renaming it to 0.hdr. Sets info.header_path. 0 on success, 1 on failure
// (logged). size_r receives the size written on the Size line.
[[nodiscard]] int CreateHeaderFile(MailInfo& info, std::string_view in_job_dir,
                                   std::string_view out_job_dir, std::string_view job_id,
                                   std::uint64_t* size_r);

// Resolves a name from an engine file below out_dir: false (and logs) when it is empty,
// absolute, or climbs out with "..". Backslashes count as separators.
[[nodiscard]] bool ResolveInsideOut(std::string_view out_dir, std::string_view relative,
                                    std::string* full_r);

// Reads a result header or warning job directory/name into info (replacing its content).
// Body and Attachment names resolve below out_dir. 0 = read, 100 = the file cannot be
// opened or holds no usable Body line, 1 = out of memory.
[[nodiscard]] int ReadFromFile(std::string_view directory, std::string_view name,
                               std::string_view out_dir, MailInfo& info);

// Empties a directory tree, sparing any subdirectory named ScanDatabase (any case), and
// removes the directory itself when remove_self. A directory that does not exist is left.
void DeleteTree(std::string_view directory, bool remove_self);

// Creates a directory and clears its archive attribute. False on failure (last error set).
// already_existed_r (when given) tells whether it failed because it existed.
[[nodiscard]] bool CreateSpoolDirectory(std::string_view path, bool* already_existed_r = nullptr);

// The first file name in directory matching the pattern (wildcards, any case); empty when
// there is none.
[[nodiscard]] std::string FindFirstMatch(std::string_view directory, std::string_view pattern);
// Every file name in directory matching the pattern, in the order the search returns them.
[[nodiscard]] std::vector<std::string> FindAllMatches(std::string_view directory,
                                                      std::string_view pattern);
[[nodiscard]] bool DirectoryExists(std::string_view path);
[[nodiscard]] bool FileExists(std::string_view path);
// Size of a file, -1 when it cannot be read.
[[nodiscard]] std::int64_t SpoolFileSize(std::string_view path);

}  // namespace vtnotes
