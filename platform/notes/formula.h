// formula.h - the formula language of the Notes stand-in: compile, evaluate, index terms.
//
// What it is for
//   Selection formulas ("SELECT form = \"NewUser\" & Email3 = \"A@B.COM\"") and compute
//   formulas ("@DocLength") as NSFFormulaCompile, NSFSearch and NSFCompute* take them. This
//   unit is pure: it knows nothing of databases, notes or handles. A document is seen only
//   through a DocumentView, a small set of callbacks the caller fills.
//
// The language
//   formula    := [SELECT] expr
//   expr       := unary { ("&" | "|") unary }        & and | share one level, left to right
//   unary      := "!" unary | compare
//   compare    := sum [ ("=" | "!=" | "<>" | "<" | ">" | "<=" | ">=") sum ]
//   sum        := product { ("+" | "-") product }
//   product    := sign { ("*" | "/") sign }
//   sign       := ["-" | "+"] list
//   list       := primary { ":" primary }
//   primary    := "(" expr ")" | "text" | {text} | number | NULL | field | @Function ["()"]
//   @Functions : @Attachments, @DocLength, @True, @False, @All, @Yes, @No,
//                @IsAvailable(field), @IsUnavailable(field)
//   Keywords, @function names and field names are matched without case. Text constants take
//   backslash escapes (\" and \\). A missing field reads as "" (so `X != NULL` tests that X
//   is present and not empty). Binary operators work on lists entry by entry, the shorter
//   list repeating its last entry; a comparison is true when it holds for any pair (so a
//   field holding a list equals a text when any entry equals it, and `!=` is true when any
//   pair differs). Text comparisons ignore case. A number is true when it is not 0; a list is
//   true when any entry is.
//
// Values and types
//   Results carry the Notes type words: number 0x0300, number list 0x0301, text 1280 (0x0500),
//   text list 1281 (0x0501), time 0x0400, time list 0x0401. A one-entry list is reported as the
//   single type.
//
// Ownership and threads
//   A Program is immutable once compiled; one Program may be evaluated by any number of
//   threads at once. Evaluation calls the view's callbacks on the calling thread only and
//   keeps no state between calls. No locks.

#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace formula {

inline constexpr uint16_t kTypeNumber = 0x0300;
inline constexpr uint16_t kTypeNumberList = 0x0301;
inline constexpr uint16_t kTypeTime = 0x0400;
inline constexpr uint16_t kTypeTimeList = 0x0401;
inline constexpr uint16_t kTypeText = 0x0500;      // 1280
inline constexpr uint16_t kTypeTextList = 0x0501;  // 1281

// Longest formula text accepted; a longer one fails to compile.
inline constexpr size_t kMaxFormulaLength = 64 * 1024;
// Deepest nesting of parentheses and unary operators; deeper formulas fail to compile
// rather than exhaust the stack of the evaluating thread.
inline constexpr int kMaxNestingDepth = 200;

// One typed value: exactly one of the vectors is used, as `type` says. Times are opaque
// ordered ticks (the caller's TIMEDATE turned into one integer), compared only to times.
struct Value {
  uint16_t type = kTypeText;
  std::vector<std::string> texts;
  std::vector<double> numbers;
  std::vector<int64_t> times;

  static Value Text(std::string text);
  static Value TextList(std::vector<std::string> texts);
  static Value Number(double number);
  static Value NumberList(std::vector<double> numbers);
  static Value Time(int64_t ticks);

  // Entries in the value (a single value counts 1).
  [[nodiscard]] size_t Count() const;
  // True for a number (list) with any entry not 0. Text and times are never true.
  [[nodiscard]] bool IsTrue() const;
};

// How a formula sees one document. Every callback may be left empty: a missing get_item
// reads every field as absent, missing counters read 0.
struct DocumentView {
  // Fills *value_r with the first item called `name` (compared without case) and returns
  // true; returns false when the document has no such item. Text and text-list items come
  // back as kTypeText/kTypeTextList, numbers as kTypeNumber/kTypeNumberList, times as
  // kTypeTime/kTypeTimeList; other item types (rich text, MIME) may be returned as text.
  std::function<bool(std::string_view name, Value* value_r)> get_item;
  // @DocLength: the document's size in bytes.
  std::function<int64_t()> doc_length;
  // @Attachments: the number of file attachments.
  std::function<int64_t()> attachment_count;
};

// A compiled formula. Opaque; create with CompileFormula.
struct Program;

struct ProgramDeleter {
  void operator()(const Program* program) const;
};
using ProgramPtr = std::unique_ptr<const Program, ProgramDeleter>;

struct CompileResult {
  ProgramPtr program;   // set on success
  size_t column = 0;    // on failure: 1-based column of the offending token
  std::string message;  // on failure: e.g. "column 17: expected ')' but found end of formula"

  [[nodiscard]] bool ok() const { return program != nullptr; }
};

// Compiles `text`. The error message names the column and what was expected there.
[[nodiscard]] CompileResult CompileFormula(std::string_view text);

// The source text the program was compiled from (so a handle can carry it as bytes).
[[nodiscard]] const std::string& FormulaSource(const Program& program);
// True when the formula begins with SELECT.
[[nodiscard]] bool IsSelectionFormula(const Program& program);

struct EvalResult {
  bool ok = false;
  Value value;        // when ok
  std::string error;  // when not ok, e.g. "incorrect data type for operator '&': number expected"
};

// Evaluates the program against one document.
[[nodiscard]] EvalResult EvaluateFormula(const Program& program, const DocumentView& view);

// Search semantics: true when evaluation succeeds and its value is true. A formula that
// fails on a document (a type error) does not select it.
[[nodiscard]] bool SelectsDocument(const Program& program, const DocumentView& view);

// One equality a search can narrow candidates with: every document the formula selects has
// a text or text-list item named `item` (folded) with an entry equal to `value` (folded).
struct IndexTerm {
  std::string item;   // FoldText of the field name
  std::string value;  // FoldText of the text constant, never empty
};

// The `field = "text"` equalities ANDed at the top level of the formula (under SELECT),
// in formula order. Empty when there are none there (terms under | or ! do not count, nor
// comparisons with "" or with anything but one text constant). A search may take the
// candidates that satisfy any one term from its index (all terms hold for every selected
// document) and must still evaluate the formula on each candidate. Take the term with the
// fewest candidates (or intersect): in `form = "NewUser" & Email3 = "..."` the first term
// matches every rule document and only the second narrows. The index must hold every text
// entry that get_item would return, folded, under the folded item name.
[[nodiscard]] std::vector<IndexTerm> IndexTerms(const Program& program);

// The case folding every text comparison uses; an index of item values must store values
// and item names folded with it so IndexTerms can be looked up.
[[nodiscard]] std::string FoldText(std::string_view text);

}  // namespace formula
