#include "dataset/field.h"

#include <cstdint>
#include <string>

#include "dataset/client_dataset.h"
#include "dataset/value_text.h"

namespace tovra::dataset {

bool Field::IsNull() const {
  return dataset::IsNull(AsValue());
}

const Value& Field::AsValue() const {
  return dataset_->ReadField(*this);
}

int Field::AsInteger() const {
  const std::int64_t v = ValueToInteger(AsValue(), def_.type, def_.name);
  if (v < INT32_MIN || v > INT32_MAX) {
    throw DataSetError("The value " + std::to_string(v) + " of field '" + def_.name +
                       "' is out of the integer range");
  }
  return static_cast<int>(v);
}

std::int64_t Field::AsLargeInt() const {
  return ValueToInteger(AsValue(), def_.type, def_.name);
}
std::string Field::AsString() const {
  return ValueToText(AsValue(), def_.type);
}
double Field::AsFloat() const {
  return ValueToFloat(AsValue(), def_.type, def_.name);
}
bool Field::AsBoolean() const {
  return ValueToBoolean(AsValue(), def_.type, def_.name);
}

void Field::SetValue(Value value) {
  Value converted;
  if (!ConvertValue(value, def_.type, converted)) {
    throw DataSetError("The value is not a valid " + std::string(FieldTypeName(def_.type)) +
                       " value for field '" + def_.name + "'");
  }
  dataset_->WriteField(*this, std::move(converted));
}
void Field::SetAsInteger(int value) {
  SetAsLargeInt(value);
}
void Field::SetAsLargeInt(std::int64_t value) {
  dataset_->WriteField(*this, ValueFromInteger(value, def_.type, def_.name));
}
void Field::SetAsString(std::string_view value) {
  dataset_->WriteField(*this, ValueFromText(value, def_.type, def_.name));
}
void Field::SetAsFloat(double value) {
  SetValue(Value{value});
}
void Field::SetAsBoolean(bool value) {
  SetValue(Value{value});
}
void Field::Clear() {
  dataset_->WriteField(*this, Value{});
}

}  // namespace tovra::dataset
