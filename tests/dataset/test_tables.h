#pragma once

// Small tables shared by the dataset tests.

#include <string>
#include <vector>

#include "dataset/client_dataset.h"
#include "memory_provider.h"

namespace tovra::dataset::testing {

inline FieldDef Def(std::string name, FieldType type, int size = 0,
                    unsigned flags = kInUpdate | kInWhere) {
  FieldDef d;
  d.name = std::move(name);
  d.type = type;
  d.size = size;
  d.provider_flags = flags;
  return d;
}

inline Value I(std::int64_t v) {
  return Value{v};
}
inline Value S(std::string v) {
  return Value{std::move(v)};
}

// A value as the tests compare it: "null", the text, or the integer's digits.
inline std::string Text(const Value& v) {
  if (IsNull(v))
    return "null";
  if (const auto* s = std::get_if<std::string>(&v))
    return *s;
  return std::to_string(std::get<std::int64_t>(v));
}

// Roles: ID (key), BEZ, COMMENT_; link rows: ID (key), QVB_ID, ROLE_ID.
inline void AddRoleTables(MemoryProvider& provider) {
  auto& roles = provider.AddTable(
      "dspRole", {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                  Def("BEZ", FieldType::String, 40), Def("COMMENT_", FieldType::String, 200)});
  roles.rows = {{I(3), S("Admin"), S("all rights")},
                {I(1), S("Reader"), Value{}},
                {I(2), S("admin"), S("lower case twin")},
                {I(4), S("Writer"), S("")}};
  auto& rights = provider.AddTable(
      "dspRights", {Def("ID", FieldType::Int32, 0, kInKey | kInUpdate | kInWhere),
                    Def("QVB_ID", FieldType::Int32), Def("ROLE_ID", FieldType::Int32)});
  rights.rows = {{I(10), I(1), I(3)},
                 {I(11), I(2), I(3)},
                 {I(12), I(1), I(1)},
                 {I(13), I(2), I(2)},
                 {I(14), I(1), I(2)}};
}

// The values of one field down the visible rows, in the current order.
inline std::vector<std::string> Column(ClientDataSet& ds, const std::string& field) {
  std::vector<std::string> out;
  const int index = ds.FieldByName(field).Index();
  for (int row = 0; row < ds.RecordCount(); ++row) {
    out.push_back(Text(ds.ValueAt(row, index)));
  }
  return out;
}

}  // namespace tovra::dataset::testing
