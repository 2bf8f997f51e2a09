#include "umserver/service/conversion.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <type_traits>
#include <variant>

#include "contract/um_service.h"

namespace tovra::umserver::service {

dataset::FieldDef ToFieldDef(const store::Column& column) {
  dataset::FieldDef field;
  field.name = column.name;
  field.type = column.type == store::FieldType::kInteger ? dataset::FieldType::Int32
                                                         : dataset::FieldType::String;
  field.size = column.type == store::FieldType::kString ? column.size : 0;
  field.required = column.required;
  field.read_only = column.read_only;
  field.provider_flags = (column.in_key ? dataset::kInKey : 0u) |
                         (column.in_update ? dataset::kInUpdate : 0u) |
                         (column.in_where ? dataset::kInWhere : 0u);
  return field;
}

dataset::Value ToWireValue(const store::Value& value) {
  return std::visit(
      [](const auto& held) -> dataset::Value {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::monostate{};
        } else {
          return held;
        }
      },
      value);
}

store::Value ToStoreValue(const dataset::Value& value) {
  return std::visit(
      [](const auto& held) -> store::Value {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return std::monostate{};
        } else if constexpr (std::is_same_v<T, bool>) {
          return std::int64_t{held ? 1 : 0};
        } else if constexpr (std::is_same_v<T, double>) {
          // Only integer and text columns exist; a float that is a whole number in range is
          // that number, anything else goes on as text and the store judges it.
          constexpr double kLimit = 9007199254740992.0;  // 2^53: exact in a double
          if (std::isfinite(held) && std::trunc(held) == held && std::fabs(held) <= kLimit) {
            return static_cast<std::int64_t>(held);
          }
          std::ostringstream text;
          text.precision(std::numeric_limits<double>::max_digits10);
          text << held;
          return text.str();
        } else {
          return held;
        }
      },
      value);
}

std::string EncodeResultSet(const store::ResultSet& result, int count, std::size_t* rows_out) {
  std::vector<dataset::FieldDef> fields;
  fields.reserve(result.columns.size());
  for (const auto& column : result.columns) {
    fields.push_back(ToFieldDef(column));
  }
  dataset::PacketBuilder packet(std::move(fields));
  std::size_t limit = result.rows.size();
  if (count >= 0 && static_cast<std::size_t>(count) < limit) {
    limit = static_cast<std::size_t>(count);
  }
  std::vector<dataset::Value> wire_row;
  for (std::size_t i = 0; i < limit; ++i) {
    wire_row.clear();
    for (const auto& value : result.rows[i]) {
      wire_row.push_back(ToWireValue(value));
    }
    packet.AddRow(wire_row);
  }
  if (rows_out != nullptr) {
    *rows_out = limit;
  }
  return packet.Encode();
}

std::vector<store::ChangeRow> ToChangeRows(const dataset::Delta& delta) {
  const auto& fields = delta.fields;
  std::vector<store::ChangeRow> changes;
  changes.reserve(delta.rows.size());
  for (const auto& row : delta.rows) {
    store::ChangeRow change;
    switch (row.kind) {
      case dataset::UpdateKind::Insert:
        change.kind = store::ChangeKind::kInsert;
        for (std::size_t i = 0; i < fields.size() && i < row.new_values.size(); ++i) {
          if (!dataset::IsNull(row.new_values[i])) {
            change.changed.push_back({fields[i].name, ToStoreValue(row.new_values[i])});
          }
        }
        break;
      case dataset::UpdateKind::Modify:
        change.kind = store::ChangeKind::kModify;
        for (std::size_t i = 0; i < fields.size() && i < row.original.size(); ++i) {
          change.original.push_back({fields[i].name, ToStoreValue(row.original[i])});
          if (row.IsChanged(i)) {
            change.changed.push_back({fields[i].name, ToStoreValue(row.NewValue(i))});
          }
        }
        break;
      case dataset::UpdateKind::Delete:
        change.kind = store::ChangeKind::kDelete;
        for (std::size_t i = 0; i < fields.size() && i < row.original.size(); ++i) {
          change.original.push_back({fields[i].name, ToStoreValue(row.original[i])});
        }
        break;
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

dataset::ReconcileAnswer ToReconcileAnswer(const store::ApplyResult& result,
                                           const dataset::Delta& delta) {
  dataset::ReconcileAnswer answer;
  for (const auto& refused : result.refused) {
    if (refused.index < delta.rows.size()) {
      answer.refused.push_back({delta.rows[refused.index].row_id, refused.reason});
    }
  }
  if (result.stopped) {
    // The store stops right after the refusal that went over the limit.
    const std::size_t last_tried = result.refused.empty() ? 0 : result.refused.back().index;
    for (std::size_t i = last_tried + 1; i < delta.rows.size(); ++i) {
      answer.not_applied.push_back(delta.rows[i].row_id);
    }
  }
  return answer;
}

std::vector<providers::Parameter> ToParameters(const std::vector<dataset::Param>& params) {
  std::vector<providers::Parameter> converted;
  converted.reserve(params.size());
  for (const auto& param : params) {
    converted.push_back({param.name, ToStoreValue(param.value)});
  }
  return converted;
}

std::vector<dataset::Param> ParamsOf(std::string_view provider) {
  // dspUser4Role is the only provider with a parameter: the role whose members it lists.
  if (provider == contract::provider::kUser4Role) {
    return {{std::string(contract::provider::kRoleParameter), dataset::FieldType::Int32,
             dataset::Value{std::int64_t{0}}}};
  }
  return {};
}

}  // namespace tovra::umserver::service
