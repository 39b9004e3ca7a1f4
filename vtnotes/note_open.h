// note_open.h - the steps of a scan job that the note-open hook calls through a table.
//
// What it is for: capture (ExtractAttachment, FetchBody) and applying the answer
// (CheckHD0File) are called through JobSteps, so that a test can make one of them fail,
// by status or by exception, and watch the hook let go of everything it holds. The router
// always runs with DefaultJobSteps().
//
// Ownership: none. Locks: the table is set before hooks run (tests) and only read by them.
#pragma once

#include <memory>
#include <string>

#include "platform/notes/notes.h"
#include "vtnotes/apply.h"
#include "vtnotes/capture.h"

namespace vtnotes {

// The status with which the hook leaves a mail in its mail box for the router to try
// again: a mail that could not be scanned while HoldMailWhenNotScanned is set, or one whose
// original could be kept nowhere after a failed quarantine copy.
inline constexpr STATUS kStatusHeldForScan = ERR_HOOK_REFUSED;

struct JobSteps {
  int (*extract_attachment)(NOTEHANDLE note, const std::string& in_job_dir,
                            const std::string& job_id, std::unique_ptr<MailInfo>& info_r);
  int (*fetch_body)(NOTEHANDLE note, MailInfo& info, const std::string& in_job_dir,
                    const std::string& job_id);
  int (*check_hd0_file)(const std::string& out_job_dir, NOTEHANDLE note, MailInfo& info,
                        bool primary, const std::string& mailbox_path, bool& mail_changed,
                        const std::string& job_id);
};

[[nodiscard]] JobSteps DefaultJobSteps();
// The table the hook uses.
[[nodiscard]] JobSteps& Steps();

}  // namespace vtnotes
