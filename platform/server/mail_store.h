// mail_store.h - inbound RFC 822 mail written as a MIME mail note into a router mail box.
//
// What it is for: the one place where mail enters the server (the SMTP listener and the
// pickup directory both store through it). The message's items are made exactly as `nsf
// import` makes them (mail_import.h: From, SendTo, CopyTo, BlindCopyTo, Subject, PostedDate,
// Recipients, $Mailer, Form "Memo", the MIME Body items); the SMTP reverse-path is kept
// beside them. The note is written with NSFNoteUpdate, so the note-update hooks of the
// calling process see it as a new note (note ID 0) before it is stored.
// A message of any size is stored from a file (StoreInboundMailFile) without being read into
// memory whole; StoreInboundMail takes a text already in memory.
// Ownership: the mail box handles are kept open between calls (a box file replaced or
// removed meanwhile is opened afresh) until CloseMailBoxes.
// Locks: none of its own; the calling thread must have initialised the Notes runtime.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"

namespace vtserver {

// The SMTP reverse-path of a mail; empty for the null path <>, which gets no reports.
inline constexpr const char* kOriginatorItem = "SMTPOriginator";

// Writes text as a new mail note into mail_box (a database path as NSFDbOpen takes it).
// recipients are the envelope recipients; when empty, the addresses of To, Cc and Bcc are
// used, and a message that names none is refused with ERR_BAD_PARAM. envelope_sender (null
// for mail without an envelope, as from the pickup directory) is kept in kOriginatorItem,
// where the router finds whom to send a non-delivery report to.
[[nodiscard]] STATUS StoreInboundMail(const char* mail_box, std::string_view text,
                                      const std::vector<std::string>& recipients,
                                      const std::string* envelope_sender, NOTEID* note_id_r);
// The same for the message in the file at path (read in pieces). error_r, when not null,
// receives the reason of a failure that has no Notes status of its own.
[[nodiscard]] STATUS StoreInboundMailFile(const char* mail_box, const std::string& path,
                                          const std::vector<std::string>& recipients,
                                          const std::string* envelope_sender, NOTEID* note_id_r,
                                          std::string* error_r = nullptr);

// Closes the mail box handles kept between calls; a task calls it before it ends its Notes
// runtime.
void CloseMailBoxes();

}  // namespace vtserver
