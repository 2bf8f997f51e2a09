#include "dataset/value_text.h"

#include <gtest/gtest.h>

namespace tovra::dataset {
namespace {

TEST(ValueText, TextInAndOutForEveryType) {
  struct Case {
    FieldType type;
    const char* in;
    const char* out;  // nullptr: refused
  };
  const std::vector<Case> cases = {
      {FieldType::Int32, " 42 ", "42"},
      {FieldType::Int32, "+7", "7"},
      {FieldType::Int32, "-2147483648", "-2147483648"},
      {FieldType::Int32, "2147483648", nullptr},
      {FieldType::Int32, "4x", nullptr},
      {FieldType::Int32, "1.5", nullptr},
      {FieldType::Int32, "", ""},  // empty text clears the field
      {FieldType::Int64, "9223372036854775807", "9223372036854775807"},
      {FieldType::Int64, "9223372036854775808", nullptr},
      {FieldType::Float, "0.1", "0.1"},
      {FieldType::Float, "-1e300", "-1e+300"},
      {FieldType::Float, "inf", nullptr},
      {FieldType::Boolean, "true", "True"},
      {FieldType::Boolean, "0", "False"},
      {FieldType::Boolean, "yes", nullptr},
      {FieldType::DateTime, "2026-12-11 13:30:05", "2026-12-11 13:30:05"},
      {FieldType::DateTime, "2026-12-11T13:30:05.250", "2026-12-11 13:30:05.250"},
      {FieldType::DateTime, "2024-02-29", "2024-02-29 00:00:00"},
      {FieldType::DateTime, "1969-12-31 23:59:59", "1969-12-31 23:59:59"},
      {FieldType::DateTime, "2023-02-29", nullptr},
      {FieldType::DateTime, "2026-12-11 24:00", nullptr},
      {FieldType::DateTime, "11.12.2026", nullptr},
      {FieldType::String, " as is ", " as is "},
      {FieldType::String, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(FieldTypeName(c.type)) + " '" + c.in + "'");
    if (!c.out) {
      EXPECT_THROW(ValueFromText(c.in, c.type, "F"), DataSetError);
      continue;
    }
    const Value v = ValueFromText(c.in, c.type, "F");
    EXPECT_TRUE(ValueFitsType(v, c.type));
    EXPECT_EQ(ValueToText(v, c.type), c.out);
  }
  // The empty text is null for numbers but a value for text.
  EXPECT_TRUE(IsNull(ValueFromText("", FieldType::Int32, "F")));
  EXPECT_FALSE(IsNull(ValueFromText("", FieldType::String, "F")));
}

TEST(ValueText, IntegerReadsOfEveryKind) {
  EXPECT_EQ(ValueToInteger(Value{}, FieldType::Int32, "F"), 0);
  EXPECT_EQ(ValueToInteger(Value{std::string("  ")}, FieldType::String, "F"), 0);
  EXPECT_EQ(ValueToInteger(Value{std::string("-12")}, FieldType::String, "F"), -12);
  EXPECT_EQ(ValueToInteger(Value{true}, FieldType::Boolean, "F"), 1);
  EXPECT_EQ(ValueToInteger(Value{2.5}, FieldType::Float, "F"), 3);
  EXPECT_THROW(ValueToInteger(Value{1e30}, FieldType::Float, "F"), DataSetError);
  EXPECT_THROW(ValueToInteger(Value{std::string("x")}, FieldType::String, "F"), DataSetError);
  EXPECT_THROW(ValueFromInteger(int64_t{1} << 31, FieldType::Int32, "F"), DataSetError);
  EXPECT_EQ(MakeDateTime(1970, 1, 1, 0, 0, 1), 1000);
}

}  // namespace
}  // namespace tovra::dataset
