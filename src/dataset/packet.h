#pragma once

// The data packet and delta codec, shared by the client dataset and the server providers.
//
// Server side, answering a GetRecords request:
//   PacketBuilder packet(fields);            // field definitions, in column order
//   packet.AddRow({Value{std::int64_t{1}}, Value{std::string{"admin"}}, Value{}});
//   std::string bytes = packet.Encode();
//
// Server side, resolving an ApplyUpdates request:
//   Delta delta = DecodeDelta(bytes);        // bounded; throws PacketError on bad bytes
//   for (const DeltaRow& row : delta.rows) {
//     switch (row.kind) { ... }              // Insert: row.new_values; Delete: row.original;
//   }                                        // Modify: both, and row.changed[i] per field
//   ReconcileAnswer answer;                  // one RefusedRow per refused row (its row_id
//   answer.refused.push_back({row.row_id, "reason"});   // and the database's message),
//   std::string reply = EncodeReconcileAnswer(answer);  // rows not reached in not_applied
//
// The provider resolves rows in delta order and stops once more than max_errors rows were
// refused (max_errors < 0: no limit); every row it did not reach goes into not_applied.
// The client drops from its change log every row neither refused nor not applied.
//
// Every decoder checks sizes and counts against DecodeLimits before it allocates, checks
// that each row has one value per field and that each value suits its field's type, and
// reports anything else as a PacketError; it never trusts a count from the bytes.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/types.h"

namespace tovra::dataset {

struct DecodeLimits {
  std::size_t max_bytes = 64u << 20;  // whole packet, delta or answer
  std::size_t max_fields = 1024;
  std::size_t max_rows = 10'000'000;
  std::size_t max_value_bytes = 64u << 20;  // one string or blob
  std::size_t max_name_bytes = 256;         // field and parameter names
  std::size_t max_params = 256;
};

struct DataPacket {
  std::vector<FieldDef> fields;
  std::vector<std::vector<Value>> rows;  // each with fields.size() values
};

enum class UpdateKind { Insert, Modify, Delete };

struct DeltaRow {
  std::uint64_t row_id = 0;  // the client's reference, echoed in the reconcile answer
  UpdateKind kind = UpdateKind::Modify;
  std::vector<Value> original;    // Modify, Delete: the row as the client read it
  std::vector<Value> new_values;  // Insert, Modify: the row as the client wants it
  std::vector<bool> changed;      // Modify: which fields the change sets (else empty)

  bool IsChanged(std::size_t field) const { return field < changed.size() && changed[field]; }
  // The value the provider should write: the new value of a changed field, else original.
  const Value& NewValue(std::size_t field) const;
  const Value& OldValue(std::size_t field) const { return original.at(field); }
};

struct Delta {
  std::vector<FieldDef> fields;
  std::vector<DeltaRow> rows;
};

struct RefusedRow {
  std::uint64_t row_id = 0;
  std::string reason;

  bool operator==(const RefusedRow&) const = default;
};

struct ReconcileAnswer {
  std::vector<RefusedRow> refused;
  std::vector<std::uint64_t> not_applied;
};

struct Param {
  std::string name;
  FieldType type = FieldType::Int32;
  Value value;

  bool operator==(const Param&) const = default;
};

// Builds a data packet row by row; rows are checked against the fields as they come, so a
// provider learns of a mismatch where it makes it.
class PacketBuilder {
 public:
  explicit PacketBuilder(std::vector<FieldDef> fields);
  ~PacketBuilder();
  PacketBuilder(PacketBuilder&&) noexcept;
  PacketBuilder& operator=(PacketBuilder&&) noexcept;

  const std::vector<FieldDef>& fields() const { return fields_; }
  std::size_t row_count() const;

  // Throws DataSetError when the row has the wrong number of values or a value that does
  // not suit its field.
  void AddRow(std::span<const Value> values);
  void AddRow(std::initializer_list<Value> values) {
    AddRow(std::span<const Value>(values.begin(), values.size()));
  }
  std::string Encode() const;

 private:
  struct Impl;
  std::vector<FieldDef> fields_;
  std::unique_ptr<Impl> impl_;
};

std::string EncodePacket(const DataPacket& packet);
DataPacket DecodePacket(std::string_view bytes, const DecodeLimits& limits = {});

std::string EncodeDelta(const Delta& delta);
Delta DecodeDelta(std::string_view bytes, const DecodeLimits& limits = {});

std::string EncodeReconcileAnswer(const ReconcileAnswer& answer);
ReconcileAnswer DecodeReconcileAnswer(std::string_view bytes, const DecodeLimits& limits = {});

std::string EncodeParams(const std::vector<Param>& params);
std::vector<Param> DecodeParams(std::string_view bytes, const DecodeLimits& limits = {});

}  // namespace tovra::dataset
