#pragma once

// How a client dataset reaches the provider that fills it and resolves its changes. The
// dataset connection of the client implements this over the remoting service; tests may
// implement it in memory.

#include <string>
#include <vector>

#include "dataset/packet.h"

namespace tovra::dataset {

class ProviderConnection {
 public:
  struct ApplyResult {
    int error_count = 0;           // rows the provider refused, as it reports them
    std::string reconcile_answer;  // EncodeReconcileAnswer bytes; the dataset goes by these
  };

  virtual ~ProviderConnection() = default;

  // All rows of the named provider, as DecodePacket reads them. A remote implementation
  // can carry the parameters as EncodeParams bytes. Errors of the transport or the
  // provider are thrown; their message reaches the user.
  virtual std::string GetRecords(const std::string& provider_name,
                                 const std::vector<Param>& params) = 0;

  // Resolves a delta (EncodeDelta bytes). The provider stops once more than max_errors
  // rows were refused; max_errors < 0 means no limit.
  virtual ApplyResult ApplyUpdates(const std::string& provider_name, const std::string& delta,
                                   int max_errors) = 0;
};

}  // namespace tovra::dataset
