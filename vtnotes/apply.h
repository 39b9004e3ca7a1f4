// apply.h - applying the engine's answer to the opened note.
//
// What it is for: CheckHD0File reads the OUT job directory and changes the note the router
// is opening: warning mails, quarantine copies, cleaned body and attachments, replacement
// text, disclaimer. The first opener applies everything ("primary"); a later opener of the
// same note re-applies only what changes the note itself ("secondary"), because every open
// starts again from the stored document.
//
// Ownership: the note is the router's (or the test's); the MailInfo the caller's.
// Locks: runs on the router thread that owns the job mutex.
#pragma once

#include <string>

#include "platform/notes/notes.h"
#include "vtnotes/spool.h"

namespace vtnotes {

// CheckHD0File's result when the quarantine copy failed, or the verdict could not be applied
// whole, and the original could not be kept elsewhere either: the mail is to stay in its
// mail box, neither delivered nor lost.
inline constexpr int kApplyLeaveInBox = 101;

// CheckHD0File's result when the job's event was set but the OUT job directory holds no
// complete answer: no result header and no error, or a change whose files are missing. It is
// no verdict: the mail was not scanned.
inline constexpr int kApplyNoAnswer = 102;

// 0 applied (or nothing to apply), 100 the engine reported an error, kApplyNoAnswer,
// kApplyLeaveInBox, or
// another value for a failure (the caller empties the OUT job and leaves error.HD0 in it).
// A failed quarantine copy does not stop the verdict: the original is kept in a file
// (kept_mail.h) and the rest of the answer is applied. A cleaned body and attachments that
// cannot all be written into the note leave it with a notice only; the original is kept
// (the quarantine copy, or a file written before the change) and the administrators told.
[[nodiscard]] int CheckHD0File(const std::string& out_job_dir, NOTEHANDLE note, MailInfo& info,
                               bool primary, const std::string& mailbox_path,
                               bool& mail_changed, const std::string& job_id);

[[nodiscard]] STATUS NewChangeBody(NOTEHANDLE note, const std::string& out_job_dir,
                                   const MailInfo& info, bool keep_body, bool delete_mode);
[[nodiscard]] STATUS SetDefaultBody(NOTEHANDLE note);
[[nodiscard]] STATUS AddDisclaimer(NOTEHANDLE note, const std::string& text_path,
                                   const std::string& job_id);
[[nodiscard]] STATUS ChangeReceipentField(NOTEHANDLE source, NOTEHANDLE target);

}  // namespace vtnotes
