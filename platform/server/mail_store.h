// mail_store.h - inbound RFC 822 mail written as a MIME mail note into a router mail box.
//
// What it is for: the one place where mail enters the server (the SMTP listener and the
// pickup directory both store through it). A message becomes a new document in mail.box with
// From, SendTo, CopyTo, BlindCopyTo, Subject, PostedDate, Recipients, $Mailer (when the
// sender named one), Form "Memo" and the whole message text as MIME Body items. The note is
// written with NSFNoteUpdate, so the note-update hooks of the calling process see it as a new
// note (note ID 0) before it is stored.
// Ownership: nothing is kept; the database is opened and closed per call.
// Locks: none of its own; the calling thread must have initialised the Notes runtime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"

namespace vtserver {

// The SMTP reverse-path of a mail; empty for the null path <>, which gets no reports.
inline constexpr const char* kOriginatorItem = "SMTPOriginator";

// The header fields a router and the mail box items need, unfolded, as the message gave them.
struct MailHeaders {
  std::string from;
  std::string to;
  std::string cc;
  std::string bcc;
  std::string subject;
  std::string date;
  std::string mailer;  // X-Mailer or User-Agent
};

// Reads the header block of an RFC 822 message (up to the first empty line). Header lines
// may end in CRLF or LF.
[[nodiscard]] MailHeaders ParseMailHeaders(std::string_view text);

// Splits an address list at commas outside quotes, angle brackets and comments; entries are
// trimmed, empty ones dropped.
[[nodiscard]] std::vector<std::string> SplitAddressList(std::string_view list);

// The bare address of one list entry: the text inside <...> when there is one, else the
// entry without a trailing (comment).
[[nodiscard]] std::string BareAddress(std::string_view entry);

// The RFC 5322 date ("Tue, 1 Dec 2026 10:00:00 +0100"), as Unix seconds; false when it
// cannot be read.
[[nodiscard]] bool ParseMailDate(std::string_view date, long long* unix_seconds_r);

// Writes text as a new mail note into mail_box (a database path as NSFDbOpen takes it).
// recipients are the envelope recipients; when empty, the bare addresses of To, Cc and Bcc
// are used (ERR_BAD_PARAM when there are none either). envelope_sender (null for mail
// without an envelope, as from the pickup directory) is kept in kOriginatorItem, where the
// router finds whom to send a non-delivery report to; it fills From when the message has no
// From header.
[[nodiscard]] STATUS StoreInboundMail(const char* mail_box, std::string_view text,
                                      const std::vector<std::string>& recipients,
                                      const std::string* envelope_sender, NOTEID* note_id_r);

}  // namespace vtserver
