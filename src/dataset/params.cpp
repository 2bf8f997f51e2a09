#include "dataset/params.h"

#include <cstdint>
#include <string>

#include "dataset/value_text.h"

namespace tovra::dataset {

DataSetParam::DataSetParam(std::string name, FieldType type, Value value) {
  param_.name = std::move(name);
  param_.type = type;
  SetValue(std::move(value));
}

int DataSetParam::AsInteger() const {
  const std::int64_t v = ValueToInteger(param_.value, param_.type, param_.name);
  if (v < INT32_MIN || v > INT32_MAX) {
    throw DataSetError("The value of parameter '" + param_.name + "' is out of range");
  }
  return static_cast<int>(v);
}
std::string DataSetParam::AsString() const {
  return ValueToText(param_.value, param_.type);
}

void DataSetParam::SetValue(Value value) {
  Value converted;
  if (!ConvertValue(value, param_.type, converted)) {
    throw DataSetError("The value is not a valid " + std::string(FieldTypeName(param_.type)) +
                       " value for parameter '" + param_.name + "'");
  }
  param_.value = std::move(converted);
}
void DataSetParam::SetAsInteger(int value) {
  param_.value = ValueFromInteger(value, param_.type, param_.name);
}
void DataSetParam::SetAsString(std::string_view value) {
  param_.value = ValueFromText(value, param_.type, param_.name);
}

DataSetParam& ParamList::CreateParam(FieldType type, std::string name, Value initial) {
  if (FindParam(name))
    throw DataSetError("Parameter '" + name + "' exists already");
  params_.push_back(std::make_unique<DataSetParam>(std::move(name), type, std::move(initial)));
  return *params_.back();
}

DataSetParam* ParamList::FindParam(std::string_view name) {
  for (auto& p : params_) {
    if (SameFieldName(p->Name(), name))
      return p.get();
  }
  return nullptr;
}

DataSetParam& ParamList::ParamByName(std::string_view name) {
  if (DataSetParam* p = FindParam(name))
    return *p;
  throw DataSetError("Parameter '" + std::string(name) + "' not found");
}

std::vector<Param> ParamList::ToParams() const {
  std::vector<Param> out;
  out.reserve(params_.size());
  for (const auto& p : params_)
    out.push_back(p->ToParam());
  return out;
}

}  // namespace tovra::dataset
