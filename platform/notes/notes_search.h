// notes_search.h - formulas: compile, search a database, compute over one note.
//
// What it is for: selection formulas (SELECT form = "NewUser" & Email3 = "...") run over the
// documents of a database, and computed values (@DocLength) over one note.
// Ownership: the FORMULAHANDLE from NSFFormulaCompile is the caller's (OSMemFree); a compute
// handle is stopped with NSFComputeStop; a result handle is freed with OSMemFree.
// Locks: NSFSearch holds no lock while its routine runs; the routine may open, change and
// delete notes of the same database.
#pragma once

#include "platform/notes/notes_nsf.h"

// Compiles formula_text (formula_len 0 or MAXWORD: NUL-terminated). On a syntax error
// the result is ERR_FORMULA_SYNTAX, *compile_error_r too, and the position is given in the
// line/column/offset outputs and in the status text (OSLoadString). Outputs may be null.
[[nodiscard]] STATUS NSFFormulaCompile(const char* formula_name, WORD formula_name_len,
                                       const char* formula_text, WORD formula_len,
                                       FORMULAHANDLE* formula_r, WORD* formula_len_r,
                                       STATUS* compile_error_r, WORD* error_line_r,
                                       WORD* error_column_r, WORD* error_offset_r,
                                       WORD* error_length_r);

struct ORIGINATORID {
  DBID File;
  TIMEDATE Note;
  DWORD Sequence;
  TIMEDATE SequenceTime;
};
struct GLOBALINSTANCEID {
  DBID File;
  TIMEDATE Note;
  NOTEID NoteID;
};
struct SEARCH_MATCH {
  GLOBALINSTANCEID ID;
  ORIGINATORID OriginatorID;
  WORD NoteClass;
  BYTE SERetFlags;  // SE_FMATCH when the note matches the formula
  BYTE Privileges;
  WORD SummaryLength;
};
inline constexpr BYTE SE_FNOMATCH = 0x00;
inline constexpr BYTE SE_FMATCH = 0x01;
struct ITEM_TABLE {
  WORD Length;
  WORD Items;
};
inline constexpr WORD SEARCH_SUMMARY = 0x0002;
inline constexpr WORD SEARCH_ALL_VERSIONS = 0x0001;

using NSFSEARCHPROC = STATUS (*)(void* context, SEARCH_MATCH* match, ITEM_TABLE* summary);
// Calls routine once per note of note_class_mask that matches formula (NULLHANDLE = every
// note), in note-ID order. A non-zero routine result ends the search and is returned.
// view_title, flags and since are accepted and ignored; until_r (may be null) gets now.
[[nodiscard]] STATUS NSFSearch(DBHANDLE db, FORMULAHANDLE formula, const char* view_title,
                               WORD search_flags, WORD note_class_mask,
                               const TIMEDATE* since, NSFSEARCHPROC routine, void* context,
                               TIMEDATE* until_r);

// compiled_formula is OSLockObject(formula handle).
[[nodiscard]] STATUS NSFComputeStart(WORD flags, void* compiled_formula, HCOMPUTE* compute_r);
[[nodiscard]] STATUS NSFComputeStop(HCOMPUTE compute);
// Evaluates against note. The result block holds the type word then the value: TYPE_NUMBER
// (one double), TYPE_NUMBER_RANGE (0x0301: WORD count, WORD 0, then count doubles),
// TYPE_TEXT (the bytes), TYPE_TEXT_LIST (text list layout), TYPE_TIME (TIMEDATE).
// Outputs other than result_r may be null.
[[nodiscard]] STATUS NSFComputeEvaluate(HCOMPUTE compute, NOTEHANDLE note, DHANDLE* result_r,
                                        WORD* result_len_r, BOOL* note_matches_r,
                                        BOOL* note_should_be_deleted_r, BOOL* note_modified_r);
