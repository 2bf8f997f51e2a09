// Feeds hostile bytes to the data packet, delta, reconcile answer and parameter decoders,
// and hostile text to the filter language. Whatever a decoder accepts must encode again to
// something that decodes to the same content, and an accepted packet must load into a
// dataset whose fields its names address. Only the errors the code under test documents
// count as a clean refusal (PacketError from the decoders, DataSetError from SetFilter);
// anything else escapes and ends the run.
//
// The first byte of an input picks the decoder (its value modulo 5, in the order of the
// switch below); the rest is that decoder's input. fuzz/seeds writes seeds in this form.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "dataset/client_dataset.h"
#include "dataset/packet.h"

namespace {

using namespace tovra::dataset;

// Small limits keep each run fast while still reaching every check.
DecodeLimits FuzzLimits() {
  DecodeLimits limits;
  limits.max_bytes = 1u << 20;
  limits.max_rows = 10000;
  limits.max_fields = 64;
  limits.max_value_bytes = 1u << 16;
  return limits;
}

bool SameValues(const std::vector<Value>& a, const std::vector<Value>& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    // NaN never equals itself; compare its presence instead.
    const auto* x = std::get_if<double>(&a[i]);
    const auto* y = std::get_if<double>(&b[i]);
    if (x && y && *x != *x && *y != *y)
      continue;
    if (!(a[i] == b[i]))
      return false;
  }
  return true;
}

void Check(bool condition) {
  if (!condition)
    std::abort();
}

void FuzzPacket(std::string_view bytes) {
  DataPacket packet;
  try {
    packet = DecodePacket(bytes, FuzzLimits());
  } catch (const PacketError&) {
    return;
  }
  const DataPacket again = DecodePacket(EncodePacket(packet), FuzzLimits());
  Check(again.fields == packet.fields && again.rows.size() == packet.rows.size());
  for (std::size_t r = 0; r < packet.rows.size(); ++r)
    Check(SameValues(again.rows[r], packet.rows[r]));
  if (packet.fields.empty())
    return;
  std::vector<std::string> names;
  for (const FieldDef& def : packet.fields)
    names.push_back(def.name);
  ClientDataSet ds;
  ds.LoadFromPacket(std::move(packet));
  // Every name a decoder accepts addresses its field: alone, in a list, in a filter. A
  // failure here is a name the decoder should have refused.
  std::string all;
  for (std::size_t i = 0; i < names.size(); ++i) {
    Check(&ds.FieldByName(names[i]) == &ds.Fields(static_cast<int>(i)));
    all += (i == 0 ? "" : " ; ") + names[i];
  }
  // Locate refuses a list that does not name as many fields as it has values.
  const std::vector<Value> nulls(names.size());
  for (std::size_t i = 0; i < names.size(); ++i)
    (void)ds.Locate(names[i], nulls[i]);
  (void)ds.Locate(all, nulls);
  ds.SetIndexFieldNames(all);
  ds.SetFilter("[" + names.back() + "] = [" + names.back() + "]");
  ds.SetFiltered(true);
  for (ds.First(); !ds.Eof(); ds.Next())
    (void)ds.Fields(0).AsString();
}

void FuzzDelta(std::string_view bytes) {
  Delta delta;
  try {
    delta = DecodeDelta(bytes, FuzzLimits());
  } catch (const PacketError&) {
    return;
  }
  const Delta again = DecodeDelta(EncodeDelta(delta), FuzzLimits());
  Check(again.fields == delta.fields && again.rows.size() == delta.rows.size());
  for (std::size_t r = 0; r < delta.rows.size(); ++r) {
    const DeltaRow& a = delta.rows[r];
    const DeltaRow& b = again.rows[r];
    Check(a.row_id == b.row_id && a.kind == b.kind && a.changed == b.changed);
    Check(SameValues(a.original, b.original) && SameValues(a.new_values, b.new_values));
  }
}

void FuzzAnswer(std::string_view bytes) {
  try {
    const ReconcileAnswer answer = DecodeReconcileAnswer(bytes, FuzzLimits());
    const ReconcileAnswer again = DecodeReconcileAnswer(EncodeReconcileAnswer(answer));
    Check(again.refused == answer.refused && again.not_applied == answer.not_applied);
  } catch (const PacketError&) {
  }
}

void FuzzParams(std::string_view bytes) {
  try {
    const std::vector<Param> params = DecodeParams(bytes, FuzzLimits());
    Check(DecodeParams(EncodeParams(params)).size() == params.size());
  } catch (const PacketError&) {
  }
}

void FuzzFilter(std::string_view text) {
  ClientDataSet ds;
  ds.AddField(FieldDef{"ID", FieldType::Int32});
  ds.AddField(FieldDef{"NAME", FieldType::String});
  ds.AddField(FieldDef{"RATE", FieldType::Float});
  ds.CreateDataSet();
  ds.Append();
  ds.Fields(0).SetAsInteger(1);
  ds.Fields(1).SetAsString("a");
  ds.Post();
  ds.Append();  // a row of nulls
  ds.Post();
  ds.SetFiltered(true);
  try {
    ds.SetFilter(std::string(text));
  } catch (const DataSetError&) {
    return;
  }
  Check(ds.RecordCount() <= 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0)
    return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0:
      FuzzPacket(bytes);
      break;
    case 1:
      FuzzDelta(bytes);
      break;
    case 2:
      FuzzAnswer(bytes);
      break;
    case 3:
      FuzzParams(bytes);
      break;
    default:
      FuzzFilter(bytes);
      break;
  }
  return 0;
}
