// mail_import.h - an RFC 822 message turned into the items of a MIME mail note.
//
// What it is for
//   Mail that enters the machine as text (`nsf import`, the SMTP listener and the pickup
//   directory of the mail server) is stored in a mail box as the router would hold it:
//     Form "Memo"; From (text; the envelope sender when the header is missing); SendTo,
//     CopyTo, BlindCopyTo (text lists, one entry per address as written, when there are
//     any); Subject (text, encoded words decoded); PostedDate (time, from Date:, else the
//     time received); Recipients (text list of bare addresses: the envelope recipients when
//     given, else every To, Cc and Bcc address); $Mailer (X-Mailer or User-Agent, when
//     given); $MessageID (Message-ID, when given); $NoteHasNativeMIME "1"; MIME_Version;
//     and the message's MIME header lines (MIME-Version, Content-*) with its body as Body
//     items of TYPE_MIME_PART.
//   The Body items hold the MIME text as received, except the content of attachment parts
//   (a part with a file name, or whose type is not text, multipart or message): that goes,
//   decoded from its transfer encoding, into a $FILE object, and the part's own Body item
//   (flagged MIME_PART_BODY_IN_DBOBJECT) holds its header section and names the object, as
//   notes_nsf.h describes. Joined in order, the Body items give an RFC 822 text that a MIME
//   parser reads from the top, with the attachments' content left out. One item holds at
//   most kMimePartMaxBytes of text, so a larger text spans several Body items, cut after a
//   line end where one is near. The header lines of the message that are not MIME lines
//   are kept as written in the text item $MailHeaders, so that the message can be written
//   back (mail_export.h).
//   The message streams through: a block of it and one line are held at a time, and an
//   attachment is written into its object as it is decoded.
//
//   The parsing half (ParseMailHeaders and the address and date helpers) is pure; the
//   writing half goes through the Notes API into a note the caller has open.
//
// Ownership and threads
//   Results are values owned by the caller. ImportMail* write into the caller's note and
//   neither update nor close it. No shared state; any thread that initialised Notes.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes_nsf.h"

namespace mail_import {

// The header section is read into memory; a message whose header is longer than this is
// refused rather than read without bound (real header sections are a few KiB).
inline constexpr size_t kMaxHeaderBytes = 1024 * 1024;
// The text item that keeps the header lines of the message that are not MIME lines.
inline constexpr const char* kMailHeadersItem = "$MailHeaders";
// The number item that counts the parts whose content was kept inside the MIME text
// although they may be attachments (an attachment part past the import's limits, a part
// header section too long, multipart levels deeper than followed). @Attachments counts
// them while the note still has its MIME body, so a selection by attachments still finds a
// mail whose attachment could not be stored as a $FILE object. Absent when there are none.
inline constexpr const char* kTextAttachmentsItem = "$AttachmentsInMIMEText";
// Entries kept from one address header; further entries are dropped.
inline constexpr size_t kMaxAddresses = 1000;

struct HeaderField {
  std::string name;   // as written
  std::string value;  // unfolded (line ends inside removed), blanks trimmed at both ends
};

struct MailHeaders {
  std::vector<HeaderField> fields;  // in message order
  // The MIME-Version and Content-* lines exactly as written (folding and line ends kept).
  std::string mime_header;
  // The line end the header section uses ("\r\n" or "\n"), for the blank line that follows
  // mime_header when the Body items are written.
  std::string line_end = "\r\n";
  // Offset of the body: the first byte after the blank line that ends the header section.
  size_t body_offset = 0;

  // The value of the first field called `name` (compared without case), or null.
  [[nodiscard]] const std::string* Find(std::string_view name) const;
};

// Parses the header section at the start of `message` (which may hold only its beginning,
// as long as the blank line is in it or `message` is the whole text). A text without a
// header section (its first line is not "Name: value") has no fields and is all body.
// Returns false with a reason when the header section is longer than kMaxHeaderBytes.
[[nodiscard]] bool ParseMailHeaders(std::string_view message, bool whole_message,
                                    MailHeaders* headers_r, std::string* error_r);

// Splits an address header value at the commas that separate its entries (not those in
// quotes, comments or angle brackets); group names ("team: a@x, b@y;") are dropped. Entries
// come back trimmed, empty ones dropped.
[[nodiscard]] std::vector<std::string> SplitAddressList(std::string_view value);

// The bare address of one entry: the text in angle brackets when there is one, else the
// entry without comments; blanks trimmed.
[[nodiscard]] std::string BareAddress(std::string_view entry);

// RFC 822/2822 date ("Mon, 7 Dec 2026 21:09:16 +0100", the day name and seconds optional,
// obsolete zone names accepted) to seconds since 1970 UTC; nullopt when unreadable.
[[nodiscard]] std::optional<int64_t> ParseMailDate(std::string_view value);

// Decodes RFC 2047 encoded words (=?charset?B?...?= and =?charset?Q?...?=) into their bytes;
// the charset is not converted. Text that is not an encoded word is kept as it stands.
[[nodiscard]] std::string DecodeEncodedWords(std::string_view value);

// The mail items taken from the headers (everything but Body).
struct MailItems {
  std::string from;
  std::vector<std::string> send_to;
  std::vector<std::string> copy_to;
  std::vector<std::string> blind_copy_to;
  std::vector<std::string> recipients;
  std::string subject;
  std::optional<std::string> mailer;
  std::optional<int64_t> posted_unix;  // from Date:, when readable
};

// envelope_recipients, when not null and not empty, become Recipients as they are.
[[nodiscard]] MailItems ItemsFromHeaders(const MailHeaders& headers,
                                         const std::vector<std::string>* envelope_recipients);

// Splits MIME text into the pieces the Body items hold: each at most max_bytes long, cut
// after the last line end in its second half when there is one. Joined, the pieces give
// `text` back.
[[nodiscard]] std::vector<std::string_view> SplitMimeText(std::string_view text,
                                                          size_t max_bytes);

struct ImportOptions {
  // The SMTP envelope (RCPT TO); when empty, Recipients is built from To, Cc and Bcc.
  std::vector<std::string> envelope_recipients;
  // The SMTP envelope sender (MAIL FROM): the From item of a message without a From header.
  std::string envelope_sender;
  // Used when the message has no usable Date: header (Unix seconds; 0 = now).
  int64_t received_unix = 0;
};

// Writes the items of the message into `note` (which should be new and empty; items of the
// same names already there are replaced, Body items and attachments appended). `error_r`,
// when not null, receives a reason for a failure that has no Notes status of its own (the
// status is then ERR_BAD_PARAM, ERR_NOEXIST or ERR_FILE_IO). The message file is read in
// pieces: its header section, a block and one line are held in memory, whatever its size.
[[nodiscard]] STATUS ImportMailText(NOTEHANDLE note, std::string_view message,
                                    const ImportOptions& options, std::string* error_r);
[[nodiscard]] STATUS ImportMailFile(NOTEHANDLE note, const char* path,
                                    const ImportOptions& options, std::string* error_r);

}  // namespace mail_import
