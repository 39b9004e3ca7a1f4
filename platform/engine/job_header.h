// job_header.h - reading a scan job's header and finding its files.
//
// A job header (`0.hdr` of a real-time job, `<NoteID>.hdr` of a database-scanner job) is a
// list of "Key: value" lines. The engine reads it with the same rules the system's own
// reader applies to result headers: lines end at CR or LF, are cut at kMaxHeaderLine
// characters, are trimmed, split at the first colon; keys compare without case; lines with
// an empty value are skipped. Stricter than that reader, it refuses a header that holds a
// line without a key, a key it does not know, or a key other than Attachment twice: the
// system writes each line once, so such a header was broken by a value from the mail, and
// no line of it can be trusted to say what the mail holds. Paths in the header are
// relative to the IN directory and begin with the job directory's name ("8f6\0.bdy");
// either separator is accepted.
//
// Ownership: every function returns values; nothing here holds a resource beyond its call.
// Thread rules: none (pure functions and one file read).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtengine {

// The system's reader cuts header lines at this length; reading with the same limit keeps
// both sides agreeing on what a line says.
inline constexpr std::size_t kMaxHeaderLine = 4998;
// A header names a body, a sender, recipients and some attachments: a few kilobytes. One
// far larger than this is not a job header, and reading it whole would let a bad job
// exhaust the engine's memory.
inline constexpr std::size_t kMaxHeaderBytes = 4 * 1024 * 1024;

struct HeaderAttachment {
  std::string path;          // as written, relative to the IN directory
  std::string display_name;  // the file name the mail carries
  std::string value;         // the whole value, for names that hold a comma themselves
};

struct JobHeader {
  std::optional<std::string> body;  // relative path of the body text file
  std::vector<HeaderAttachment> attachments;
  std::string from;
  std::string subject;
  std::string to;  // comma-separated, kept whole
  std::string date;
  bool lotus_notes_mua = false;
  std::size_t recognised_lines = 0;  // lines with a key the engine knows
  std::size_t skipped_lines = 0;     // lines without a colon, key or value, or malformed
  std::string refusal;  // why the header is not to be scanned by; empty when it may be
};

// Parses header text. Never fails: what cannot be understood is counted in skipped_lines,
// and what makes the header untrustworthy is named in refusal.
[[nodiscard]] JobHeader ParseJobHeader(std::string_view text);

// Reads and parses the header file at `path`. Empty result with `error_r` set when the file
// cannot be read, is not a regular file, or exceeds kMaxHeaderBytes.
[[nodiscard]] std::optional<JobHeader> ReadJobHeader(const std::string& path, std::string* error_r);

// Resolves a header path against the IN directory. The path must stay inside the job
// directory `job_name`: its first element names that directory (compared without case,
// as the system's file names are), no element is "." or "..", it is not absolute and
// holds no drive letter. Returns the POSIX path below `in_dir`, or empty with `error_r`.
[[nodiscard]] std::optional<std::string> ResolveJobPath(const std::string& in_dir,
                                                        const std::string& job_name,
                                                        std::string_view rel_path,
                                                        std::string* error_r);

// Splits "path,name" at the last comma; empty when either side is empty or no comma.
[[nodiscard]] std::optional<HeaderAttachment> SplitAttachmentValue(std::string_view value);

// Every split of "path,name" at a comma, the last comma first. The system splits at the
// last comma, which goes wrong for a mail's file name that holds a comma ("a,b.doc");
// the engine tries each split and takes the one whose path names a file of the job.
[[nodiscard]] std::vector<HeaderAttachment> AttachmentSplits(std::string_view value);

// Splits a comma-separated recipient text into trimmed, non-empty entries.
[[nodiscard]] std::vector<std::string> SplitAddressList(std::string_view list);

// Trims blanks, tabs, CR and LF at both ends.
[[nodiscard]] std::string_view TrimLine(std::string_view text);

[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace vtengine
