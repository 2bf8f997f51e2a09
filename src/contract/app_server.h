#pragma once

// The provider operations of the application-server interface, as they travel: every
// service with dataset providers offers them, and a dataset connection sends them. The
// names are the wire's; client and server both take them from here.

#include <string_view>

namespace tovra::contract {

namespace op {
inline constexpr std::string_view kApplyUpdates = "AS_ApplyUpdates";
inline constexpr std::string_view kGetRecords = "AS_GetRecords";
inline constexpr std::string_view kDataRequest = "AS_DataRequest";
inline constexpr std::string_view kGetProviderNames = "AS_GetProviderNames";
inline constexpr std::string_view kGetParams = "AS_GetParams";
inline constexpr std::string_view kRowRequest = "AS_RowRequest";
inline constexpr std::string_view kExecute = "AS_Execute";
}  // namespace op

// The values a provider operation sends. OwnerData comes back under the same name, and so
// does Params as the result of AS_Execute.
namespace param {
inline constexpr std::string_view kProviderName = "ProviderName";
inline constexpr std::string_view kDelta = "Delta";
inline constexpr std::string_view kMaxErrors = "MaxErrors";
inline constexpr std::string_view kOwnerData = "OwnerData";
inline constexpr std::string_view kCount = "Count";
inline constexpr std::string_view kOptions = "Options";
inline constexpr std::string_view kCommandText = "CommandText";
inline constexpr std::string_view kParams = "Params";
inline constexpr std::string_view kData = "Data";
inline constexpr std::string_view kRow = "Row";
inline constexpr std::string_view kRequestType = "RequestType";
}  // namespace param

namespace result {
// The return value of every operation that has one.
inline constexpr std::string_view kResult = "Result";
inline constexpr std::string_view kErrorCount = "ErrorCount";  // AS_ApplyUpdates
inline constexpr std::string_view kRecsOut = "RecsOut";        // AS_GetRecords
}  // namespace result

}  // namespace tovra::contract
