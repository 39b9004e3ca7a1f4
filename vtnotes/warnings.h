// warnings.h - documents the extension writes: quarantine copies, warning mails, the
// administrator warnings, and the statistics counters.
//
// What it is for: every Notes document the extension creates carries X-Vantrel with this
// installation's identifier, which is how the note-open hook knows its own mails and lets
// them pass. Warning mails are deposited into the router mail box; quarantine copies into
// the databases of VTADMINDB.
//
// Ownership: every database and note opened here is closed here, on every path.
// Locks: the counters are changed under "statistics_mutex" and "TotalSkippedMail_mutex";
// the rest runs on the router thread that handles the mail, with its own Notes handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/notes/notes.h"
#include "vtnotes/spool.h"

namespace vtnotes {

inline constexpr const char* kSupportAddress = "support@vantrel.example";
// Item of a quarantine copy naming what the engine found, and the length it is cut to.
inline constexpr const char* kVirusNameItem = "VirusName";
inline constexpr std::size_t kVirusNameChars = 256;
// Item that only the quarantine and forward copies carry: the identity of the mail they
// were copied from (OriginalMailId). It is what tells a copy from every other document that
// carries X-Vantrel (warning mails, released mails), and what ties together the copies of
// one mail in several databases, so that the mail is released once.
inline constexpr const char* kOriginalMailItem = "VtOriginalMail";

// The identity of a mail for its copies: the database it is held in, its note ID and the
// time its note was made ("mail.box:8F6:00A1B2C3D4E5F607"). The same mail gives the same
// text for every copy made of it; two mails never give the same.
[[nodiscard]] std::string OriginalMailId(NOTEHANDLE mail);
// What the engine named in the quarantine order of a job directory (the first line of its
// Forward.txt, at most kVirusNameChars); empty when it named nothing.
[[nodiscard]] std::string QuarantineVirusName(const std::string& job_directory);

[[nodiscard]] STATUS ItemCopy(NOTEHANDLE source, NOTEHANDLE target, const char* item_name);
// Copies the mail into every quarantine database (forward mode: the recipients rewritten
// from the size-restriction marks and the job's extracted attachments attached). Every copy
// carries X-Vantrel and kOriginalMailItem; a copy that cannot be given its identity is not
// stored.
[[nodiscard]] STATUS CopyQuarantine(NOTEHANDLE source, const std::string& directory,
                                    const MailInfo& info, bool forward_mode);
// Sends every *.hdx warning job of the directory; the status of the last deposit.
[[nodiscard]] STATUS SendWarningMail(const std::string& directory, const std::string& mailbox_path);
// Deposits one warning mail for one recipient into the router mail box.
[[nodiscard]] STATUS NSFSendMailReport(const std::string& directory, const MailInfo& info,
                                       const std::string& recipient,
                                       const std::string& mailbox_path);
// Sends and removes OUT/Temp: 0, 1 when sending failed, -1 for empty inputs.
[[nodiscard]] int CheckTempFolder(const std::string& out_directory,
                                  const std::string& mailbox_path);

// The administrators' warnings:
//   kDisabled     scanning is off (the engine stopped, or scan jobs cannot be written)
//   kBypassed     one mail passed unscanned (time-out, or an answer that is no verdict)
//   kHeld         mails that could not be scanned wait in the mail box (HoldMailWhenNotScanned)
//   kOriginalKept a quarantine copy failed; the original mail was kept in a file instead
//   kNotApplied   a verdict could not be applied whole; the mail went out with a notice in
//                 place of its text and attachments, the original kept
enum class AdminWarning { kDisabled, kBypassed, kHeld, kOriginalKept, kNotApplied };

// Writes and sends the administrators' warning of that kind. Each warning is a job
// directory of its own below OUT\VTDisable, OUT\TimeOut, OUT\Held, OUT\Quarantine or
// OUT\NotApplied, so
// warnings of many mails at once never meet; one that could not be sent stays there.
// `reason` (when given) is added as the warning's last paragraph; for kOriginalKept and
// kNotApplied it names where the original is kept.
void SendAdminWarningMail(AdminWarning kind, const MailInfo* info, const std::string& job_id,
                          std::uint64_t mail_size, const std::string& mailbox_path,
                          const std::string& reason = {});

// True, at most once per time-out period (the TimeOut setting) for each kind, when a
// warning of that kind is to go out now: the warnings about the state of scanning say it
// once, not once per mail.
[[nodiscard]] bool AdminWarningDue(AdminWarning kind);

// The size class of a timed-out mail: "Small", "Medium", "Large" or "VeryLarge".
[[nodiscard]] const char* SizeClass(std::uint64_t mail_size);
void CountTimeout(std::uint64_t mail_size, long current_timeout_ms);
void CountSkippedMail();
void ResetStatistics();

}  // namespace vtnotes
