// Tests of the formula language: compile errors, evaluation over documents, typed results,
// and the index terms a search narrows with (checked against full evaluation on random
// documents).

#include "platform/notes/formula.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>

namespace formula {
namespace {

// A document as a map of items (names folded), as a database would hand it to the view.
struct FakeDocument {
  std::map<std::string, Value> items;
  int64_t length = 0;
  int64_t attachments = 0;

  FakeDocument& Set(std::string name, Value value) {
    items[FoldText(name)] = std::move(value);
    return *this;
  }

  DocumentView View() const {
    DocumentView view;
    view.get_item = [this](std::string_view name, Value* value_r) {
      auto found = items.find(FoldText(name));
      if (found == items.end()) return false;
      *value_r = found->second;
      return true;
    };
    view.doc_length = [this] { return length; };
    view.attachment_count = [this] { return attachments; };
    return view;
  }
};

ProgramPtr Compile(std::string_view text) {
  CompileResult result = CompileFormula(text);
  EXPECT_TRUE(result.ok()) << text << ": " << result.message;
  return std::move(result.program);
}

bool Selects(std::string_view text, const FakeDocument& document) {
  ProgramPtr program = Compile(text);
  return program && SelectsDocument(*program, document.View());
}

FakeDocument RuleDocument() {
  FakeDocument document;
  document.Set("Form", Value::Text("NewUser"))
      .Set("Email3", Value::Text("alice@example.com"))
      .Set("SendTo", Value::TextList({"bob@example.com", "Carol@Example.com"}))
      .Set("Max_Send_Size", Value::Number(100))
      .Set("PostedDate", Value::Time(1700000000))
      .Set("Empty", Value::Text(""));
  document.length = 2048;
  document.attachments = 2;
  return document;
}

TEST(FormulaSelect, TheFormulasTheSystemSearchesWith) {
  FakeDocument rule = RuleDocument();
  struct Case {
    const char* formula;
    bool selected;
  };
  const Case cases[] = {
      {"SELECT form = \"NewUser\" & Email3 = \"ALICE@EXAMPLE.COM\"", true},
      {"SELECT form = \"NewUser\" & Email3 = \"BOB@EXAMPLE.COM\"", false},
      {"SELECT form = \"Scheduledfrm\"", false},
      {"SELECT PostedDate != NULL", true},
      {"SELECT @Attachments & PostedDate != NULL", true},
      {"SELECT NoSuchItem != NULL", false},
      {"SELECT NoSuchItem = NULL", true},
      {"SELECT Empty = NULL", true},
      {"select FORM = \"newuser\"", true},
      {"SELECT @True", true},
      {"SELECT @False", false},
      {"SELECT @All", true},
      {"SELECT !(form = \"NewUser\")", false},
      {"SELECT !form = \"Other\"", true},
      {"SELECT form = \"Other\" | Email3 = \"alice@example.com\"", true},
      {"SELECT Max_Send_Size = 100", true},
      {"SELECT Max_Send_Size > 99 & Max_Send_Size <= 100", true},
      {"SELECT Max_Send_Size != 100", false},
      {"SELECT @DocLength > 1024 * 2 - 1", true},
      {"SELECT @IsAvailable(Email3) & @IsUnavailable(Email9)", true},
      {"SELECT {NewUser} = form", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Selects(c.formula, rule), c.selected) << c.formula;
  }
}

TEST(FormulaSelect, ListFieldsMatchWhenAnyEntryMatches) {
  FakeDocument mail = RuleDocument();
  EXPECT_TRUE(Selects("SELECT SendTo = \"carol@example.com\"", mail));
  EXPECT_TRUE(Selects("SELECT SendTo = \"BOB@example.com\"", mail));
  EXPECT_FALSE(Selects("SELECT SendTo = \"dave@example.com\"", mail));
  // != holds when any entry differs, so a two-entry list differs from each of its entries.
  EXPECT_TRUE(Selects("SELECT SendTo != \"bob@example.com\"", mail));
  EXPECT_TRUE(Selects("SELECT SendTo = (\"x\" : \"carol@example.com\")", mail));
}

TEST(FormulaSelect, TypeErrorsDoNotSelect) {
  FakeDocument rule = RuleDocument();
  // Text is not a truth value and a number is not text: the document is passed over.
  EXPECT_FALSE(Selects("SELECT form", rule));
  EXPECT_FALSE(Selects("SELECT Max_Send_Size = \"100\"", rule));
  EXPECT_FALSE(Selects("SELECT form = \"NewUser\" & Email3", rule));
  EXPECT_FALSE(Selects("SELECT 1 / 0", rule));
  ProgramPtr program = Compile("form & 1");
  EvalResult result = EvaluateFormula(*program, rule.View());
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("'&'"), std::string::npos) << result.error;
}

TEST(FormulaSelect, AnEmptyViewReadsEveryFieldAsAbsent) {
  ProgramPtr program = Compile("SELECT Form = NULL & @Attachments = 0 & @DocLength = 0");
  EXPECT_TRUE(SelectsDocument(*program, DocumentView{}));
}

TEST(FormulaCompute, ResultsCarryTheirTypeWords) {
  FakeDocument rule = RuleDocument();
  struct Case {
    const char* formula;
    uint16_t type;
  };
  const Case cases[] = {
      {"@DocLength", kTypeNumber}, {"1 : 2", kTypeNumberList},  {"form", kTypeText},
      {"SendTo", kTypeTextList},   {"PostedDate", kTypeTime},   {"\"a\" + \"b\"", kTypeText},
      {"SendTo + \"!\"", kTypeTextList}, {"-(2 : 3)", kTypeNumberList},
  };
  for (const Case& c : cases) {
    ProgramPtr program = Compile(c.formula);
    EvalResult result = EvaluateFormula(*program, rule.View());
    ASSERT_TRUE(result.ok) << c.formula << ": " << result.error;
    EXPECT_EQ(result.value.type, c.type) << c.formula;
  }
  ProgramPtr length = Compile("@DocLength");
  EvalResult result = EvaluateFormula(*length, rule.View());
  ASSERT_EQ(result.value.numbers.size(), 1u);
  EXPECT_EQ(result.value.numbers[0], 2048);
  ProgramPtr joined = Compile("SendTo + \"!\"");
  result = EvaluateFormula(*joined, rule.View());
  EXPECT_EQ(result.value.texts, (std::vector<std::string>{"bob@example.com!", "Carol@Example.com!"}));
}

TEST(FormulaCompute, PrecedenceFollowsTheLanguage) {
  struct Case {
    const char* formula;
    double value;
  };
  const Case cases[] = {
      {"1 + 2 * 3", 7},      {"(1 + 2) * 3", 9}, {"10 - 4 - 3", 3}, {"-2 * 3", -6},
      {"1 = 1 + 0", 1},      {"!1 = 0", 1},      {"1.5e1", 15},     {".5 * 4", 2},
      // & and | share one level and go left to right.
      {"1 | 0 & 0", 0},      {"0 & 0 | 1", 1},
  };
  for (const Case& c : cases) {
    ProgramPtr program = Compile(c.formula);
    EvalResult result = EvaluateFormula(*program, DocumentView{});
    ASSERT_TRUE(result.ok) << c.formula << ": " << result.error;
    ASSERT_EQ(result.value.numbers.size(), 1u) << c.formula;
    EXPECT_EQ(result.value.numbers[0], c.value) << c.formula;
  }
}

TEST(FormulaCompile, TextConstantsTakeEscapes) {
  FakeDocument document;
  document.Set("Name", Value::Text("say \"hi\" \\ bye"));
  EXPECT_TRUE(Selects(R"(SELECT Name = "say \"hi\" \\ bye")", document));
  EXPECT_EQ(FormulaSource(*Compile("SELECT @True")), "SELECT @True");
  EXPECT_TRUE(IsSelectionFormula(*Compile("SELECT @True")));
  EXPECT_FALSE(IsSelectionFormula(*Compile("@DocLength")));
}

TEST(FormulaCompile, ErrorsSayWhereAndWhatWasExpected) {
  struct Case {
    const char* formula;
    size_t column;
    const char* says;
  };
  const Case cases[] = {
      {"", 1, "expected a field, constant, @function or '(' but found end of formula"},
      {"SELECT", 7, "but found end of formula"},
      {"SELECT (form = \"x\"", 19, "expected ')' but found end of formula"},
      {"SELECT form = \"x", 15, "expected '\"' to end the text constant"},
      {"SELECT form = = \"x\"", 15, "expected a field, constant"},
      {"SELECT form \"x\"", 13, "expected an operator or end of formula but found text constant"},
      {"SELECT @Bogus", 8, "unknown @function @Bogus"},
      {"SELECT @DocLength(1)", 19, "takes no arguments"},
      {"SELECT a # b", 10, "unexpected character '#'"},
      {"x := 1", 3, "assignments are not supported"},
      {"SELECT a; SELECT b", 9, "only one statement"},
      {"form = SELECT", 8, "SELECT may only begin the formula"},
      {"SELECT @IsAvailable(\"x\")", 21, "expected a field name"},
  };
  for (const Case& c : cases) {
    CompileResult result = CompileFormula(c.formula);
    ASSERT_FALSE(result.ok()) << c.formula;
    EXPECT_EQ(result.column, c.column) << c.formula << ": " << result.message;
    EXPECT_NE(result.message.find(c.says), std::string::npos) << c.formula << ": " << result.message;
    EXPECT_EQ(result.message.rfind("column " + std::to_string(c.column) + ": ", 0), 0u) << result.message;
  }
}

TEST(FormulaCompile, HostileInputIsRefusedNotOverflowed) {
  // Deep nesting would exhaust the evaluating thread's stack; it is refused at compile.
  std::string deep(kMaxNestingDepth + 1, '(');
  deep += "1" + std::string(kMaxNestingDepth + 1, ')');
  CompileResult nested = CompileFormula(deep);
  EXPECT_FALSE(nested.ok());
  EXPECT_NE(nested.message.find("nested too deeply"), std::string::npos);
  EXPECT_FALSE(CompileFormula(std::string(kMaxNestingDepth + 1, '!') + "1").ok());

  // A long flat chain is one node: it compiles and evaluates without deep recursion.
  std::string chain = "SELECT 1";
  while (chain.size() < kMaxFormulaLength - 4) chain += " & 1";
  ProgramPtr program = Compile(chain);
  ASSERT_TRUE(program);
  EXPECT_TRUE(SelectsDocument(*program, DocumentView{}));

  EXPECT_FALSE(CompileFormula(std::string(kMaxFormulaLength + 1, ' ')).ok());
  CompileResult zero = CompileFormula(std::string("SELECT a \0", 10));
  EXPECT_NE(zero.message.find("unexpected character byte 0"), std::string::npos) << zero.message;
}

// Random token soup: compiling never crashes, and what compiles evaluates without crashing.
TEST(FormulaCompile, RandomInputNeitherCrashesNorHangs) {
  const std::vector<std::string> pieces = {"SELECT ", "form", "Email3", " = ", "!=", "&", "|", "!", "(", ")",
                                           "\"x\"", "\"", "{", "}", "12", ".5e", "-", "+", "*", "/", ":",
                                           "@DocLength", "@Attachments", "@IsAvailable(", "NULL", " ", "\\", ";",
                                           ":=", "<", ">=", "@", "$", "\x01", "\xff"};
  std::mt19937 random(42);
  FakeDocument document = RuleDocument();
  int compiled = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    int count = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) text += pieces[random() % pieces.size()];
    CompileResult result = CompileFormula(text);
    if (!result.ok()) {
      EXPECT_GE(result.column, 1u) << text;
      EXPECT_LE(result.column, text.size() + 1) << text;
      continue;
    }
    ++compiled;
    (void)EvaluateFormula(*result.program, document.View());
    (void)IndexTerms(*result.program);
  }
  EXPECT_GT(compiled, 30);
}

TEST(FormulaIndexTerms, OnlyTopLevelAndedEqualities) {
  auto terms_of = [](std::string_view text) {
    std::vector<std::string> out;
    for (const IndexTerm& term : IndexTerms(*Compile(text))) out.push_back(term.item + "=" + term.value);
    return out;
  };
  using Terms = std::vector<std::string>;
  EXPECT_EQ(terms_of("SELECT form = \"NewUser\" & Email3 = \"ALICE@EXAMPLE.COM\""),
            (Terms{"form=newuser", "email3=alice@example.com"}));
  EXPECT_EQ(terms_of("SELECT \"Server\" = Form"), (Terms{"form=server"}));
  EXPECT_EQ(terms_of("SELECT (form = \"a\" & b = \"c\") & @Attachments"), (Terms{"form=a", "b=c"}));
  EXPECT_EQ(terms_of("SELECT form = \"a\" | b = \"c\""), Terms{});
  EXPECT_EQ(terms_of("SELECT form = \"a\" & b = \"c\" | d = \"e\""), Terms{});
  EXPECT_EQ(terms_of("SELECT form = \"a\" | b = \"c\" & d = \"e\""), (Terms{"d=e"}));
  EXPECT_EQ(terms_of("SELECT !(form = \"a\")"), Terms{});
  EXPECT_EQ(terms_of("SELECT form = \"\""), Terms{});
  EXPECT_EQ(terms_of("SELECT form = NULL"), Terms{});
  EXPECT_EQ(terms_of("SELECT form != \"a\""), Terms{});
  EXPECT_EQ(terms_of("SELECT size = 12"), Terms{});
  EXPECT_EQ(terms_of("SELECT form = (\"a\" : \"b\")"), Terms{});
  EXPECT_EQ(terms_of("SELECT PostedDate != NULL"), Terms{});
}

// Narrowing through an index (one row per text entry: folded item name and value) must
// select exactly what evaluating the formula on every document selects.
TEST(FormulaIndexTerms, IndexNarrowedSearchAgreesWithFullScanOnRandomDocuments) {
  std::mt19937 random(20261207);
  const std::vector<std::string> names = {"Form", "Email3", "Status", "Size"};
  const std::vector<std::string> words = {"NewUser", "newuser", "Server", "alice@x", "ALICE@X", "bob", "", "Enable"};
  auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };

  std::vector<FakeDocument> documents(200);
  for (FakeDocument& document : documents) {
    for (const std::string& name : names) {
      switch (random() % 5) {
        case 0: break;  // absent
        case 1: document.Set(name, Value::Text(pick(words))); break;
        case 2: document.Set(name, Value::TextList({pick(words), pick(words)})); break;
        case 3: document.Set(name, Value::Number(static_cast<double>(random() % 3))); break;
        case 4: document.Set(name, Value::TextList({})); break;
      }
    }
    document.attachments = random() % 2;
  }
  // The index, as a database keeps it: (item, value) -> documents.
  std::map<std::pair<std::string, std::string>, std::set<size_t>> index;
  for (size_t id = 0; id < documents.size(); ++id) {
    for (const auto& [name, value] : documents[id].items) {
      if (value.type != kTypeText && value.type != kTypeTextList) continue;
      for (const std::string& text : value.texts) index[{FoldText(name), FoldText(text)}].insert(id);
    }
  }

  auto random_leaf = [&]() -> std::string {
    switch (random() % 6) {
      case 0: return pick(names) + " != \"" + pick(words) + "\"";
      case 1: return "@Attachments";
      case 2: return pick(names) + " = " + std::to_string(random() % 3);
      default: return pick(names) + " = \"" + pick(words) + "\"";
    }
  };
  std::function<std::string(int)> random_expr = [&](int depth) -> std::string {
    if (depth == 0 || random() % 3 == 0) return random_leaf();
    switch (random() % 4) {
      case 0: return std::string("!(").append(random_expr(depth - 1)).append(")");
      case 1: return std::string("(").append(random_expr(depth - 1)).append(") | ").append(random_expr(depth - 1));
      default: return random_expr(depth - 1).append(" & ").append(random_expr(depth - 1));
    }
  };

  int narrowed_formulas = 0;
  for (int round = 0; round < 300; ++round) {
    std::string text = "SELECT " + random_expr(3);
    ProgramPtr program = Compile(text);
    ASSERT_TRUE(program);
    std::set<size_t> full;
    for (size_t id = 0; id < documents.size(); ++id) {
      if (SelectsDocument(*program, documents[id].View())) full.insert(id);
    }
    std::vector<IndexTerm> terms = IndexTerms(*program);
    std::set<size_t> candidates;
    if (terms.empty()) {
      for (size_t id = 0; id < documents.size(); ++id) candidates.insert(id);
    } else {
      ++narrowed_formulas;
      candidates = index[{terms.back().item, terms.back().value}];
    }
    std::set<size_t> narrowed;
    for (size_t id : candidates) {
      if (SelectsDocument(*program, documents[id].View())) narrowed.insert(id);
    }
    ASSERT_EQ(narrowed, full) << text;
  }
  EXPECT_GT(narrowed_formulas, 50);
}

}  // namespace
}  // namespace formula
