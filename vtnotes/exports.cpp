// exports.cpp - the entries of the hook library, with C linkage, as the server finds them.
//
// NAME
//   vtnotes - the real-time scanning extension of the mail router
// SYNOPSIS
//   notes.ini: NSF_HOOKS=vtnotes
// DESCRIPTION
//   Loaded into every server task; only in the router (nRouter) does it install its hooks.
//   There every mail opened from a router mail box (mail.box, mail2.box ...) is captured
//   into a scan job, handed to the engine through the spool, waited for with an adaptive
//   time-out and changed, quarantined or deleted as the engine answers.
// FILES
//   <install>/vantrel.ini     [General] ScanDir, ReportDirectory, VantrelID, AdminEmailId,
//                             WarningMailsFromUser
//   <install>/verinfo.ini     [General] Version
//   <install>/maildisp.lck    held by the running engine
//   <install>/<ScanDir>/<JobId>/   IN job: 0.bdy, 0.bdx, n.ATT, 0.hdr
//   <install>/Out/<JobId>/         OUT job: the engine's answer
//   <install>/Out/{VTDisable,TimeOut,Held,Quarantine}/<name>/   administrator warnings
//                             waiting to be sent, one directory each
//   <install>/Quarantine/<JobId>-<date>-<n>.eml   the original of a mail whose quarantine
//                             copy failed, as an RFC 822 message
//   named objects: gMutex, MailBoxMutex, LogFile, MutexNoteUpdate, MyMutex,
//   statistics_mutex, TotalSkippedMail_mutex, UpdateEvent, <JobId>a90z, <JobId>x
// CONFIGURATION
//   HKLM\SOFTWARE\Veltrane\Vantrel For Lotus Notes: TimeOut (120 s),
//   ProcessDeleteMailInSeconds (20), LogBufSize (10000), VTDEBUG (0),
//   VTDisableWarningToAdmin (1), TimeOutWarningToAdmin (1), DONOT_DELETE_OUT_DIR (0),
//   VTADMINDB (quarantine databases), HoldMailWhenNotScanned (0; 1 keeps a mail that
//   could not be scanned in its mail box for the router to try again); statistics
//   TotalTimeout, MaxTimeoutReached, Small, Medium, Large, VeryLarge, TotalSkippedMail.
// DIAGNOSTICS
//   The debug log "dd-mm-yyyy-hh-mm-ss.log" and the event log vtnotes.log in the report
//   directory. Every failure lets the mail pass, counted as skipped and reported to the
//   administrators; only a deletion returns status 582. With HoldMailWhenNotScanned, and
//   when a failed quarantine copy leaves no other place for the original, the open is
//   refused (ERR_HOOK_REFUSED) and the mail stays in the mail box.
#include "vtnotes/hooks.h"

extern "C" {

__attribute__((visibility("default"))) STATUS MainEntryPoint(DBHOOKVEC* vector) {
  return vtnotes::EntryPoint(vector);
}

__attribute__((visibility("default"))) STATUS TrackerTerm(DBHOOKVEC* vector) {
  return vtnotes::Term(vector);
}

__attribute__((visibility("default"))) STATUS TrackerNoteOpen(DBHOOKVEC* vector, char* user_name,
                                                              void* group_list, DBHANDLE db,
                                                              NOTEID note_id, NOTEHANDLE note,
                                                              WORD open_flags) {
  return vtnotes::NoteOpen(vector, user_name, group_list, db, note_id, note, open_flags);
}

__attribute__((visibility("default"))) STATUS TrackerNoteUpdate(DBHOOKVEC* vector,
                                                                char* user_name,
                                                                void* group_list, DBHANDLE db,
                                                                NOTEID note_id, NOTEHANDLE note,
                                                                WORD* update_flags) {
  return vtnotes::NoteUpdate(vector, user_name, group_list, db, note_id, note, update_flags);
}

}  // extern "C"
