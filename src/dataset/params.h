#pragma once

// The named parameters a client dataset sends to its provider when it opens.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/packet.h"
#include "dataset/types.h"

namespace tovra::dataset {

// A named, typed value sent to the provider when the dataset opens.
class DataSetParam {
 public:
  DataSetParam(std::string name, FieldType type, Value value);

  const std::string& Name() const { return param_.name; }
  FieldType DataType() const { return param_.type; }
  const Value& AsValue() const { return param_.value; }
  bool IsNull() const { return dataset::IsNull(param_.value); }
  int AsInteger() const;
  std::string AsString() const;
  void SetValue(Value value);
  void SetAsInteger(int value);
  void SetAsString(std::string_view value);
  void Clear() { param_.value = Value{}; }

  const Param& ToParam() const { return param_; }

 private:
  Param param_;
};

class ParamList {
 public:
  // Throws DataSetError when a parameter of that name exists already.
  DataSetParam& CreateParam(FieldType type, std::string name, Value initial = {});
  DataSetParam* FindParam(std::string_view name);
  DataSetParam& ParamByName(std::string_view name);  // throws when there is none
  int Count() const { return static_cast<int>(params_.size()); }
  DataSetParam& operator[](int index) { return *params_.at(static_cast<std::size_t>(index)); }
  void Clear() { params_.clear(); }
  std::vector<Param> ToParams() const;

 private:
  std::vector<std::unique_ptr<DataSetParam>> params_;
};

}  // namespace tovra::dataset
