#pragma once

// One column of a client dataset.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "dataset/types.h"

namespace tovra::dataset {

class ClientDataSet;

// Reads and writes address the dataset's current row (the pending values while editing or
// inserting).
class Field {
 public:
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  const std::string& FieldName() const { return def_.name; }
  FieldType DataType() const { return def_.type; }
  int Size() const { return def_.size; }
  int Index() const { return index_; }
  const FieldDef& Definition() const { return def_; }

  bool Required() const { return def_.required; }
  void SetRequired(bool required) { def_.required = required; }
  bool ReadOnly() const { return def_.read_only; }
  void SetReadOnly(bool read_only) { def_.read_only = read_only; }
  unsigned ProviderFlags() const { return def_.provider_flags; }
  void SetProviderFlags(unsigned flags) { def_.provider_flags = flags; }

  bool IsNull() const;
  const Value& AsValue() const;
  int AsInteger() const;  // empty reads 0; throws when the value is no 32-bit integer
  std::int64_t AsLargeInt() const;
  std::string AsString() const;
  double AsFloat() const;
  bool AsBoolean() const;

  // Writes throw DataSetError outside Edit/Insert, on a read-only field or dataset, and
  // for a value the field cannot hold (wrong kind, out of range, text longer than Size).
  void SetValue(Value value);
  void SetAsInteger(int value);
  void SetAsLargeInt(std::int64_t value);
  void SetAsString(std::string_view value);
  void SetAsFloat(double value);
  void SetAsBoolean(bool value);
  void Clear();

  ClientDataSet& DataSet() const { return *dataset_; }

 private:
  friend class ClientDataSet;
  Field(ClientDataSet* dataset, FieldDef def, int index)
      : dataset_(dataset), def_(std::move(def)), index_(index) {}

  ClientDataSet* dataset_;
  FieldDef def_;
  int index_;
};

}  // namespace tovra::dataset
