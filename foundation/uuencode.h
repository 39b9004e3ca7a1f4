// uuencode.h - turning uuencoded blocks of a mail's text into attachments of a scan job.
//
// What it is for: a mail whose text carries classic uuencoded files ("begin" line, data,
// "end" line), yEnc files ("=ybegin" to "=yend", yenc.h) or BinHex 4.0 files (binhex.h)
// must reach the scanning engine with those files as attachments of their own.
// ConvertUuncodeAttachment copies the ordinary lines of one input file to the job's body
// file 0.bdy, decodes every block into a new "<8 digits>.ATT" file in the job directory and
// registers it in the job header 0.hdf with an "Attachment: <job>\<file>,<name>" line.
//
// Ownership: the input stays the caller's (the caller decides whether to delete it); the
// decoded files belong to the job directory. Locks: none; one job directory is converted
// by one thread at a time. Memory stays bounded: lines are cut at kUuLineBytes and output
// is written as it is decoded.
#pragma once

#include <string>
#include <string_view>

namespace foundation {

// Line buffer of the conversion: the part of a longer line beyond it is read and dropped.
inline constexpr std::size_t kUuLineBytes = 990;
// File names of "begin" lines are looked at up to this many characters.
inline constexpr std::size_t kUuNameChars = 255;
// Opening the input is tried this many times, kUuOpenRetryMs apart, while another process
// holds it.
inline constexpr int kUuOpenAttempts = 21;
inline constexpr int kUuOpenRetryMs = 100;

struct UuConvertOptions {
  bool register_headers = true;  // write the "Attachment:" lines into 0.hdf
  bool allow_msb = false;        // keep trailing bytes above 127 in display names
  // The input is a job's body text 0.bdy as the text writer made it: its lines are kept as
  // they are (no dot or blank removed, no line cut) and uuencoded blocks stay text.
  bool body_text = false;
};

// Converts input_path into the job directory job_dir (0.bdy and 0.hdf there are appended
// to, never truncated). found_r, when given, is set to true when at least one block was
// decoded into a non-empty attachment (it is never cleared: callers clear it beforehand).
// Returns 0, or -1 when the input cannot be opened, 0.bdy cannot be opened or a header
// line cannot be written. The maker value "AllowMSB" decides allow_msb.
[[nodiscard]] int ConvertUuncodeAttachment(std::string_view job_dir, std::string_view input_path,
                                           bool* found_r, bool register_headers);

// The same with explicit options.
[[nodiscard]] int ConvertUuncodeAttachment(std::string_view job_dir, std::string_view input_path,
                                           bool* found_r, const UuConvertOptions& options);

// Turns the yEnc and BinHex blocks of the body text job_dir/0.bdy (the mail's text parts as
// the text writer put them there) into registered attachments, as ConvertUuncodeAttachment
// does, and keeps the rest of the text in 0.bdy. A body without such blocks is not touched.
// found_r as above. Returns 0, or -1 when the body could not be rewritten; it is then left
// as it was.
[[nodiscard]] int ConvertEncodedBodyText(std::string_view job_dir, bool* found_r);

// The display name of a "begin" line's file name: trimmed, trailing punctuation and
// separators removed (and bytes above 127 unless allow_msb), every dot but the last made
// an underscore, quotes and separators left out, commas made underscores, lower case.
[[nodiscard]] std::string UuDisplayName(std::string_view file_name, bool allow_msb);

}  // namespace foundation
