// scan_job.cpp - one scan job, from its header to the answer and the event.
#include "platform/engine/scan_job.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/engine/answer_files.h"
#include "platform/engine/job_header.h"
#include "platform/engine/mail_shape.h"
#include "platform/win32/windows.h"

namespace vtengine {

namespace {

constexpr const char* kResultHeader = "0.hd0";
constexpr const char* kResultBody = "0.bdy";
constexpr const char* kRawBody = "0.bdx";
constexpr const char* kBodyDisplayName = "the mail text";
constexpr const char* kScanNow = "scannow.txt";
constexpr const char* kVirusNames = "Virnames.txt";
constexpr std::size_t kMaxSequenceChars = 64;
// An answer file is a few lines; the Job line is looked for in no more than this.
constexpr std::size_t kMaxAnswerBytes = 1024 * 1024;
// A body larger than this is not rewritten in memory; a cleaned answer for such a mail
// copies the text and appends the notices to the copy.
constexpr std::size_t kMaxBodyRewriteBytes = 64 * 1024 * 1024;

enum class FileRole { kBody, kRawBody, kAttachment };

struct JobFile {
  FileRole role = FileRole::kBody;
  std::string path;          // POSIX path below the IN job directory
  std::string out_name;      // attachments: the name of its copy in OUT, "<n>.ATT"
  std::string display_name;  // the mail's name for it
  ScanResult result;
};

// What the writer needs about one job, gathered before any answer file is written.
struct JobPlan {
  const JobSpec* job = nullptr;
  std::string in_job_dir;
  std::string out_job_dir;
  JobHeader header;
  std::vector<JobFile> files;
};

std::string RelOut(const JobPlan& plan, std::string_view file) {
  return plan.job->name + "\\" + std::string(file);
}

// Joins names with ", ", each once, in order of first appearance.
std::string JoinNames(const std::vector<std::string>& names) {
  std::vector<std::string_view> seen;
  std::string joined;
  for (const std::string& name : names) {
    if (std::find(seen.begin(), seen.end(), name) != seen.end()) continue;
    seen.push_back(name);
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

// The result header in the grammar the system's reader takes.
std::string ResultHeaderText(const JobPlan& plan, const std::vector<const JobFile*>& kept) {
  std::string text;
  text += "Body: " + RelOut(plan, kResultBody) + "\r\n";
  if (!plan.header.from.empty()) text += "From: " + plan.header.from + "\r\n";
  if (!plan.header.subject.empty()) text += "Subject: " + plan.header.subject + "\r\n";
  if (!plan.header.to.empty()) text += "To: " + plan.header.to + "\r\n";
  for (const JobFile* file : kept) {
    // The system's reader splits at the last comma: a comma in the name would cut it and
    // leave the attachment behind, so it becomes an underscore.
    std::string name = file->display_name;
    std::replace(name.begin(), name.end(), ',', '_');
    text += "Attachment: " + RelOut(plan, file->out_name) + "," + name + "\r\n";
  }
  if (!plan.job->sequence.empty()) text += "Job: " + plan.job->sequence + "\r\n";
  return text;
}

bool WriteError(const JobPlan& plan, const std::string& reason, JobReport& report) {
  report.outcome = JobOutcome::kError;
  report.detail = reason;
  std::string error;
  // error.hdr stands alone: a result header beside it would make the database scanner,
  // which looks for a result header first, take the job as answered and clean.
  for (const std::string& name : ListDirectory(plan.out_job_dir)) {
    if (name.size() > 4 && EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".hd0"))
      (void)::unlink((plan.out_job_dir + "/" + name).c_str());
  }
  std::string text = "Error: " + reason + "\r\n";
  if (!plan.job->sequence.empty()) text += "Job: " + plan.job->sequence + "\r\n";
  return WriteFileAtomically(plan.out_job_dir + "/error.hdr", text, &error);
}

bool WriteWarnings(const JobPlan& plan, const EnginePolicy& policy, const TextFields& fields,
                   const EngineContext& context, std::string* error_r) {
  struct Target {
    const char* name;
    const WarningText* text;
    std::vector<std::string> to;
  };
  std::vector<Target> targets = {
      {"sender", &policy.sender, SplitAddressList(plan.header.from)},
      {"recipients", &policy.recipients, SplitAddressList(plan.header.to)},
      {"admin", &policy.administrators, policy.admin_addresses},
  };
  for (const Target& target : targets) {
    if (!target.text->enabled || target.to.empty()) continue;
    std::string dir = plan.out_job_dir;
    std::string rel_dir = plan.job->name;
    std::string base = target.name;
    if (policy.warnings_in_temp) {
      dir = context.paths.out_dir + "/Temp";
      rel_dir = "Temp";
      base = plan.job->name + "-" + target.name;
      if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error_r = "cannot create " + dir;
        return false;
      }
    }
    std::string to;
    for (const std::string& address : target.to) to += (to.empty() ? "" : ",") + address;
    const std::string body = ExpandText(target.text->text, fields) + "\r\n";
    std::string hdx = "Subject: " + ExpandText(target.text->subject, fields) + "\r\n";
    hdx += "From: " + policy.warning_from + "\r\n";
    hdx += "To: " + to + "\r\n";
    hdx += "Body: " + rel_dir + "\\" + base + ".bdy\r\n";
    // The body first: a warning job is complete once its .hdx exists.
    if (!WriteWholeFile(dir + "/" + base + ".bdy", body, error_r) ||
        !WriteFileAtomically(dir + "/" + base + ".hdx", hdx, error_r))
      return false;
  }
  return true;
}

// Writes everything but the result header; returns the attachments the header names.
bool WriteVerdictFiles(const JobPlan& plan, const EnginePolicy& policy,
                       const EngineContext& context, JobReport& report,
                       std::vector<const JobFile*>* kept_r, std::string* error_r) {
  const std::string out_body = plan.out_job_dir + "/" + kResultBody;
  const JobFile* body = nullptr;
  for (const JobFile& file : plan.files) {
    if (file.role == FileRole::kBody) body = &file;
  }
  auto copy_body = [&]() {
    if (body) return CopyRegularFile(body->path, out_body, error_r);
    return WriteWholeFile(out_body, "", error_r);
  };

  if (report.findings.empty()) {
    if (!copy_body()) return false;
    // Names left by an earlier answer (one that came late) would be logged under this one.
    if (plan.job->kind == JobKind::kDatabase)
      (void)::unlink((context.paths.in_dir + "/" + kVirusNames).c_str());
    if (!policy.disclaimer.empty()) {
      TextFields fields{"", "", plan.header.subject, plan.header.from, plan.header.to};
      if (!WriteWholeFile(plan.out_job_dir + "/disclaim.txt",
                          ExpandText(policy.disclaimer, fields) + "\r\n", error_r))
        return false;
    }
    report.detail = "clean";
    return true;
  }

  std::vector<std::string> viruses;
  std::vector<std::string> names;
  for (const Finding& finding : report.findings) {
    viruses.push_back(finding.virus);
    names.push_back(finding.display_name);
  }
  const TextFields fields{JoinNames(viruses), JoinNames(names), plan.header.subject,
                          plan.header.from, plan.header.to};

  bool attachment_infected = false;
  bool body_infected = false;
  bool raw_infected = false;
  for (const JobFile& file : plan.files) {
    if (file.result.status != ScanStatus::kInfected) continue;
    if (file.role == FileRole::kAttachment) attachment_infected = true;
    if (file.role == FileRole::kBody) body_infected = true;
    if (file.role == FileRole::kRawBody) raw_infected = true;
  }
  // The raw MIME text holds the attachments encoded; a finding there that no extracted
  // file explains lives in the text itself (or a part nobody extracted).
  if (raw_infected && !attachment_infected) body_infected = true;

  switch (policy.action) {
    case InfectedAction::kLeave:
      if (!copy_body()) return false;
      break;
    case InfectedAction::kClean: {
      std::string text;
      struct stat st {};
      const bool body_too_large = body && ::lstat(body->path.c_str(), &st) == 0 &&
                                  static_cast<std::size_t>(st.st_size) > kMaxBodyRewriteBytes;
      if (body_infected) {
        text = ExpandText(policy.cleaned_body_text, fields) + "\r\n";
      } else if (body && !body_too_large &&
                 !ReadSmallFile(body->path, kMaxBodyRewriteBytes, &text, error_r)) {
        return false;
      }
      for (const JobFile& file : plan.files) {
        if (file.role != FileRole::kAttachment) continue;
        if (file.result.status == ScanStatus::kInfected) {
          const TextFields one{file.result.virus, file.display_name, plan.header.subject,
                               plan.header.from, plan.header.to};
          text += ExpandText(policy.clean_notice, one);
          continue;
        }
        if (!CopyRegularFile(file.path, plan.out_job_dir + "/" + file.out_name, error_r))
          return false;
        kept_r->push_back(&file);
      }
      // A clean text too large to rewrite in memory is kept all the same: copied as it is,
      // with the notices after it.
      const bool kept_whole = body && !body_infected && body_too_large;
      if (!(kept_whole ? CopyRegularFile(body->path, out_body, error_r) &&
                             AppendToFile(out_body, text, error_r)
                       : WriteWholeFile(out_body, text, error_r)) ||
          !WriteWholeFile(plan.out_job_dir + "/Scanover.txt", fields.virus + "\r\n", error_r))
        return false;
      break;
    }
    case InfectedAction::kNeuter: {
      const std::string text = ExpandText(policy.neuter_text, fields) + "\r\n";
      if (!WriteWholeFile(out_body, text, error_r) ||
          !WriteWholeFile(plan.out_job_dir + "/Delete.txt", text, error_r) ||
          !WriteWholeFile(plan.out_job_dir + "/Scanover.txt", fields.virus + "\r\n", error_r))
        return false;
      break;
    }
    case InfectedAction::kDelete:
      if (!copy_body() || !WriteWholeFile(plan.out_job_dir + "/Delete.txt", "", error_r))
        return false;
      break;
  }
  if (policy.quarantine &&
      !WriteWholeFile(plan.out_job_dir + "/Forward.txt", fields.virus + "\r\n", error_r))
    return false;
  if (plan.job->kind == JobKind::kRealtime) {
    if (!WriteWarnings(plan, policy, fields, context, error_r)) return false;
  } else {
    // The database scanner logs every line of Virnames.txt under the document.
    std::string lines;
    for (const Finding& finding : report.findings)
      lines += finding.virus + " found in " + finding.display_name + "\r\n";
    if (!WriteWholeFile(context.paths.in_dir + "/" + kVirusNames, lines, error_r)) return false;
  }
  report.detail =
      std::string(InfectedActionName(policy.action)) + ": " + fields.virus + " in " + fields.files;
  return true;
}

// Resolves and checks every file the header names; false with the reason on a refusal.
bool CollectFiles(JobPlan& plan, const EngineContext& context, std::string* error_r) {
  const std::string& in_dir = context.paths.in_dir;
  if (plan.header.body) {
    auto path = ResolveJobPath(in_dir, plan.job->name, *plan.header.body, error_r);
    if (!path) return false;
    plan.files.push_back({FileRole::kBody, *path, "", kBodyDisplayName, {}});
  }
  std::size_t attachment_index = 0;
  for (const HeaderAttachment& attachment : plan.header.attachments) {
    HeaderAttachment chosen = attachment;
    for (const HeaderAttachment& split : AttachmentSplits(attachment.value)) {
      std::string ignored;
      auto path = ResolveJobPath(in_dir, plan.job->name, split.path, &ignored);
      if (path && IsRegularFile(*path)) {
        chosen = split;
        break;
      }
    }
    auto path = ResolveJobPath(in_dir, plan.job->name, chosen.path, error_r);
    if (!path) return false;
    // Copies in OUT are named by their place in the header, not by their name in IN, so
    // that no name in the header can land on another answer file.
    const std::string out_name = std::to_string(attachment_index++) + ".ATT";
    plan.files.push_back({FileRole::kAttachment, *path, out_name, chosen.display_name, {}});
  }
  if (plan.files.empty()) {
    *error_r = "the job header names neither a body nor an attachment";
    return false;
  }
  const std::string raw = plan.in_job_dir + "/" + kRawBody;
  if (IsRegularFile(raw)) plan.files.push_back({FileRole::kRawBody, raw, "", kBodyDisplayName, {}});
  return true;
}

// The end of the job's scanning time: its budget from now, but no later than its budget and
// the queue's allowance from when it was published (the header's time), so that a job that
// waited for a worker is still answered before its waiter gives up.
ScanDeadline JobDeadline(const JobSpec& job, const JobBudget& budget) {
  using std::chrono::milliseconds;
  const auto now = std::chrono::steady_clock::now();
  ScanDeadline deadline = now + milliseconds(budget.job_ms);
  struct stat st {};
  if (::stat(job.header_path.c_str(), &st) == 0) {
    const auto published = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    const auto waited = std::chrono::system_clock::now() - published;
    // A header from the future (a clock set back) has not waited.
    if (waited > std::chrono::system_clock::duration::zero()) {
      const auto waited_ms = std::chrono::duration_cast<milliseconds>(waited);
      deadline = std::min(deadline, now - waited_ms + milliseconds(budget.job_ms + budget.queue_ms));
    }
  }
  return deadline;
}

}  // namespace

std::string JobEventName(const std::string& job_name) {
  std::string name = job_name;
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name + "x";
}

bool SignalJobEvent(const std::string& name) {
  HANDLE event = OpenEvent(EVENT_MODIFY_STATE, FALSE, name.c_str());
  // The waiter creates the event before it publishes the job; creating it here only
  // matters when a waiter opens it late, and then an auto-reset event keeps the signal.
  if (!event) event = CreateEvent(nullptr, FALSE, FALSE, name.c_str());
  if (!event) return false;
  const BOOL set = SetEvent(event);
  CloseHandle(event);
  return set != FALSE;
}

std::string ReadDatabaseJobSequence(const std::string& job_dir) {
  std::string text;
  std::string error;
  if (!ReadSmallFile(job_dir + "/" + kScanNow, kMaxSequenceChars + 2, &text, &error)) return {};
  const std::string_view line =
      TrimLine(std::string_view(text).substr(0, text.find_first_of("\r\n")));
  if (line.empty() || line.size() > kMaxSequenceChars) return {};
  for (char c : line) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
      return {};
  }
  return std::string(line);
}

std::string AnswerJobSequence(const std::string& answer_path) {
  std::string text;
  std::string error;
  if (!ReadSmallFile(answer_path, kMaxAnswerBytes, &text, &error)) return {};
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = TrimLine(std::string_view(text).substr(start, end - start));
    start = end + 1;
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(TrimLine(line.substr(0, colon)), "Job"))
      return std::string(TrimLine(line.substr(colon + 1)));
  }
  return {};
}

std::string NewestDatabaseHeader(const std::string& job_dir) {
  std::string newest;
  struct timespec newest_time {};
  for (const std::string& name : ListDirectory(job_dir)) {
    if (name.size() <= 4 || !EqualsNoCase(std::string_view(name).substr(name.size() - 4), ".hdr"))
      continue;
    struct stat st {};
    const std::string path = job_dir + "/" + name;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (newest.empty() || st.st_mtim.tv_sec > newest_time.tv_sec ||
        (st.st_mtim.tv_sec == newest_time.tv_sec && st.st_mtim.tv_nsec > newest_time.tv_nsec)) {
      newest = path;
      newest_time = st.st_mtim;
    }
  }
  return newest;
}

JobReport RunJob(const JobSpec& job, const EngineContext& context) {
  JobReport report;
  JobPlan plan;
  plan.job = &job;
  plan.in_job_dir = context.paths.in_dir + "/" + job.name;
  plan.out_job_dir = context.paths.out_dir + "/" + job.name;
  // The waiter makes the OUT job directory before it publishes the job and removes it when
  // it gives up. Without it nobody waits; answering into a new one would make the next
  // opener of the note take stale files for a verdict.
  if (!IsDirectory(plan.out_job_dir)) {
    report.detail = "no answer directory " + plan.out_job_dir;
    return report;
  }

  // The system makes a new OUT job directory for every job, so an answer already there
  // is one this engine (or the one before a restart) gave; writing it again could change
  // files under a reader that is applying it.
  // A database-scanner answer is this job's only when it carries this job's sequence; one
  // for an earlier document (it came after the scanner gave up on it) is cleared away.
  bool stale = false;
  for (const std::string& name : ListDirectory(plan.out_job_dir)) {
    const std::string_view view(name);
    if ((view.size() > 4 && EqualsNoCase(view.substr(view.size() - 4), ".hd0")) ||
        EqualsNoCase(view, "error.hdr")) {
      if (job.kind == JobKind::kDatabase &&
          AnswerJobSequence(plan.out_job_dir + "/" + name) != job.sequence) {
        stale = true;
        continue;
      }
      report.outcome = JobOutcome::kAnsweredBefore;
      report.detail = "answered before";
      return report;
    }
  }
  if (stale) {
    for (const std::string& name : ListDirectory(plan.out_job_dir)) {
      const std::string path = plan.out_job_dir + "/" + name;
      if (IsRegularFile(path)) (void)::unlink(path.c_str());
    }
  }

  std::string error;
  bool ok = true;
  if (auto header = ReadJobHeader(job.header_path, &error)) {
    plan.header = std::move(*header);
    if (!plan.header.refusal.empty()) {
      ok = false;
      error = plan.header.refusal;
    } else if (plan.header.recognised_lines == 0) {
      ok = false;
      error = "the job header holds no line the engine understands";
    }
  } else {
    ok = false;
  }
  if (ok) ok = CollectFiles(plan, context, &error);
  const EnginePolicy policy = context.policy ? context.policy->Get() : EnginePolicy{};
  const ScanDeadline deadline = JobDeadline(job, policy.budget);
  if (ok && context.scanner && std::chrono::steady_clock::now() >= deadline) {
    // Not looked into at all: that is no finding in the mail but the engine's own failure.
    ok = false;
    error = "the job waited for a worker until its waiter was about to give up";
  }
  if (ok) {
    for (JobFile& file : plan.files) {
      if (context.scanner) {
        if (std::chrono::steady_clock::now() >= deadline) {
          // The job's time is spent: what is left is not known to be clean.
          file.result.status = ScanStatus::kInfected;
          file.result.virus = kScanTimeFinding;
        } else {
          file.result = context.scanner->ScanFile(file.path, deadline);
        }
      } else if (IsRegularFile(file.path)) {
        file.result.status = ScanStatus::kClean;
      } else {
        file.result.error = "cannot find " + file.path;
      }
      if (file.result.status == ScanStatus::kError) {
        ok = false;
        error = file.result.error;
        break;
      }
      // A fragment of a split message: what a client joins from it no scanner saw whole.
      if (file.role == FileRole::kRawBody && file.result.status == ScanStatus::kClean &&
          HoldsPartialMessage(file.path)) {
        file.result.status = ScanStatus::kInfected;
        file.result.virus = kPartialMessageFinding;
      }
      if (file.result.status == ScanStatus::kInfected)
        report.findings.push_back({file.display_name, file.result.virus});
    }
  }
  if (ok) {
    std::vector<const JobFile*> kept;
    ok = WriteVerdictFiles(plan, policy, context, report, &kept, &error) &&
         WriteFileAtomically(plan.out_job_dir + "/" + kResultHeader, ResultHeaderText(plan, kept),
                             &error);
    if (ok) report.outcome = report.findings.empty() ? JobOutcome::kClean : JobOutcome::kInfected;
  }
  if (!ok && !WriteError(plan, error, report)) {
    // Neither an answer nor an error could be written (a full spool, or the directory went
    // away while the job ran). A waiter woken now would find no verdict, so none is woken:
    // its wait ends by its time-out, as for an engine that does not answer, and what was
    // written of the answer goes, so that no later reader takes it for one.
    for (const std::string& name : ListDirectory(plan.out_job_dir))
      (void)::unlink((plan.out_job_dir + "/" + name).c_str());
    report.outcome = JobOutcome::kDropped;
    report.detail = "no answer could be written (" + error + "), the job is not signalled";
    return report;
  }
  report.event_set =
      SignalJobEvent(job.kind == JobKind::kDatabase ? kDatabaseEvent : JobEventName(job.name));
  return report;
}

}  // namespace vtengine
