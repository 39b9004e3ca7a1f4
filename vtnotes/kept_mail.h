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
#include <string_view>
#include <vector>

#include "platform/notes/notes.h"
#include "vtnotes/spool.h"

namespace vtnotes {

// The folder below the install directory that holds kept originals.
inline constexpr const char* kKeptMailFolder = "Quarantine";

// Beside each kept message, "<message>.info" holds what the message itself does not carry,
// so that an import gives the copy all a copy made at once would have had: one "Name: value"
// line each for the virus the engine named (VirusName), the mail's identity for its copies
// (VtOriginalMail) and each of the router's recipients, Bcc included (Recipient).
inline constexpr const char* kKeptRecordSuffix = ".info";

struct KeptMailRecord {
  std::string virus;
  std::string origin;
  std::vector<std::string> recipients;
};

[[nodiscard]] inline std::string FormatKeptMailRecord(const KeptMailRecord& record) {
  std::string text;
  auto line = [&text](const char* name, std::string_view value) {
    if (value.empty()) return;
    text += name;
    text += ": ";
    for (char c : value) text += (c == '\r' || c == '\n') ? ' ' : c;
    text += "\r\n";
  };
  line("VirusName", record.virus);
  line("VtOriginalMail", record.origin);
  for (const std::string& recipient : record.recipients) line("Recipient", recipient);
  return text;
}

// Lines it does not know are passed over.
[[nodiscard]] inline KeptMailRecord ParseKeptMailRecord(std::string_view text) {
  KeptMailRecord record;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    std::string value(line.substr(colon + 2));
    if (name == "VirusName") record.virus = std::move(value);
    else if (name == "VtOriginalMail") record.origin = std::move(value);
    else if (name == "Recipient") record.recipients.push_back(std::move(value));
  }
  return record;
}

// Writes the note as a message into <install>/Quarantine/<JobId>-<yyyymmdd-hhmmss>-<n>.eml,
// with its record beside it (`virus`: what the engine named, when it did), and returns the
// message's path; empty when it could not be written (logged).
[[nodiscard]] std::string KeepOriginalMail(NOTEHANDLE note, const std::string& job_id,
                                           const std::string& virus = {});

// Removes a kept message and its record, once the original is safe elsewhere.
void ForgetKeptMail(const std::string& message_path);

// After a failed quarantine copy: keeps the original, says so in the log at every
// verbosity and warns the administrators. False when the original could not be kept
// either; the caller then leaves the mail in its mail box.
[[nodiscard]] bool KeepMailAfterFailedCopy(NOTEHANDLE note, const MailInfo* info,
                                           const std::string& job_id,
                                           const std::string& mailbox_path,
                                           const std::string& virus = {});

// The quarantine copy (warnings.h CopyQuarantine) and the keeping above serve the database
// scanner too, so that a stored document is copied and kept as a mail in transit is. In a
// program other than the router this fills what they read, from the same stores as the
// extension's start: the install and OUT directories, the installation identifier and the
// administrator and quarantine-database lists. False when the install directory is unknown.
bool PrepareCopySteps();

}  // namespace vtnotes
