#include "dataset/filter.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace tovra::dataset {

namespace {

enum class Op { Eq, Ne, Lt, Le, Gt, Ge };

struct Operand {
  bool is_field = false;
  std::string name;  // field name as written
  std::size_t index = 0;
  FieldType type = FieldType::Int32;
  Value literal;
  std::size_t position = 0;  // where it was written, for messages
};

enum class TokenKind {
  End,
  Name,
  Integer,
  Decimal,
  Text,
  True,
  False,
  And,
  Or,
  Not,
  LParen,
  RParen,
  Compare
};

struct Token {
  TokenKind kind = TokenKind::End;
  std::string text;
  Op op = Op::Eq;
  std::size_t position = 0;  // 1-based
};

bool IsNameStart(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsNameChar(char c) {
  return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$';
}

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_])))
      ++pos_;
    Token t;
    t.position = pos_ + 1;
    if (pos_ >= text_.size())
      return t;
    const char c = text_[pos_];
    if (c == '(' || c == ')') {
      t.kind = c == '(' ? TokenKind::LParen : TokenKind::RParen;
      ++pos_;
      return t;
    }
    if (c == '=' || c == '<' || c == '>' || c == '!') {
      t.kind = TokenKind::Compare;
      const char n = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
      if (c == '=') {
        t.op = Op::Eq;
        pos_ += 1;
      } else if (c == '!' && n == '=') {
        t.op = Op::Ne;
        pos_ += 2;
      } else if (c == '<' && n == '>') {
        t.op = Op::Ne;
        pos_ += 2;
      } else if (c == '<' && n == '=') {
        t.op = Op::Le;
        pos_ += 2;
      } else if (c == '>' && n == '=') {
        t.op = Op::Ge;
        pos_ += 2;
      } else if (c == '<') {
        t.op = Op::Lt;
        pos_ += 1;
      } else if (c == '>') {
        t.op = Op::Gt;
        pos_ += 1;
      } else {
        throw Error("unexpected character '!'", t.position);
      }
      return t;
    }
    if (c == '\'') {
      t.kind = TokenKind::Text;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size())
          throw Error("text not closed by a quote", t.position);
        if (text_[pos_] == '\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {
            t.text += '\'';
            pos_ += 2;
            continue;
          }
          ++pos_;
          return t;
        }
        t.text += text_[pos_++];
      }
    }
    if (c == '[') {
      const std::size_t close = text_.find(']', pos_);
      if (close == std::string_view::npos)
        throw Error("field name not closed by ']'", t.position);
      t.kind = TokenKind::Name;
      t.text = std::string(text_.substr(pos_ + 1, close - pos_ - 1));
      if (t.text.empty())
        throw Error("empty field name", t.position);
      pos_ = close + 1;
      return t;
    }
    const bool sign = c == '-' && pos_ + 1 < text_.size() &&
                      std::isdigit(static_cast<unsigned char>(text_[pos_ + 1]));
    if (std::isdigit(static_cast<unsigned char>(c)) || sign) {
      std::size_t end = pos_ + (sign ? 1 : 0);
      while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end])))
        ++end;
      t.kind = TokenKind::Integer;
      if (end < text_.size() && text_[end] == '.') {
        ++end;
        if (end >= text_.size() || !std::isdigit(static_cast<unsigned char>(text_[end]))) {
          throw Error("digits expected after the decimal point", end + 1);
        }
        while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end])))
          ++end;
        t.kind = TokenKind::Decimal;
      }
      if (end < text_.size() && IsNameChar(text_[end])) {
        throw Error("a number runs into a name", end + 1);
      }
      t.text = std::string(text_.substr(pos_, end - pos_));
      pos_ = end;
      return t;
    }
    if (IsNameStart(c)) {
      std::size_t end = pos_;
      while (end < text_.size() && IsNameChar(text_[end]))
        ++end;
      t.text = std::string(text_.substr(pos_, end - pos_));
      pos_ = end;
      if (SameFieldName(t.text, "and")) {
        t.kind = TokenKind::And;
      } else if (SameFieldName(t.text, "or")) {
        t.kind = TokenKind::Or;
      } else if (SameFieldName(t.text, "not")) {
        t.kind = TokenKind::Not;
      } else if (SameFieldName(t.text, "true")) {
        t.kind = TokenKind::True;
      } else if (SameFieldName(t.text, "false")) {
        t.kind = TokenKind::False;
      } else {
        t.kind = TokenKind::Name;
      }
      return t;
    }
    throw Error(std::string("unexpected character '") + c + "'", t.position);
  }

  FilterError Error(const std::string& what, std::size_t position) const {
    return FilterError("Filter \"" + std::string(text_) + "\": " + what + " at position " +
                           std::to_string(position),
                       position);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

struct FilterExpression::Node {
  enum class Kind { And, Or, Not, Compare } kind = Kind::Compare;
  std::unique_ptr<Node> left, right;  // Not uses left only
  Op op = Op::Eq;
  Operand a, b;
};

namespace {

using Node = FilterExpression::Node;

class Parser {
 public:
  explicit Parser(std::string_view text) : lexer_(text) { Advance(); }

  std::unique_ptr<Node> ParseAll() {
    if (current_.kind == TokenKind::End)
      return nullptr;
    auto node = ParseOr();
    if (current_.kind != TokenKind::End)
      throw lexer_.Error(Describe(current_), current_.position);
    return node;
  }

 private:
  static constexpr int kMaxDepth = 200;  // keeps hostile nesting off the stack
  static constexpr int kMaxNodes = 4000;

  void Advance() { current_ = lexer_.Next(); }

  std::unique_ptr<Node> NewNode() {
    // Evaluation and clean-up recurse over the tree, so its size is bounded.
    if (++nodes_ > kMaxNodes)
      throw lexer_.Error("expression too long", current_.position);
    return std::make_unique<Node>();
  }

  static std::string Describe(const Token& t) {
    if (t.kind == TokenKind::End)
      return "unexpected end of text";
    if (t.kind == TokenKind::Text)
      return "unexpected text '" + t.text + "'";
    if (t.kind == TokenKind::LParen)
      return "unexpected '('";
    if (t.kind == TokenKind::RParen)
      return "unexpected ')'";
    if (t.kind == TokenKind::Compare)
      return "unexpected comparison";
    return "unexpected '" + t.text + "'";
  }

  std::unique_ptr<Node> ParseOr() {
    auto left = ParseAnd();
    while (current_.kind == TokenKind::Or) {
      Advance();
      auto node = NewNode();
      node->kind = Node::Kind::Or;
      node->left = std::move(left);
      node->right = ParseAnd();
      left = std::move(node);
    }
    return left;
  }

  std::unique_ptr<Node> ParseAnd() {
    auto left = ParseFactor();
    while (current_.kind == TokenKind::And) {
      Advance();
      auto node = NewNode();
      node->kind = Node::Kind::And;
      node->left = std::move(left);
      node->right = ParseFactor();
      left = std::move(node);
    }
    return left;
  }

  std::unique_ptr<Node> ParseFactor() {
    if (++depth_ > kMaxDepth)
      throw lexer_.Error("nested too deeply", current_.position);
    std::unique_ptr<Node> node;
    if (current_.kind == TokenKind::Not) {
      Advance();
      node = NewNode();
      node->kind = Node::Kind::Not;
      node->left = ParseFactor();
    } else if (current_.kind == TokenKind::LParen) {
      const std::size_t open = current_.position;
      Advance();
      node = ParseOr();
      if (current_.kind != TokenKind::RParen) {
        throw lexer_.Error(current_.kind == TokenKind::End
                               ? "')' expected for the '(' at position " + std::to_string(open)
                               : "')' expected, " + Describe(current_),
                           current_.position);
      }
      Advance();
    } else {
      node = NewNode();
      node->kind = Node::Kind::Compare;
      node->a = ParseOperand();
      if (current_.kind != TokenKind::Compare) {
        throw lexer_.Error("comparison expected, " + Describe(current_), current_.position);
      }
      node->op = current_.op;
      Advance();
      node->b = ParseOperand();
    }
    --depth_;
    return node;
  }

  Operand ParseOperand() {
    Operand o;
    o.position = current_.position;
    switch (current_.kind) {
      case TokenKind::Name:
        o.is_field = true;
        o.name = current_.text;
        break;
      case TokenKind::Integer: {
        std::int64_t n = 0;
        auto [end, ec] =
            std::from_chars(current_.text.data(), current_.text.data() + current_.text.size(), n);
        if (ec != std::errc{})
          throw lexer_.Error("number out of range", current_.position);
        o.literal = n;
        break;
      }
      case TokenKind::Decimal: {
        double d = 0;
        std::from_chars(current_.text.data(), current_.text.data() + current_.text.size(), d);
        if (!std::isfinite(d))
          throw lexer_.Error("number out of range", current_.position);
        o.literal = d;
        break;
      }
      case TokenKind::Text:
        o.literal = current_.text;
        break;
      case TokenKind::True:
        o.literal = true;
        break;
      case TokenKind::False:
        o.literal = false;
        break;
      default:
        throw lexer_.Error("field name or value expected, " + Describe(current_),
                           current_.position);
    }
    Advance();
    return o;
  }

  Lexer lexer_;
  Token current_;
  int depth_ = 0;
  int nodes_ = 0;
};

bool IsText(FieldType t) {
  return t == FieldType::String || t == FieldType::Blob;
}

bool OperandIsText(const Operand& o) {
  return o.is_field ? IsText(o.type) : std::holds_alternative<std::string>(o.literal);
}

const Value& Fetch(const Operand& o, std::span<const Value> row) {
  return o.is_field ? row[o.index] : o.literal;
}

double AsNumber(const Value& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v))
    return static_cast<double>(*i);
  if (const auto* d = std::get_if<double>(&v))
    return *d;
  return std::get<bool>(v) ? 1.0 : 0.0;
}

// <0, 0, >0; nothing when a side is null.
std::optional<int> Compare(const Value& x, const Value& y) {
  if (IsNull(x) || IsNull(y))
    return std::nullopt;
  if (const auto* s = std::get_if<std::string>(&x)) {
    const int c = s->compare(std::get<std::string>(y));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  const auto* xi = std::get_if<std::int64_t>(&x);
  const auto* yi = std::get_if<std::int64_t>(&y);
  if (xi && yi)
    return *xi < *yi ? -1 : (*xi > *yi ? 1 : 0);
  const double a = AsNumber(x), b = AsNumber(y);
  return a < b ? -1 : (a > b ? 1 : 0);
}

bool Eval(const Node& n, std::span<const Value> row) {
  switch (n.kind) {
    case Node::Kind::And:
      return Eval(*n.left, row) && Eval(*n.right, row);
    case Node::Kind::Or:
      return Eval(*n.left, row) || Eval(*n.right, row);
    case Node::Kind::Not:
      return !Eval(*n.left, row);
    case Node::Kind::Compare: {
      const auto c = Compare(Fetch(n.a, row), Fetch(n.b, row));
      if (!c)
        return false;
      switch (n.op) {
        case Op::Eq:
          return *c == 0;
        case Op::Ne:
          return *c != 0;
        case Op::Lt:
          return *c < 0;
        case Op::Le:
          return *c <= 0;
        case Op::Gt:
          return *c > 0;
        case Op::Ge:
          return *c >= 0;
      }
    }
  }
  return false;
}

void BindNode(Node& n, const FilterExpression::FieldLookup& lookup) {
  if (n.kind != Node::Kind::Compare) {
    BindNode(*n.left, lookup);
    if (n.right)
      BindNode(*n.right, lookup);
    return;
  }
  for (Operand* o : {&n.a, &n.b}) {
    if (!o->is_field)
      continue;
    const auto info = lookup(o->name);
    if (!info) {
      throw DataSetError("Filter: field '" + o->name + "' not found (position " +
                         std::to_string(o->position) + ")");
    }
    o->index = info->index;
    o->type = info->type;
  }
  if (OperandIsText(n.a) != OperandIsText(n.b)) {
    throw DataSetError("Filter: text cannot be compared with a number (position " +
                       std::to_string(n.a.position) + ")");
  }
}

void CollectFields(const Node& n, std::vector<std::size_t>& out) {
  if (n.kind != Node::Kind::Compare) {
    CollectFields(*n.left, out);
    if (n.right)
      CollectFields(*n.right, out);
    return;
  }
  if (n.a.is_field)
    out.push_back(n.a.index);
  if (n.b.is_field)
    out.push_back(n.b.index);
}

}  // namespace

FilterExpression::FilterExpression() = default;
FilterExpression::~FilterExpression() = default;
FilterExpression::FilterExpression(FilterExpression&&) noexcept = default;
FilterExpression& FilterExpression::operator=(FilterExpression&&) noexcept = default;

FilterExpression FilterExpression::Parse(std::string_view text) {
  FilterExpression e;
  e.root_ = Parser(text).ParseAll();
  return e;
}

void FilterExpression::Bind(const FieldLookup& lookup) {
  if (root_)
    BindNode(*root_, lookup);
}

bool FilterExpression::KeepsAll() const {
  return root_ == nullptr;
}

bool FilterExpression::Evaluate(std::span<const Value> row) const {
  return !root_ || Eval(*root_, row);
}

std::vector<std::size_t> FilterExpression::FieldsUsed() const {
  std::vector<std::size_t> out;
  if (root_)
    CollectFields(*root_, out);
  return out;
}

}  // namespace tovra::dataset
