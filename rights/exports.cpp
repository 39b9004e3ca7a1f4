// exports.cpp - the entries of the hook library, with C linkage, as the server finds them.
//
// NAME
//   rights - per-user size limits on the mail of the router
// SYNOPSIS
//   notes.ini: NSF_HOOKS=...,rights
// DESCRIPTION
//   Every new mail written into a router mail box (mail.box, mail2.box ...) is measured
//   and checked against the sender's send limit and each recipient's receive limit, kept as
//   "NewUser" documents in vtsched.nsf. A met limit marks the mail for the scanning
//   extension (X-Vantrel "DELETE" or "FORWARD", ReplacePersonLength and ReplacePerson),
//   drops refused recipients, writes warning mails into the same mail box and marks the mail
//   X-SizeRestriction "DONE". The extension never deletes a mail itself.
// FILES
//   <install>/vantrel.ini     [General] ReportDirectory, VantrelID, AdminEmailId
//   <install>/maildisp.lck    held by the running engine; without it nothing is checked
//   <data>/vtsched.nsf        the rule documents
// CONFIGURATION
//   HKLM\SOFTWARE\Veltrane\Vantrel For Lotus Notes: SizeRestrictionEnabled (0), VTDEBUG (0;
//   5 and above logs detail), WTOA_Send_SizeRestriction, WTOS_Send_SizeRestriction,
//   WTOR_Receive_SizeRestriction, WTOS_Receive_SizeRestriction,
//   WTOA_Receive_SizeRestriction (each 1 = on).
// DIAGNOSTICS
//   rights.log in the report directory (or the server's working directory). The hook
//   returns 0 except when the mail's size cannot be computed.
#include "rights/rights.h"

extern "C" {

__attribute__((visibility("default"))) STATUS MainEntryPoint(DBHOOKVEC* vector) {
  return rights::EntryPoint(vector);
}

__attribute__((visibility("default"))) STATUS TrackerTerm(DBHOOKVEC* vector) {
  return rights::Term(vector);
}

__attribute__((visibility("default"))) STATUS TrackerNoteUpdate(DBHOOKVEC* vector,
                                                                char* user_name,
                                                                void* group_list, DBHANDLE db,
                                                                NOTEID note_id, NOTEHANDLE note,
                                                                WORD* update_flags) {
  return rights::NoteUpdate(vector, user_name, group_list, db, note_id, note, update_flags);
}

}  // extern "C"
