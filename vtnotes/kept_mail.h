// kept_mail.h - keeping the original of a mail whose quarantine copy failed.
//
// What it is for: the engine's verdict on an infected mail is applied whether or not the
// copy into the quarantine databases succeeded, so the infected original is never
// delivered. When the copy failed (a quarantine database held by another writer,
// unwritable, missing, or none named), the original is kept here instead, so that nothing is
// lost: the mail as it arrived, written as an RFC 822 message into the Quarantine folder of
// the install directory, from which an administrator imports it into a quarantine database
// once that can be written again.
//
// Ownership: the note is the router's and only read. Locks: none; every kept mail gets a
// file name of its own (the JobId is one note's, and one note is handled by one thread).
#pragma once

#include <string>

#include "platform/notes/notes.h"
#include "vtnotes/spool.h"

namespace vtnotes {

// The folder below the install directory that holds kept originals.
inline constexpr const char* kKeptMailFolder = "Quarantine";

// Writes the note as a message into <install>/Quarantine/<JobId>-<yyyymmdd-hhmmss>-<n>.eml
// and returns that path; empty when it could not be written (logged).
[[nodiscard]] std::string KeepOriginalMail(NOTEHANDLE note, const std::string& job_id);

// After a failed quarantine copy: keeps the original, says so in the log at every
// verbosity and warns the administrators. False when the original could not be kept
// either; the caller then leaves the mail in its mail box.
[[nodiscard]] bool KeepMailAfterFailedCopy(NOTEHANDLE note, const MailInfo* info,
                                           const std::string& job_id,
                                           const std::string& mailbox_path);

// The quarantine copy (warnings.h CopyQuarantine) and the keeping above serve the database
// scanner too, so that a stored document is copied and kept as a mail in transit is. In a
// program other than the router this fills what they read, from the same stores as the
// extension's start: the install and OUT directories, the installation identifier and the
// administrator and quarantine-database lists. False when the install directory is unknown.
bool PrepareCopySteps();

}  // namespace vtnotes
