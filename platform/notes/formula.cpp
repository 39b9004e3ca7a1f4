// formula.cpp - tokenizer, parser and evaluator of the formula language (see formula.h).
//
// A formula compiles into a flat vector of nodes that refer to each other by index. Runs of
// one precedence level ("a & b | c", "a + b - c", "a : b : c") are one node with many
// operands, so evaluation recurses only as deep as the parentheses and unary operators,
// which the parser bounds with kMaxNestingDepth.

#include "platform/notes/formula.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>

namespace formula {

namespace {

enum class Op { kAnd, kOr, kEq, kNe, kLt, kGt, kLe, kGe, kAdd, kSub, kMul, kDiv, kList };

enum class Function { kAttachments, kDocLength, kTrue, kFalse, kIsAvailable, kIsUnavailable };

enum class NodeKind { kText, kNumber, kField, kFunction, kNot, kNegate, kChain };

struct Node {
  NodeKind kind = NodeKind::kText;
  std::string text;  // text constant, field name, or the field argument of @IsAvailable
  double number = 0;
  Function function = Function::kTrue;
  std::vector<int> operands;  // kNot/kNegate: one; kChain: two or more
  std::vector<Op> ops;        // kChain: ops[i] joins operands[i] and operands[i + 1]
};

const char* OpName(Op op) {
  switch (op) {
    case Op::kAnd: return "&";
    case Op::kOr: return "|";
    case Op::kEq: return "=";
    case Op::kNe: return "!=";
    case Op::kLt: return "<";
    case Op::kGt: return ">";
    case Op::kLe: return "<=";
    case Op::kGe: return ">=";
    case Op::kAdd: return "+";
    case Op::kSub: return "-";
    case Op::kMul: return "*";
    case Op::kDiv: return "/";
    case Op::kList: return ":";
  }
  return "?";
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

struct Program {
  std::string source;
  bool select = false;
  std::vector<Node> nodes;
  int root = -1;
};

void ProgramDeleter::operator()(const Program* program) const { delete program; }

// ---------------------------------------------------------------------------------------
// Values

Value Value::Text(std::string text) {
  Value value;
  value.type = kTypeText;
  value.texts.push_back(std::move(text));
  return value;
}

Value Value::TextList(std::vector<std::string> texts) {
  Value value;
  value.type = texts.size() == 1 ? kTypeText : kTypeTextList;
  value.texts = std::move(texts);
  return value;
}

Value Value::Number(double number) {
  Value value;
  value.type = kTypeNumber;
  value.numbers.push_back(number);
  return value;
}

Value Value::NumberList(std::vector<double> numbers) {
  Value value;
  value.type = numbers.size() == 1 ? kTypeNumber : kTypeNumberList;
  value.numbers = std::move(numbers);
  return value;
}

Value Value::Time(int64_t ticks) {
  Value value;
  value.type = kTypeTime;
  value.times.push_back(ticks);
  return value;
}

size_t Value::Count() const {
  switch (type) {
    case kTypeNumber:
    case kTypeNumberList: return numbers.size();
    case kTypeTime:
    case kTypeTimeList: return times.size();
    default: return texts.size();
  }
}

bool Value::IsTrue() const {
  if (type != kTypeNumber && type != kTypeNumberList) return false;
  return std::any_of(numbers.begin(), numbers.end(), [](double n) { return n != 0; });
}

std::string FoldText(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

// ---------------------------------------------------------------------------------------
// Tokenizer

namespace {

enum class TokenKind { kEnd, kText, kNumber, kName, kAtName, kOp, kOpen, kClose, kNot, kSemicolon, kAssign };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;  // name, text constant, or operator spelling
  double number = 0;
  Op op = Op::kAnd;
  size_t column = 1;  // 1-based
};

struct ScanError {
  size_t column;
  std::string message;
};

bool IsNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}
bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

// Splits the whole formula into tokens; the last token is kEnd.
std::optional<ScanError> Tokenize(std::string_view text, std::vector<Token>* tokens_r) {
  size_t pos = 0;
  auto push_op = [&](Op op, size_t width) {
    Token token;
    token.kind = TokenKind::kOp;
    token.op = op;
    token.text = std::string(text.substr(pos, width));
    token.column = pos + 1;
    tokens_r->push_back(std::move(token));
    pos += width;
  };
  while (pos < text.size()) {
    char c = text[pos];
    char next = pos + 1 < text.size() ? text[pos + 1] : '\0';
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++pos;
      continue;
    }
    Token token;
    token.column = pos + 1;
    if (c == '"' || c == '{') {
      char close = c == '"' ? '"' : '}';
      size_t start = pos++;
      bool closed = false;
      while (pos < text.size()) {
        char ch = text[pos++];
        if (ch == close) {
          closed = true;
          break;
        }
        if (ch == '\\' && close == '"' && pos < text.size()) ch = text[pos++];
        token.text.push_back(ch);
      }
      if (!closed) {
        return ScanError{start + 1, std::string("expected '") + close +
                                        "' to end the text constant begun here but found end of formula"};
      }
      token.kind = TokenKind::kText;
      tokens_r->push_back(std::move(token));
    } else if (std::isdigit(static_cast<unsigned char>(c)) ||
               (c == '.' && std::isdigit(static_cast<unsigned char>(next)))) {
      size_t start = pos;
      while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
      if (pos < text.size() && text[pos] == '.') {
        ++pos;
        while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
      }
      if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
        size_t exponent = pos + 1;
        if (exponent < text.size() && (text[exponent] == '+' || text[exponent] == '-')) ++exponent;
        if (exponent < text.size() && std::isdigit(static_cast<unsigned char>(text[exponent]))) {
          pos = exponent;
          while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
        }
      }
      token.kind = TokenKind::kNumber;
      token.text = std::string(text.substr(start, pos - start));
      token.number = std::strtod(token.text.c_str(), nullptr);
      tokens_r->push_back(std::move(token));
    } else if (IsNameStart(c) || (c == '@' && IsNameStart(next))) {
      size_t start = pos++;
      while (pos < text.size() && IsNameChar(text[pos])) ++pos;
      token.kind = c == '@' ? TokenKind::kAtName : TokenKind::kName;
      token.text = std::string(text.substr(start, pos - start));
      tokens_r->push_back(std::move(token));
    } else if (c == '!' && next == '=') {
      push_op(Op::kNe, 2);
    } else if (c == '<' && next == '>') {
      push_op(Op::kNe, 2);
    } else if (c == '<' && next == '=') {
      push_op(Op::kLe, 2);
    } else if (c == '>' && next == '=') {
      push_op(Op::kGe, 2);
    } else if (c == ':' && next == '=') {
      token.kind = TokenKind::kAssign;
      token.text = ":=";
      tokens_r->push_back(std::move(token));
      pos += 2;
    } else if (c == '=') {
      push_op(Op::kEq, 1);
    } else if (c == '<') {
      push_op(Op::kLt, 1);
    } else if (c == '>') {
      push_op(Op::kGt, 1);
    } else if (c == '&') {
      push_op(Op::kAnd, 1);
    } else if (c == '|') {
      push_op(Op::kOr, 1);
    } else if (c == '+') {
      push_op(Op::kAdd, 1);
    } else if (c == '-') {
      push_op(Op::kSub, 1);
    } else if (c == '*') {
      push_op(Op::kMul, 1);
    } else if (c == '/') {
      push_op(Op::kDiv, 1);
    } else if (c == ':') {
      push_op(Op::kList, 1);
    } else if (c == '!') {
      token.kind = TokenKind::kNot;
      token.text = "!";
      tokens_r->push_back(std::move(token));
      ++pos;
    } else if (c == '(' || c == ')' || c == ';') {
      token.kind = c == '(' ? TokenKind::kOpen : c == ')' ? TokenKind::kClose : TokenKind::kSemicolon;
      token.text = std::string(1, c);
      tokens_r->push_back(std::move(token));
      ++pos;
    } else {
      std::string shown = std::isprint(static_cast<unsigned char>(c))
                              ? std::string("'") + c + "'"
                              : "byte " + std::to_string(static_cast<unsigned char>(c));
      return ScanError{pos + 1, "unexpected character " + shown};
    }
  }
  Token end;
  end.kind = TokenKind::kEnd;
  end.column = text.size() + 1;
  tokens_r->push_back(std::move(end));
  return std::nullopt;
}

std::string Describe(const Token& token) {
  switch (token.kind) {
    case TokenKind::kEnd: return "end of formula";
    case TokenKind::kText: return "text constant \"" + token.text.substr(0, 40) + "\"";
    case TokenKind::kNumber: return "number " + token.text;
    case TokenKind::kName: return "'" + token.text + "'";
    case TokenKind::kAtName: return token.text;
    default: return "'" + token.text + "'";
  }
}

// ---------------------------------------------------------------------------------------
// Parser: recursive descent over the token vector, one routine per precedence level.

class Parser {
 public:
  Parser(std::vector<Token> tokens, Program* program)
      : tokens_(std::move(tokens)), program_(program) {}

  // Returns false and fills column_/message_ on a syntax error.
  [[nodiscard]] bool ParseFormula() {
    if (Peek().kind == TokenKind::kName && EqualsNoCase(Peek().text, "SELECT")) {
      program_->select = true;
      ++next_;
    }
    int root = ParseLogical();
    if (root < 0) return false;
    if (Peek().kind == TokenKind::kAssign) return Fail(Peek(), "assignments are not supported");
    if (Peek().kind == TokenKind::kSemicolon) return Fail(Peek(), "only one statement is supported");
    if (Peek().kind != TokenKind::kEnd) return Expected("an operator or end of formula");
    program_->root = root;
    return true;
  }

  size_t column_ = 0;
  std::string message_;

 private:
  const Token& Peek() const { return tokens_[next_]; }

  bool Fail(const Token& at, std::string what) {
    column_ = at.column;
    message_ = "column " + std::to_string(at.column) + ": " + std::move(what);
    return false;
  }
  bool Expected(std::string_view what) {
    return Fail(Peek(), "expected " + std::string(what) + " but found " + Describe(Peek()));
  }

  int Add(Node node) {
    program_->nodes.push_back(std::move(node));
    return static_cast<int>(program_->nodes.size() - 1);
  }

  // One precedence level of left-associative binary operators; `is_member` says which
  // operators belong to it, `lower` parses the operands.
  template <typename Member, typename Lower>
  int ParseChain(Member is_member, Lower lower) {
    int first = lower();
    if (first < 0) return -1;
    if (Peek().kind != TokenKind::kOp || !is_member(Peek().op)) return first;
    Node chain;
    chain.kind = NodeKind::kChain;
    chain.operands.push_back(first);
    while (Peek().kind == TokenKind::kOp && is_member(Peek().op)) {
      chain.ops.push_back(tokens_[next_++].op);
      int operand = lower();
      if (operand < 0) return -1;
      chain.operands.push_back(operand);
    }
    return Add(std::move(chain));
  }

  int ParseLogical() {
    return ParseChain([](Op op) { return op == Op::kAnd || op == Op::kOr; },
                      [this] { return ParseUnary(); });
  }

  int ParseUnary() {
    if (Peek().kind != TokenKind::kNot) return ParseCompare();
    const Token& bang = tokens_[next_++];
    if (++depth_ > kMaxNestingDepth) return Fail(bang, "formula nested too deeply"), -1;
    int operand = ParseUnary();
    --depth_;
    if (operand < 0) return -1;
    Node node;
    node.kind = NodeKind::kNot;
    node.operands.push_back(operand);
    return Add(std::move(node));
  }

  int ParseCompare() {
    return ParseChain(
        [](Op op) {
          return op == Op::kEq || op == Op::kNe || op == Op::kLt || op == Op::kGt ||
                 op == Op::kLe || op == Op::kGe;
        },
        [this] { return ParseSum(); });
  }

  int ParseSum() {
    return ParseChain([](Op op) { return op == Op::kAdd || op == Op::kSub; },
                      [this] { return ParseProduct(); });
  }

  int ParseProduct() {
    return ParseChain([](Op op) { return op == Op::kMul || op == Op::kDiv; },
                      [this] { return ParseSign(); });
  }

  int ParseSign() {
    if (Peek().kind == TokenKind::kOp && (Peek().op == Op::kSub || Peek().op == Op::kAdd)) {
      bool negate = Peek().op == Op::kSub;
      ++next_;
      int operand = ParseList();
      if (operand < 0 || !negate) return operand;
      Node node;
      node.kind = NodeKind::kNegate;
      node.operands.push_back(operand);
      return Add(std::move(node));
    }
    return ParseList();
  }

  int ParseList() {
    return ParseChain([](Op op) { return op == Op::kList; }, [this] { return ParsePrimary(); });
  }

  int ParsePrimary() {
    const Token& token = Peek();
    Node node;
    switch (token.kind) {
      case TokenKind::kOpen: {
        ++next_;
        if (++depth_ > kMaxNestingDepth) return Fail(token, "formula nested too deeply"), -1;
        int inner = ParseLogical();
        --depth_;
        if (inner < 0) return -1;
        if (Peek().kind != TokenKind::kClose) return Expected("')'"), -1;
        ++next_;
        return inner;
      }
      case TokenKind::kText:
        node.kind = NodeKind::kText;
        node.text = token.text;
        ++next_;
        return Add(std::move(node));
      case TokenKind::kNumber:
        node.kind = NodeKind::kNumber;
        node.number = token.number;
        ++next_;
        return Add(std::move(node));
      case TokenKind::kName:
        if (EqualsNoCase(token.text, "NULL")) {
          node.kind = NodeKind::kText;
          ++next_;
          return Add(std::move(node));
        }
        if (EqualsNoCase(token.text, "SELECT")) {
          return Fail(token, "SELECT may only begin the formula"), -1;
        }
        node.kind = NodeKind::kField;
        node.text = token.text;
        ++next_;
        return Add(std::move(node));
      case TokenKind::kAtName:
        return ParseFunction();
      default:
        return Expected("a field, constant, @function or '('"), -1;
    }
  }

  int ParseFunction() {
    const Token& token = tokens_[next_++];
    struct Known {
      const char* name;
      Function function;
      bool takes_field;
    };
    static constexpr Known kKnown[] = {
        {"@Attachments", Function::kAttachments, false},
        {"@DocLength", Function::kDocLength, false},
        {"@True", Function::kTrue, false},
        {"@Yes", Function::kTrue, false},
        {"@All", Function::kTrue, false},
        {"@False", Function::kFalse, false},
        {"@No", Function::kFalse, false},
        {"@IsAvailable", Function::kIsAvailable, true},
        {"@IsUnavailable", Function::kIsUnavailable, true},
    };
    const Known* known = nullptr;
    for (const Known& candidate : kKnown) {
      if (EqualsNoCase(token.text, candidate.name)) known = &candidate;
    }
    if (known == nullptr) return Fail(token, "unknown @function " + token.text), -1;
    Node node;
    node.kind = NodeKind::kFunction;
    node.function = known->function;
    if (known->takes_field) {
      if (Peek().kind != TokenKind::kOpen) return Expected("'(' after " + token.text), -1;
      ++next_;
      if (Peek().kind != TokenKind::kName) return Expected("a field name"), -1;
      node.text = tokens_[next_++].text;
      if (Peek().kind != TokenKind::kClose) return Expected("')'"), -1;
      ++next_;
    } else if (Peek().kind == TokenKind::kOpen) {
      ++next_;
      if (Peek().kind != TokenKind::kClose) {
        return Expected("')' (" + token.text + " takes no arguments)"), -1;
      }
      ++next_;
    }
    return Add(std::move(node));
  }

  std::vector<Token> tokens_;
  size_t next_ = 0;
  int depth_ = 0;
  Program* program_;
};

// ---------------------------------------------------------------------------------------
// Evaluator

class Evaluator {
 public:
  Evaluator(const Program& program, const DocumentView& view) : program_(program), view_(view) {}

  std::optional<Value> Eval(int index) {
    const Node& node = program_.nodes[static_cast<size_t>(index)];
    switch (node.kind) {
      case NodeKind::kText: return Value::Text(node.text);
      case NodeKind::kNumber: return Value::Number(node.number);
      case NodeKind::kField: return Field(node.text);
      case NodeKind::kFunction: return Call(node);
      case NodeKind::kNot: {
        std::optional<Value> operand = Eval(node.operands[0]);
        if (!operand) return std::nullopt;
        if (!IsNumber(*operand)) return Fail("incorrect data type for operator '!': number expected");
        std::vector<double> negated;
        for (double n : operand->numbers) negated.push_back(n == 0 ? 1 : 0);
        return Value::NumberList(std::move(negated));
      }
      case NodeKind::kNegate: {
        std::optional<Value> operand = Eval(node.operands[0]);
        if (!operand) return std::nullopt;
        if (!IsNumber(*operand)) return Fail("incorrect data type for operator '-': number expected");
        for (double& n : operand->numbers) n = -n;
        return operand;
      }
      case NodeKind::kChain: return Chain(node);
    }
    return Fail("internal error: unknown node");
  }

  std::string error_;

 private:
  static bool IsNumber(const Value& value) {
    return value.type == kTypeNumber || value.type == kTypeNumberList;
  }
  static bool IsTime(const Value& value) {
    return value.type == kTypeTime || value.type == kTypeTimeList;
  }
  static bool IsText(const Value& value) { return !IsNumber(value) && !IsTime(value); }
  static bool IsEmptyText(const Value& value) {
    return IsText(value) &&
           std::all_of(value.texts.begin(), value.texts.end(), [](const std::string& t) { return t.empty(); });
  }

  std::nullopt_t Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return std::nullopt;
  }

  // An item that is absent, or present without entries, reads as "".
  std::optional<Value> Field(const std::string& name) {
    Value value;
    if (!view_.get_item || !view_.get_item(name, &value) || value.Count() == 0) return Value::Text("");
    if (IsText(value)) value.type = value.texts.size() == 1 ? kTypeText : kTypeTextList;
    return value;
  }

  std::optional<Value> Call(const Node& node) {
    switch (node.function) {
      case Function::kAttachments:
        return Value::Number(view_.attachment_count ? static_cast<double>(view_.attachment_count()) : 0);
      case Function::kDocLength:
        return Value::Number(view_.doc_length ? static_cast<double>(view_.doc_length()) : 0);
      case Function::kTrue: return Value::Number(1);
      case Function::kFalse: return Value::Number(0);
      case Function::kIsAvailable:
      case Function::kIsUnavailable: {
        Value ignored;
        bool present = view_.get_item && view_.get_item(node.text, &ignored);
        return Value::Number(present == (node.function == Function::kIsAvailable) ? 1 : 0);
      }
    }
    return Fail("internal error: unknown @function");
  }

  std::optional<Value> Chain(const Node& node) {
    std::optional<Value> left = Eval(node.operands[0]);
    if (!left) return std::nullopt;
    for (size_t i = 0; i < node.ops.size(); ++i) {
      Op op = node.ops[i];
      // & and | decide from the left operand alone when they can; the right one is then
      // not evaluated (a search need not read items the result does not depend on).
      if (op == Op::kAnd || op == Op::kOr) {
        if (!IsNumber(*left)) return LogicalTypeError(op);
        bool left_true = left->IsTrue();
        if (op == Op::kAnd && !left_true) {
          left = Value::Number(0);
          continue;
        }
        if (op == Op::kOr && left_true) {
          left = Value::Number(1);
          continue;
        }
      }
      std::optional<Value> right = Eval(node.operands[i + 1]);
      if (!right) return std::nullopt;
      left = Apply(op, *left, *right);
      if (!left) return std::nullopt;
    }
    return left;
  }

  std::nullopt_t LogicalTypeError(Op op) {
    return Fail(std::string("incorrect data type for operator '") + OpName(op) + "': number expected");
  }

  std::optional<Value> Apply(Op op, const Value& left, const Value& right) {
    switch (op) {
      case Op::kAnd:
      case Op::kOr:
        if (!IsNumber(right)) return LogicalTypeError(op);
        return Value::Number(right.IsTrue() ? 1 : 0);
      case Op::kList: return Concatenate(left, right);
      case Op::kEq:
      case Op::kNe:
      case Op::kLt:
      case Op::kGt:
      case Op::kLe:
      case Op::kGe: return Compare(op, left, right);
      default: return Arithmetic(op, left, right);
    }
  }

  std::optional<Value> Concatenate(const Value& left, const Value& right) {
    if ((left.type & ~1u) != (right.type & ~1u)) return Fail("incorrect data type for operator ':': list entries must share one type");
    Value joined = left;
    joined.texts.insert(joined.texts.end(), right.texts.begin(), right.texts.end());
    joined.numbers.insert(joined.numbers.end(), right.numbers.begin(), right.numbers.end());
    joined.times.insert(joined.times.end(), right.times.begin(), right.times.end());
    joined.type = static_cast<uint16_t>((left.type & ~1u) | (joined.Count() > 1 ? 1u : 0u));
    return joined;
  }

  static bool Holds(Op op, int order) {
    switch (op) {
      case Op::kEq: return order == 0;
      case Op::kNe: return order != 0;
      case Op::kLt: return order < 0;
      case Op::kGt: return order > 0;
      case Op::kLe: return order <= 0;
      case Op::kGe: return order >= 0;
      default: return false;
    }
  }

  // Entry by entry, the shorter list repeating its last entry; true when any pair holds.
  std::optional<Value> Compare(Op op, const Value& left, const Value& right) {
    if (IsText(left) != IsText(right) || IsNumber(left) != IsNumber(right)) {
      // A number or time against "" (NULL) asks whether it is there at all: it is.
      if (IsEmptyText(left) || IsEmptyText(right)) {
        if (op == Op::kEq) return Value::Number(0);
        if (op == Op::kNe) return Value::Number(1);
      }
      return Fail(std::string("incorrect data type for operator '") + OpName(op) +
                  "': both sides must be text, numbers or times");
    }
    size_t count = std::max(left.Count(), right.Count());
    for (size_t i = 0; i < count; ++i) {
      size_t l = std::min(i, left.Count() - 1);
      size_t r = std::min(i, right.Count() - 1);
      int order = 0;
      if (IsNumber(left)) {
        order = left.numbers[l] < right.numbers[r] ? -1 : left.numbers[l] > right.numbers[r] ? 1 : 0;
      } else if (IsTime(left)) {
        order = left.times[l] < right.times[r] ? -1 : left.times[l] > right.times[r] ? 1 : 0;
      } else {
        int c = FoldText(left.texts[l]).compare(FoldText(right.texts[r]));
        order = c < 0 ? -1 : c > 0 ? 1 : 0;
      }
      if (Holds(op, order)) return Value::Number(1);
    }
    return Value::Number(0);
  }

  std::optional<Value> Arithmetic(Op op, const Value& left, const Value& right) {
    size_t count = std::max(left.Count(), right.Count());
    if (op == Op::kAdd && IsText(left) && IsText(right)) {
      std::vector<std::string> joined;
      for (size_t i = 0; i < count; ++i) {
        joined.push_back(left.texts[std::min(i, left.Count() - 1)] + right.texts[std::min(i, right.Count() - 1)]);
      }
      return Value::TextList(std::move(joined));
    }
    if (!IsNumber(left) || !IsNumber(right)) {
      return Fail(std::string("incorrect data type for operator '") + OpName(op) + "': number expected");
    }
    std::vector<double> results;
    for (size_t i = 0; i < count; ++i) {
      double a = left.numbers[std::min(i, left.Count() - 1)];
      double b = right.numbers[std::min(i, right.Count() - 1)];
      if (op == Op::kDiv && b == 0) return Fail("division by zero");
      results.push_back(op == Op::kAdd ? a + b : op == Op::kSub ? a - b : op == Op::kMul ? a * b : a / b);
    }
    return Value::NumberList(std::move(results));
  }

  const Program& program_;
  const DocumentView& view_;
};

// Reports a one-entry list as the single type.
void Normalise(Value* value) {
  if (value->Count() == 1) value->type = static_cast<uint16_t>(value->type & ~1u);
}

}  // namespace

CompileResult CompileFormula(std::string_view text) {
  CompileResult result;
  if (text.size() > kMaxFormulaLength) {
    result.column = kMaxFormulaLength + 1;
    result.message = "column " + std::to_string(result.column) + ": formula longer than " +
                     std::to_string(kMaxFormulaLength) + " characters";
    return result;
  }
  std::vector<Token> tokens;
  if (std::optional<ScanError> error = Tokenize(text, &tokens)) {
    result.column = error->column;
    result.message = "column " + std::to_string(error->column) + ": " + error->message;
    return result;
  }
  auto program = std::make_unique<Program>();
  program->source = std::string(text);
  Parser parser(std::move(tokens), program.get());
  if (!parser.ParseFormula()) {
    result.column = parser.column_;
    result.message = parser.message_;
    return result;
  }
  result.program = ProgramPtr(program.release());
  return result;
}

const std::string& FormulaSource(const Program& program) { return program.source; }

bool IsSelectionFormula(const Program& program) { return program.select; }

EvalResult EvaluateFormula(const Program& program, const DocumentView& view) {
  EvalResult result;
  Evaluator evaluator(program, view);
  std::optional<Value> value = evaluator.Eval(program.root);
  if (!value) {
    result.error = evaluator.error_.empty() ? "formula evaluation failed" : evaluator.error_;
    return result;
  }
  Normalise(&*value);
  result.ok = true;
  result.value = std::move(*value);
  return result;
}

bool SelectsDocument(const Program& program, const DocumentView& view) {
  EvalResult result = EvaluateFormula(program, view);
  return result.ok && result.value.IsTrue();
}

namespace {

// Adds the equalities that must hold for node `index` to be true.
void CollectTerms(const std::vector<Node>& nodes, int index, std::vector<IndexTerm>* terms_r) {
  const Node& node = nodes[static_cast<size_t>(index)];
  if (node.kind != NodeKind::kChain) return;
  if (node.ops[0] == Op::kAnd || node.ops[0] == Op::kOr) {
    // & and | share one level, left to right: "a & b | c & d" is ((a & b) | c) & d. Only
    // the operands after the last | are ANDed with everything before them, and the first
    // operand too when there is no | at all.
    size_t first_anded = 0;
    for (size_t i = 0; i < node.ops.size(); ++i) {
      if (node.ops[i] == Op::kOr) first_anded = i + 1;
    }
    for (size_t i = first_anded == 0 ? 0 : first_anded + 1; i < node.operands.size(); ++i) {
      CollectTerms(nodes, node.operands[i], terms_r);
    }
    return;
  }
  if (node.ops.size() != 1 || node.ops[0] != Op::kEq) return;
  const Node& a = nodes[static_cast<size_t>(node.operands[0])];
  const Node& b = nodes[static_cast<size_t>(node.operands[1])];
  const Node* field = a.kind == NodeKind::kField ? &a : b.kind == NodeKind::kField ? &b : nullptr;
  const Node* constant = a.kind == NodeKind::kText ? &a : b.kind == NodeKind::kText ? &b : nullptr;
  if (field == nullptr || constant == nullptr || constant->text.empty()) return;
  terms_r->push_back(IndexTerm{FoldText(field->text), FoldText(constant->text)});
}

}  // namespace

std::vector<IndexTerm> IndexTerms(const Program& program) {
  std::vector<IndexTerm> terms;
  CollectTerms(program.nodes, program.root, &terms);
  return terms;
}

}  // namespace formula
