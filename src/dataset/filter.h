#pragma once

// The filter language of client datasets.
//
//   expression := term { OR term }
//   term       := factor { AND factor }
//   factor     := NOT factor | "(" expression ")" | operand comparison operand
//   comparison := "=" | "<>" | "!=" | "<" | "<=" | ">" | ">="
//   operand    := field name | [field name] | integer | decimal | 'text' | TRUE | FALSE
//
// Keywords and field names are matched without regard to letter case; a quote inside a
// text is written twice. A comparison with a null value is false (so NOT of it is true).
// Text compares byte by byte, numbers by value; comparing text with a number is refused
// when the filter is bound to its fields.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "dataset/types.h"

namespace tovra::dataset {

// A filter text that does not parse. position() is the 1-based character where it fails.
class FilterError : public DataSetError {
 public:
  FilterError(const std::string& message, std::size_t position)
      : DataSetError(message), position_(position) {}
  std::size_t position() const { return position_; }

 private:
  std::size_t position_;
};

class FilterExpression {
 public:
  struct FieldInfo {
    std::size_t index;
    FieldType type;
  };
  using FieldLookup = std::function<std::optional<FieldInfo>(std::string_view name)>;

  FilterExpression();
  ~FilterExpression();
  FilterExpression(FilterExpression&&) noexcept;
  FilterExpression& operator=(FilterExpression&&) noexcept;

  // Throws FilterError. An empty or blank text gives an expression that keeps every row.
  static FilterExpression Parse(std::string_view text);

  // Resolves field names to positions; throws DataSetError for an unknown field or a
  // comparison of text with a number.
  void Bind(const FieldLookup& lookup);

  bool KeepsAll() const;
  // Whether the row passes; the expression must be bound.
  bool Evaluate(std::span<const Value> row) const;
  // Positions of the fields the bound expression reads.
  std::vector<std::size_t> FieldsUsed() const;

  struct Node;

 private:
  std::unique_ptr<Node> root_;
};

}  // namespace tovra::dataset
