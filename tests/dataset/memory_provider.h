#pragma once

// A provider that keeps its tables in memory and speaks the real packet and delta codec,
// so datasets under test go through the same bytes as against the server.

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dataset/packet.h"
#include "dataset/provider_connection.h"

namespace tovra::dataset::testing {

class MemoryProvider : public ProviderConnection {
 public:
  struct Table {
    std::vector<FieldDef> fields;
    std::vector<std::vector<Value>> rows;
    // Which rows a request with these parameters gets; all rows when unset.
    std::function<bool(const std::vector<Value>& row, const std::vector<Param>& params)> select;
    // A reason to refuse a delta row, or nothing to resolve it.
    std::function<std::optional<std::string>(const DeltaRow& row)> refuse;
  };

  Table& AddTable(const std::string& provider, std::vector<FieldDef> fields);
  Table& table(const std::string& provider) { return tables_.at(provider); }

  std::string GetRecords(const std::string& provider_name,
                         const std::vector<Param>& params) override;
  ApplyResult ApplyUpdates(const std::string& provider_name, const std::string& delta,
                           int max_errors) override;

  int get_records_calls = 0;
  int apply_calls = 0;
  std::vector<Param> last_params;
  Delta last_delta;
  // When set, the next call fails with this message, as a dead transport would.
  std::optional<std::string> fail_next;

 private:
  std::map<std::string, Table> tables_;
};

}  // namespace tovra::dataset::testing
