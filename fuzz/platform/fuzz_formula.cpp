// Fuzz target: the formula compiler of the Notes stand-in, and the evaluation and index
// terms of what it compiles, against one fixed document.
//
// Besides what the sanitizers catch, it aborts when the formula selects the document while
// one of its index terms does not hold for it: a search that narrows its candidates by
// those terms would then miss a document the formula selects.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "platform/notes/formula.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

const std::map<std::string, formula::Value>& Items() {
  static const std::map<std::string, formula::Value> items = {
      {formula::FoldText("Form"), formula::Value::Text("NewUser")},
      {formula::FoldText("Email3"), formula::Value::TextList({"ALICE@EXAMPLE.COM", "a@b"})},
      {formula::FoldText("Status"), formula::Value::Text("Enable")},
      {formula::FoldText("Max_Send_Size"), formula::Value::Number(50)},
      {formula::FoldText("Sizes"), formula::Value::NumberList({1, 2.5, -3})},
      {formula::FoldText("PostedDate"), formula::Value::Time(1234567)},
      {formula::FoldText("Empty"), formula::Value::Text("")},
  };
  return items;
}

formula::DocumentView View() {
  formula::DocumentView view;
  view.get_item = [](std::string_view name, formula::Value* value_r) {
    const auto found = Items().find(formula::FoldText(name));
    if (found == Items().end()) return false;
    *value_r = found->second;
    return true;
  };
  view.doc_length = [] { return int64_t{4096}; };
  view.attachment_count = [] { return int64_t{2}; };
  return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const formula::CompileResult compiled = formula::CompileFormula(text);
  if (!compiled.ok()) {
    Check(!compiled.message.empty());
    return 0;
  }
  Check(formula::FormulaSource(*compiled.program) == text);
  const formula::DocumentView view = View();
  (void)formula::EvaluateFormula(*compiled.program, view);
  if (!formula::SelectsDocument(*compiled.program, view)) return 0;
  for (const formula::IndexTerm& term : formula::IndexTerms(*compiled.program)) {
    Check(!term.value.empty());
    const auto found = Items().find(term.item);
    Check(found != Items().end());
    bool holds = false;
    for (const std::string& entry : found->second.texts)
      holds |= formula::FoldText(entry) == term.value;
    Check(holds);
  }
  return 0;
}
