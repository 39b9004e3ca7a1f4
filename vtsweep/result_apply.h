// result_apply.h - applying the engine's answer to a stored document.
//
// What it is for: once the engine has answered a document's job (the event
// "scandatabasex"), its files in the result directory say what to do, in this order:
// Forward.txt (a copy into every quarantine database, or the original kept in a file),
// Delete.txt (the body becomes its text and the attachments go; when it is empty the
// document is deleted after it is closed), scanover.txt (the document is rewritten from
// the result header: new body, the attachments the engine kept). A job answered with a
// result header and none of these files leaves the document as it was.
//
// Names in the result header resolve below the result base (install directory + Out);
// one that is absolute elsewhere or climbs out with ".." is refused and logged, so a
// damaged answer cannot attach, copy or delete a file elsewhere on the machine.
//
// Ownership: the document is the caller's (ScanDocument); quarantine databases and notes
// are opened and closed here. Locks: none; the scan thread only.
#pragma once

#include <string>

#include "platform/notes/notes.h"
#include "vtsweep/sweep_run.h"

namespace vtsweep {

// Whose answer the result directory holds: every result header ("*.hd0") and the error
// answer name the job they answer in a "Job:" line (the sequence of scannow.txt).
enum class AnswerOwner {
  kNone,        // no answer file (yet)
  kThisJob,     // every answer file names the job in hand
  kAnotherJob,  // one names another job: an answer that came after its document was given up
};
[[nodiscard]] AnswerOwner OwnerOfAnswer(const std::string& result_dir, const std::string& sequence,
                                        std::string* other_r);

// The value of the "Job:" line of an answer file, or empty.
[[nodiscard]] std::string ReadAnswerJob(const std::string& path);

// Applies the answer in the result directory to the open document. 0; 1 when the answer
// could not be read or the document not rewritten; 100 when the engine failed the job; or
// the status of a failed quarantine copy. delete_r is set when the document is to be
// deleted; run.changed when it was rewritten.
[[nodiscard]] int ApplyResult(SweepRun& run, NOTEHANDLE note, JobRecord& record, bool* delete_r);

// Reads the result header directory/name into record (replacing it). 0; 100 when the file
// cannot be opened or names no body; 1 when the record could not be filled.
[[nodiscard]] int ReadResultHeader(const std::string& result_base, const std::string& directory,
                                   const std::string& name, JobRecord& record);

// The whole document (every item and attachment) into every quarantine database, through
// the extension's own copy step (its X-Vantrel mark, the virus name of Forward.txt). When the
// copy fails the original is kept as a message file in <install>/Quarantine and the
// administrators are warned. NOERROR when a copy or the kept original is safe; otherwise
// the failure, and the document must stay as it is (counted in the run's totals).
[[nodiscard]] STATUS CopyQuarantine(SweepRun& run, NOTEHANDLE note, const JobRecord& record);

// Rewrites the document from the record: every attachment removed, the body replaced by
// the record's body file (added to the existing body when keep_body), the record's
// attachments attached. The status of the body step, or 1.
[[nodiscard]] STATUS NewChangeBody(NOTEHANDLE note, const std::string& directory,
                                   const JobRecord& record, bool keep_body);

// Sets "Body" to the empty text.
[[nodiscard]] STATUS SetDefaultBody(NOTEHANDLE note);

}  // namespace vtsweep
