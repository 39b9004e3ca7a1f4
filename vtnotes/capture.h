// capture.h - turning a routed mail into the files of its scan job.
//
// What it is for: before the engine can scan a mail, the note becomes plain files in its
// IN job directory: every attachment unchanged (n.ATT), the body text (0.bdy), the raw MIME
// body (0.bdx) with its readable parts decoded into 0.bdy and HTML parts into files of
// their own, and uuencoded blocks into attachments. A MailInfo describes the result for the
// job header.
//
// Ownership: the note is the router's; the MailInfo the caller's; files belong to the job
// directory. Locks: runs on the router thread that owns the job mutex.
#pragma once

#include <memory>
#include <string>

#include "platform/notes/notes.h"
#include "vtnotes/spool.h"

namespace vtnotes {

// Width of one recipient field of DumpTextListItem.
inline constexpr std::size_t kRecipientFieldChars = 68;

// Writes every attachment to in_job_dir/<n>.ATT and returns a new MailInfo listing them.
// 0, or 1 when nothing could be captured at all (a single failed extraction is skipped).
[[nodiscard]] int ExtractAttachment(NOTEHANDLE note, const std::string& in_job_dir,
                                    const std::string& job_id, std::unique_ptr<MailInfo>& info_r);

// Reads subject, sender, recipients and body into info and the job directory. 0 or 1.
[[nodiscard]] int FetchBody(NOTEHANDLE note, MailInfo& info, const std::string& in_job_dir,
                            const std::string& job_id);

// True when $Mailer begins with "Lotus Notes" and $SMTPNotFromNotes is not 1.
[[nodiscard]] bool IsMailComeFromLotusNotesClient(NOTEHANDLE note, const std::string& job_id,
                                                  bool log);

// The bare address of a From text (a Notes name beginning "CN=" is kept as it is).
[[nodiscard]] std::string ReduceFromAddress(const std::string& from);

// Joins the entries of a text-list value (as NSFItemScan hands it, type word first) with
// ','; an empty entry ends the list.
[[nodiscard]] std::string DumpTextListItem(const void* value, DWORD value_len);

}  // namespace vtnotes
