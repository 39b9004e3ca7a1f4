// scan_job.h - one scan job, from its header to the answer and the event.
//
// A real-time job lives in IN\<JobId> (published by 0.hdr) and is answered in OUT\<JobId>,
// after which the event "<jobid>x" is set. A database-scanner job lives in IN\ScanDatabase
// (published by scannow.txt beside its "<NoteID>.hdr") and is answered in OUT\ScanDatabase,
// with the names found written to IN\Virnames.txt, after which "scandatabasex" is set.
//
// The answer (all paths in result headers are relative to OUT, 0.bdy is the body copy):
//   no finding           0.hd0 (+ disclaim.txt when engine.ini sets a disclaimer)
//   finding, leave       0.hd0
//   finding, clean       0.hd0 naming the new body and the attachments kept, Scanover.txt
//   finding, neuter      0.hd0, Delete.txt with the replacement text, Scanover.txt
//   finding, delete      0.hd0, Delete.txt empty
//   any finding          + Forward.txt when quarantine is on; + the *.hdx warning jobs
//                        (real-time jobs) or IN\Virnames.txt (database-scanner jobs)
//   not processed        error.hdr alone: no result header, so no reader takes it for an
//                        answer (the database scanner looks for a result header first)
// 0.hd0 is written last, under another name first and then renamed, because a second
// opener of the same note may read the OUT job directory while the engine still writes it.
//
// A database-scanner job says which document it is: scannow.txt holds the job's sequence
// (a short token the scanner chooses). The engine reads it before the header and repeats
// it as the line "Job: <sequence>" of 0.hd0 and of error.hdr, so that the scanner applies
// an answer only to the document it was asked about and recognises one that came late.
// Every database-scanner answer sets IN\Virnames.txt to its own findings (removes it when
// there are none), so no late answer's names stay for the next document.
//
// Ownership: RunJob borrows the context; the scanner and policy cache must outlive it.
// Thread rules: RunJob may run on many threads at once for different jobs; two runs of
// the same job at once are kept apart by the caller (spool_watch).
#pragma once

#include <string>
#include <vector>

#include "platform/engine/engine_config.h"
#include "platform/engine/file_scanner.h"

namespace vtengine {

inline constexpr const char* kDatabaseJobDir = "ScanDatabase";
inline constexpr const char* kDatabaseEvent = "scandatabasex";

enum class JobKind { kRealtime, kDatabase };

struct JobSpec {
  JobKind kind = JobKind::kRealtime;
  std::string name;         // the job directory's name: the JobId, or ScanDatabase
  std::string header_path;  // the header file to read
  std::string sequence;     // database-scanner jobs: the content of scannow.txt, or empty
};

struct EngineContext {
  SpoolPaths paths;
  const FileScanner* scanner = nullptr;  // null: answer without scanning (--no-scan)
  PolicyCache* policy = nullptr;
};

enum class JobOutcome {
  kClean,           // answered: no finding
  kInfected,        // answered: at least one finding
  kError,           // answered with error.hdr
  kDropped,         // not answered: the OUT job directory is gone, nobody waits for it
  kAnsweredBefore,  // not answered again: OUT already holds an answer (an engine restart)
};

struct Finding {
  std::string display_name;  // what the mail calls the file ("the mail text" for the body)
  std::string virus;
};

struct JobReport {
  JobOutcome outcome = JobOutcome::kDropped;
  std::vector<Finding> findings;
  std::string detail;  // error reason or verdict, for the log
  bool event_set = false;
};

[[nodiscard]] JobReport RunJob(const JobSpec& job, const EngineContext& context);

// Name of the real-time job's event: the JobId in lower case followed by "x".
[[nodiscard]] std::string JobEventName(const std::string& job_name);

// Sets a named event, opening it (or creating it when the waiter has not yet) through the
// Win32 stand-in so a waiter in another process wakes. False when it could not be set.
[[nodiscard]] bool SignalJobEvent(const std::string& name);

// The sequence a database-scanner job was published with: the first line of scannow.txt
// in the job directory, when it is a short token of letters, digits, '.', '-' and '_';
// otherwise empty (an empty scannow.txt is a job without a sequence).
[[nodiscard]] std::string ReadDatabaseJobSequence(const std::string& job_dir);

// The value of the "Job:" line of an answer file (0.hd0, error.hdr), or empty.
[[nodiscard]] std::string AnswerJobSequence(const std::string& answer_path);

// The newest "*.hdr" in the database scanner's job directory (earlier documents' headers
// stay there until the run ends), or empty.
[[nodiscard]] std::string NewestDatabaseHeader(const std::string& job_dir);

}  // namespace vtengine
