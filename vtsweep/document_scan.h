// document_scan.h - one stored document through the engine.
//
// What it is for: the Notes search of a database calls ScanDocument for every selected
// document. It turns the document into a scan job in the job directory (attachments as
// numbered .ATT files, the raw MIME body as 0.bdx and its readable text as 0.bdy, or a
// rich or plain text body as a .BDY file), writes the job header under the document's note
// ID ("%lX.hdr"), starts the engine with scannow.txt, waits for the event "scandatabasex"
// and has the answer applied (result_apply.h). A document the engine does not answer in
// time is left as it is and counted; at the fourth such time-out the run stops.
//
// Ownership: the document is opened and closed here; the JobRecord lives for the document.
// The document's note-ID header is removed once its job is over (answered or timed out);
// the job directory's other files are cleared before the next document. The clean-up
// itself keeps headers, so one written by anyone else stays until the end of the run.
//
// Locks: none; runs on the scan thread only.
#pragma once

#include <string>
#include <string_view>

#include "platform/notes/notes.h"
#include "vtsweep/sweep_run.h"

namespace vtsweep {

// Context of the Notes search of one database.
struct DocumentSearch {
  SweepRun* run = nullptr;
  DBHANDLE db = NULLHANDLE;
};

// The per-document routine (an NSFSEARCHPROC; context is a DocumentSearch). 0, or a
// status that ends the search of the database.
STATUS ScanDocument(void* context, SEARCH_MATCH* match, ITEM_TABLE* summary);

// Logs, once a run, that the engine's time-outs stopped it.
void LogTimeoutStop(SweepRun& run);

// The bare address of a sender or recipient text; a Notes name beginning "CN=" is kept.
[[nodiscard]] std::string NormalizeAddress(std::string_view text);

// The first name n + suffix (n = 0 ... 32767) in directory that no file has; empty when
// every one is taken.
[[nodiscard]] std::string GetUniqueFileName(const std::string& directory, const char* suffix);

// Writes the job header of the document (0.hdf, renamed to the record's header path) and
// creates scannow.txt. 0, or 1 when the header could not be published (logged).
[[nodiscard]] int CreateHeaderFile(SweepRun& run, JobRecord& record,
                                   const std::string& message_id, NOTEID note_id);

// Deletes everything below directory except "." and ".."; without remove_all files whose
// extension is "hdr" stay and the directory itself stays.
void CleanDirectory(const std::string& directory, bool remove_all);

// Empties the result directory for the next document, its error answer included.
void ClearResultDirectory(const std::string& result_dir);

}  // namespace vtsweep
