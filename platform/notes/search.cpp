// search.cpp - NSFFormulaCompile, NSFSearch and NSFCompute* over the formula module.
//
// A compiled formula is a memory block: its first bytes are a tag and the block's own handle,
// then the source text, so NSFComputeStart can get from OSLockObject's pointer back to the
// compiled program. A search narrows its candidates with the text index (the formula's
// top-level `field = "text"` terms) and still evaluates the whole formula on each, so its
// result always equals a scan of every note.
#include <cstring>

#include "platform/notes/formula.h"
#include "platform/notes/mail_import.h"
#include "platform/notes/notes_internal.h"

namespace notes_internal {

struct Compute {
  std::shared_ptr<const formula::Program> program;
};

namespace {

constexpr char kFormulaTag[8] = {'V', 'T', 'F', 'O', 'R', 'M', '1', '\0'};
constexpr size_t kFormulaHeaderBytes = sizeof kFormulaTag + sizeof(DHANDLE);

STATUS ProgramOfBlock(const void* compiled, std::shared_ptr<const formula::Program>* program_r) {
  if (compiled == nullptr) return ERR_BAD_PARAM;
  if (std::memcmp(compiled, kFormulaTag, sizeof kFormulaTag) != 0) {
    return ERR_FORMULA_UNAVAILABLE;
  }
  DHANDLE handle;
  std::memcpy(&handle, static_cast<const char*>(compiled) + sizeof kFormulaTag, sizeof handle);
  std::shared_ptr<MemoryBlock> block;
  if (FindMemory(handle, &block) != NOERROR || block->bytes.data() != compiled) {
    return ERR_FORMULA_UNAVAILABLE;
  }
  auto program = std::static_pointer_cast<const formula::Program>(block->attached);
  if (!program) return ERR_FORMULA_UNAVAILABLE;
  *program_r = std::move(program);
  return NOERROR;
}

STATUS ProgramOfHandle(FORMULAHANDLE handle, std::shared_ptr<const formula::Program>* program_r) {
  std::shared_ptr<MemoryBlock> block;
  if (STATUS status = FindMemory(handle, &block); status != NOERROR) return status;
  auto program = std::static_pointer_cast<const formula::Program>(block->attached);
  if (!program) return ERR_FORMULA_UNAVAILABLE;
  *program_r = std::move(program);
  return NOERROR;
}

std::string JoinParagraphs(const std::vector<std::string>& paragraphs) {
  std::string text;
  for (size_t i = 0; i < paragraphs.size(); ++i) {
    if (i > 0) text += '\n';
    text += paragraphs[i];
  }
  return text;
}

// How the formulas see a note. The note must stay locked while the view is used.
formula::DocumentView ViewOf(Note& note) {
  formula::DocumentView view;
  view.get_item = [&note](std::string_view name, formula::Value* value_r) {
    Item* item = FindItem(note, name);
    if (item == nullptr) return false;
    std::string_view data = item->Data();
    switch (item->Type()) {
      case TYPE_TEXT:
        *value_r = formula::Value::Text(std::string(data));
        return true;
      case TYPE_TEXT_LIST: {
        std::vector<std::string> entries;
        if (!DecodeTextList(data, &entries)) return false;
        *value_r = entries.size() == 1 ? formula::Value::Text(entries[0])
                                       : formula::Value::TextList(std::move(entries));
        return true;
      }
      case TYPE_NUMBER: {
        if (data.size() < sizeof(NUMBER)) return false;
        NUMBER number;
        std::memcpy(&number, data.data(), sizeof number);
        *value_r = formula::Value::Number(number);
        return true;
      }
      case TYPE_NUMBER_RANGE: {
        if (data.size() < 4) return false;
        auto bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        size_t count = GetWord(bytes);
        if (data.size() < 4 + count * sizeof(NUMBER)) return false;
        std::vector<double> numbers(count);
        std::memcpy(numbers.data(), data.data() + 4, count * sizeof(NUMBER));
        *value_r = formula::Value::NumberList(std::move(numbers));
        return true;
      }
      case TYPE_TIME: {
        if (data.size() < sizeof(TIMEDATE)) return false;
        TIMEDATE time;
        std::memcpy(&time, data.data(), sizeof time);
        *value_r = formula::Value::Time(TimeTicks(time));
        return true;
      }
      case TYPE_COMPOSITE: {
        bool found = false;
        *value_r = formula::Value::Text(JoinParagraphs(BodyParagraphs(note, item->name, &found)));
        return true;
      }
      default:
        *value_r = formula::Value::Text("");
        return true;
    }
  };
  view.doc_length = [&note]() { return static_cast<int64_t>(NoteSize(note)); };
  view.attachment_count = [&note]() {
    int64_t count = 0;
    bool mime_body = false;
    const Item* kept_as_text = nullptr;
    for (const Item& item : note.items) {
      if (item.Type() == TYPE_OBJECT && EqualNoCase(item.name, "$FILE")) {
        ++count;
      } else if (item.Type() == TYPE_MIME_PART && EqualNoCase(item.name, "Body")) {
        mime_body = true;
      } else if (item.Type() == TYPE_NUMBER &&
                 EqualNoCase(item.name, mail_import::kTextAttachmentsItem)) {
        kept_as_text = &item;
      }
    }
    // Attachment parts the import had to leave inside the MIME text count too, as long as
    // that text is still the body (a rewritten body no longer holds them).
    if (mime_body && kept_as_text != nullptr && kept_as_text->Data().size() >= sizeof(NUMBER)) {
      NUMBER kept = 0;
      std::memcpy(&kept, kept_as_text->Data().data(), sizeof kept);
      if (kept > 0 && kept < 1e9) count += static_cast<int64_t>(kept);
    }
    return count;
  };
  return view;
}

// The evaluated value in the result layout of NSFComputeEvaluate.
std::vector<std::uint8_t> EncodeValue(const formula::Value& value) {
  std::vector<std::uint8_t> out;
  auto put_doubles = [&out](const std::vector<double>& numbers) {
    for (double number : numbers) {
      auto bytes = reinterpret_cast<const std::uint8_t*>(&number);
      out.insert(out.end(), bytes, bytes + sizeof number);
    }
  };
  switch (value.type) {
    case formula::kTypeNumber:
      PutWord(&out, TYPE_NUMBER);
      put_doubles({value.numbers.empty() ? 0.0 : value.numbers[0]});
      break;
    case formula::kTypeNumberList:
      PutWord(&out, TYPE_NUMBER_RANGE);
      PutWord(&out, static_cast<WORD>(value.numbers.size()));
      PutWord(&out, 0);
      put_doubles(value.numbers);
      break;
    case formula::kTypeTime:
    case formula::kTypeTimeList: {
      bool list = value.type == formula::kTypeTimeList;
      PutWord(&out, list ? TYPE_TIME_RANGE : TYPE_TIME);
      if (list) {
        PutWord(&out, static_cast<WORD>(value.times.size()));
        PutWord(&out, 0);
      }
      for (int64_t ticks : value.times) {
        TIMEDATE time = TimeFromTicks(ticks);
        PutDword(&out, time.Innards[0]);
        PutDword(&out, time.Innards[1]);
        if (!list) break;
      }
      break;
    }
    case formula::kTypeTextList: {
      PutWord(&out, TYPE_TEXT_LIST);
      std::vector<std::uint8_t> list = EncodeTextList(value.texts);
      out.insert(out.end(), list.begin(), list.end());
      break;
    }
    default:
      PutWord(&out, TYPE_TEXT);
      if (!value.texts.empty()) out.insert(out.end(), value.texts[0].begin(), value.texts[0].end());
      break;
  }
  return out;
}

}  // namespace
}  // namespace notes_internal

using namespace notes_internal;

STATUS NSFFormulaCompile(const char* formula_name, WORD formula_name_len,
                         const char* formula_text, WORD formula_len, FORMULAHANDLE* formula_r,
                         WORD* formula_len_r, STATUS* compile_error_r, WORD* error_line_r,
                         WORD* error_column_r, WORD* error_offset_r, WORD* error_length_r) {
  if (formula_r != nullptr) *formula_r = NULLHANDLE;
  if (compile_error_r != nullptr) *compile_error_r = NOERROR;
  if (formula_text == nullptr || formula_r == nullptr) return ERR_BAD_PARAM;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  size_t length = formula_len == 0 || formula_len == MAXWORD ? std::strlen(formula_text)
                                                             : formula_len;
  formula::CompileResult result = formula::CompileFormula(std::string_view(formula_text, length));
  if (!result.ok()) {
    SetLastFormulaError(result.message);
    if (compile_error_r != nullptr) *compile_error_r = ERR_FORMULA_SYNTAX;
    if (error_line_r != nullptr) *error_line_r = 1;
    if (error_column_r != nullptr) *error_column_r = static_cast<WORD>(result.column);
    if (error_offset_r != nullptr) {
      *error_offset_r = static_cast<WORD>(result.column > 0 ? result.column - 1 : 0);
    }
    if (error_length_r != nullptr) *error_length_r = 1;
    return ERR_FORMULA_SYNTAX;
  }
  auto block = std::make_shared<MemoryBlock>();
  std::shared_ptr<const formula::Program> program(std::move(result.program));
  block->attached = std::const_pointer_cast<formula::Program>(program);
  std::string_view source(formula_text, length);
  block->bytes.resize(kFormulaHeaderBytes + source.size() + 1, '\0');
  DHANDLE handle = AddHandle(block);
  // Nobody knows the handle yet, so the block can still be filled in.
  std::memcpy(block->bytes.data(), kFormulaTag, sizeof kFormulaTag);
  std::memcpy(block->bytes.data() + sizeof kFormulaTag, &handle, sizeof handle);
  std::memcpy(block->bytes.data() + kFormulaHeaderBytes, source.data(), source.size());
  *formula_r = handle;
  if (formula_len_r != nullptr) {
    *formula_len_r = static_cast<WORD>(std::min<size_t>(block->bytes.size(), MAXWORD));
  }
  return NOERROR;
}

STATUS NSFSearch(DBHANDLE db_handle, FORMULAHANDLE formula_handle, const char* view_title,
                 WORD search_flags, WORD note_class_mask, const TIMEDATE* since,
                 NSFSEARCHPROC routine, void* context, TIMEDATE* until_r) {
  if (routine == nullptr) return ERR_BAD_PARAM;
  DatabasePtr db;
  if (STATUS status = FindDatabase(db_handle, &db); status != NOERROR) return status;
  std::shared_ptr<const formula::Program> program;
  std::vector<IndexLookup> terms;
  if (formula_handle != NULLHANDLE) {
    if (STATUS status = ProgramOfHandle(formula_handle, &program); status != NOERROR) {
      return status;
    }
    for (const formula::IndexTerm& term : formula::IndexTerms(*program)) {
      terms.push_back({term.item, term.value});
    }
  }
  WORD mask = note_class_mask == 0 ? NOTE_CLASS_DOCUMENT : note_class_mask;
  auto report = [&](const NoteHeader& header) {
    SEARCH_MATCH match{};
    match.ID.NoteID = header.id;
    match.ID.Note = header.created;
    match.OriginatorID.Note = header.created;
    match.OriginatorID.SequenceTime = header.modified;
    match.NoteClass = header.note_class;
    match.SERetFlags = SE_FMATCH;
    ITEM_TABLE summary{sizeof(ITEM_TABLE), 0};
    return routine(context, &match, &summary);
  };
  if (!program) {
    // Every note of the class matches and the routine is given no items, so the headers
    // are enough: a mail box with thousands of waiting mails is listed in one query,
    // without reading a single item.
    std::vector<NoteHeader> headers;
    if (STATUS status = ListNoteHeaders(db, mask, &headers); status != NOERROR) return status;
    for (const NoteHeader& header : headers) {
      if (STATUS status = report(header); status != NOERROR) return status;
    }
  } else {
    std::vector<NOTEID> ids;
    if (STATUS status = ListNoteIds(db, mask, terms, &ids); status != NOERROR) return status;
    // No lock is held while the routine runs: it may open, change or delete these notes.
    for (NOTEID id : ids) {
      Note note;
      STATUS status = LoadNote(db, id, &note);
      if (status == ERR_INVALID_NOTE) continue;  // deleted since the list was taken
      if (status != NOERROR) return status;
      if (!formula::SelectsDocument(*program, ViewOf(note))) continue;
      status = report({id, note.note_class, note.created, note.modified});
      if (status != NOERROR) return status;
    }
  }
  if (until_r != nullptr) OSCurrentTIMEDATE(until_r);
  return NOERROR;
}

STATUS NSFComputeStart(WORD flags, void* compiled_formula, HCOMPUTE* compute_r) {
  if (compute_r == nullptr) return ERR_BAD_PARAM;
  *compute_r = NULLHANDLE;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  auto compute = std::make_shared<Compute>();
  if (STATUS status = ProgramOfBlock(compiled_formula, &compute->program); status != NOERROR) {
    return status;
  }
  *compute_r = AddHandle(compute);
  return NOERROR;
}

STATUS NSFComputeStop(HCOMPUTE compute_handle) {
  HandleObject object;
  if (!FindHandle(compute_handle, &object)) return ERR_INVALID_HANDLE;
  if (!std::holds_alternative<std::shared_ptr<Compute>>(object)) return ERR_HANDLE_KIND;
  return RemoveHandle(compute_handle, &object) ? NOERROR : ERR_INVALID_HANDLE;
}

STATUS NSFComputeEvaluate(HCOMPUTE compute_handle, NOTEHANDLE note_handle, DHANDLE* result_r,
                          WORD* result_len_r, BOOL* note_matches_r,
                          BOOL* note_should_be_deleted_r, BOOL* note_modified_r) {
  if (result_r != nullptr) *result_r = NULLHANDLE;
  if (STATUS status = CheckThread(); status != NOERROR) return status;
  HandleObject object;
  if (!FindHandle(compute_handle, &object)) return ERR_INVALID_HANDLE;
  auto* compute = std::get_if<std::shared_ptr<Compute>>(&object);
  if (compute == nullptr) return ERR_HANDLE_KIND;
  formula::EvalResult result;
  if (note_handle == NULLHANDLE) {
    result = formula::EvaluateFormula(*(*compute)->program, formula::DocumentView{});
  } else {
    NotePtr note;
    if (STATUS status = FindNote(note_handle, &note); status != NOERROR) return status;
    std::lock_guard<std::recursive_mutex> lock(note->mutex);
    result = formula::EvaluateFormula(*(*compute)->program, ViewOf(*note));
  }
  if (!result.ok) return ERR_FORMULA_EVAL;
  if (note_matches_r != nullptr) *note_matches_r = result.value.IsTrue() ? TRUE : FALSE;
  if (note_should_be_deleted_r != nullptr) *note_should_be_deleted_r = FALSE;
  if (note_modified_r != nullptr) *note_modified_r = FALSE;
  std::vector<std::uint8_t> encoded = EncodeValue(result.value);
  if (result_r != nullptr) {
    auto block = std::make_shared<MemoryBlock>();
    block->bytes.assign(encoded.begin(), encoded.end());
    *result_r = AddHandle(block);
  }
  if (result_len_r != nullptr) {
    *result_len_r = static_cast<WORD>(std::min<size_t>(encoded.size(), MAXWORD));
  }
  return NOERROR;
}
