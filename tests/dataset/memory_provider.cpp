#include "memory_provider.h"

#include <algorithm>
#include <stdexcept>

namespace tovra::dataset::testing {

namespace {

// Position of `name` in `fields`, compared without regard to case.
std::size_t Column(const std::vector<FieldDef>& fields, const std::string& name) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (SameFieldName(fields[i].name, name))
      return i;
  }
  throw std::runtime_error("The provider has no field " + name);
}

}  // namespace

MemoryProvider::Table& MemoryProvider::AddTable(const std::string& provider,
                                                std::vector<FieldDef> fields) {
  Table& t = tables_[provider];
  t.fields = std::move(fields);
  return t;
}

std::string MemoryProvider::GetRecords(const std::string& provider_name,
                                       const std::vector<Param>& params) {
  ++get_records_calls;
  last_params = params;
  if (fail_next) {
    std::string message = *fail_next;
    fail_next.reset();
    throw std::runtime_error(message);
  }
  auto it = tables_.find(provider_name);
  if (it == tables_.end())
    throw std::runtime_error("Unknown provider " + provider_name);
  PacketBuilder builder(it->second.fields);
  for (const auto& row : it->second.rows) {
    if (!it->second.select || it->second.select(row, params))
      builder.AddRow(row);
  }
  return builder.Encode();
}

MemoryProvider::ApplyResult MemoryProvider::ApplyUpdates(const std::string& provider_name,
                                                         const std::string& bytes, int max_errors) {
  ++apply_calls;
  if (fail_next) {
    std::string message = *fail_next;
    fail_next.reset();
    throw std::runtime_error(message);
  }
  Table& table = tables_.at(provider_name);
  const Delta delta = DecodeDelta(bytes);
  last_delta = delta;

  // Where each delta field lives in the table; key fields identify rows.
  std::vector<std::size_t> column;
  std::vector<std::size_t> key;
  for (std::size_t i = 0; i < delta.fields.size(); ++i) {
    column.push_back(Column(table.fields, delta.fields[i].name));
    if (delta.fields[i].provider_flags & kInKey)
      key.push_back(i);
  }
  auto find = [&](const std::vector<Value>& values) {
    return std::find_if(table.rows.begin(), table.rows.end(), [&](const auto& row) {
      for (std::size_t k : key) {
        if (!(row[column[k]] == values[k]))
          return false;
      }
      return true;
    });
  };

  ReconcileAnswer answer;
  bool stopped = false;
  for (const DeltaRow& row : delta.rows) {
    if (stopped) {
      answer.not_applied.push_back(row.row_id);
      continue;
    }
    std::optional<std::string> reason;
    if (table.refuse)
      reason = table.refuse(row);
    if (!reason) {
      switch (row.kind) {
        case UpdateKind::Insert:
          if (find(row.new_values) != table.rows.end()) {
            reason = "Duplicate key";
          } else {
            std::vector<Value> stored(table.fields.size());
            for (std::size_t i = 0; i < column.size(); ++i)
              stored[column[i]] = row.new_values[i];
            table.rows.push_back(std::move(stored));
          }
          break;
        case UpdateKind::Modify: {
          auto it = find(row.original);
          // Changed fields must still hold what the client read.
          bool same = it != table.rows.end();
          for (std::size_t i = 0; same && i < column.size(); ++i) {
            if (row.IsChanged(i) && (delta.fields[i].provider_flags & kInWhere)) {
              same = (*it)[column[i]] == row.original[i];
            }
          }
          if (!same) {
            reason = "Record not found or changed by another user";
          } else {
            for (std::size_t i = 0; i < column.size(); ++i) {
              if (row.IsChanged(i))
                (*it)[column[i]] = row.new_values[i];
            }
          }
          break;
        }
        case UpdateKind::Delete: {
          auto it = find(row.original);
          if (it == table.rows.end()) {
            reason = "Record not found or changed by another user";
          } else {
            table.rows.erase(it);
          }
          break;
        }
      }
    }
    if (reason) {
      answer.refused.push_back({row.row_id, *reason});
      if (max_errors >= 0 && static_cast<int>(answer.refused.size()) > max_errors)
        stopped = true;
    }
  }
  return {static_cast<int>(answer.refused.size()), EncodeReconcileAnswer(answer)};
}

}  // namespace tovra::dataset::testing
