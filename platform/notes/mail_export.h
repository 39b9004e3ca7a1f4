// mail_export.h - a mail note written back as an RFC 822 message.
//
// What it is for
//   `nsf export` and the tests that hold a stored mail against the message it came from. A
//   MIME note (mail_import.h) is written as it arrived: the header lines kept in
//   $MailHeaders, then its Body items in order, each attachment part's content read from its
//   $FILE object and encoded again in the part's transfer encoding (base64 in lines of 76).
//   A note with a rich-text or plain-text body (Notes mail, or a mail whose body was
//   replaced) becomes a MIME message of its own: its header items as header lines, the body
//   text as a quoted-printable text/plain part, and every $FILE attachment as a base64 part
//   of a multipart/mixed message.
//
// Ownership and threads
//   The caller's note is only read. Content streams through `write` in pieces, so a message
//   of any size is written in bounded memory. Any thread that initialised Notes.

#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/notes/notes_nsf.h"

namespace mail_export {

// Receives the message in pieces, in order; false stops the export (ERR_FILE_IO).
using MessageWriter = std::function<bool(std::string_view piece)>;

// `error_r`, when not null, receives a reason for a failure.
[[nodiscard]] STATUS ExportMail(NOTEHANDLE note, const MessageWriter& write,
                                std::string* error_r);
// To a file (created or replaced); a file left half-written by a failure is removed.
[[nodiscard]] STATUS ExportMailFile(NOTEHANDLE note, const char* path, std::string* error_r);

}  // namespace mail_export
