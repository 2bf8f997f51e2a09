#pragma once

// The one place where the store's plain rows meet the wire's data packets: result sets
// become data packets, client deltas become change rows, apply results become reconcile
// answers, and request parameters become provider parameters.

#include <string>
#include <string_view>
#include <vector>

#include "dataset/packet.h"
#include "umserver/providers/providers.h"
#include "umserver/store/types.h"

namespace tovra::umserver::service {

// A provider field as the client's dataset sees it: integers are 32-bit, strings sized in
// characters, the update flags carried as provider flags.
dataset::FieldDef ToFieldDef(const store::Column& column);

dataset::Value ToWireValue(const store::Value& value);
// Whole numbers and texts pass unchanged; booleans become 1 or 0, a float that holds a
// whole number becomes that number, any other float its text.
store::Value ToStoreValue(const dataset::Value& value);

// The rows of `result` as a data packet; `count` >= 0 keeps only the first `count` rows
// (0: the fields alone). Throws DataSetError when a row does not suit its fields.
std::string EncodeResultSet(const store::ResultSet& result, int count, std::size_t* rows_out);

// The delta's rows as change rows, in delta order:
//  - an insert carries every field that has a value (fields left empty take the table's
//    default);
//  - a modification carries the whole row as read and, as changes, only the changed fields;
//  - a delete carries the whole row as read.
std::vector<store::ChangeRow> ToChangeRows(const dataset::Delta& delta);

// The store's verdict as the client's reconcile answer: refused rows by the delta's row ids,
// and, when the error limit stopped the work, every row after the last one tried.
dataset::ReconcileAnswer ToReconcileAnswer(const store::ApplyResult& result,
                                           const dataset::Delta& delta);

std::vector<providers::Parameter> ToParameters(const std::vector<dataset::Param>& params);

// The parameters a provider takes, as the client asks for them before it opens a dataset.
std::vector<dataset::Param> ParamsOf(std::string_view provider);

}  // namespace tovra::umserver::service
