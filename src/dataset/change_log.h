#pragma once

// The change log of a client dataset: which rows were inserted, modified or deleted since
// the provider last delivered or accepted them, how that becomes a delta, how the
// provider's answer settles it, and how a change is undone.
//
// The log keys each change by the row's id and keeps one entry per row: an insert that is
// edited stays one insert, a modified row keeps the values it was first read with, and a
// deleted row is kept whole so an undo can bring it back.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "dataset/packet.h"
#include "dataset/types.h"

namespace tovra::dataset {

// A row's pending change, as a grid that shows unsent edits needs it.
enum class UpdateStatus { Unmodified, Inserted, Modified, Deleted };

// One row of a client dataset.
struct StoredRow {
  std::vector<Value> values;
  std::uint64_t id = 0;  // unique within the dataset; the log and the provider's answer use it
  int view_pos = -1;     // position in the dataset's view, -1 when hidden
};
// Every live row of a dataset, in the order the provider delivered them (new rows where
// they were inserted).
using RowList = std::vector<std::unique_ptr<StoredRow>>;

class ChangeLog {
 public:
  bool Empty() const { return entries_.empty(); }
  int Count() const { return static_cast<int>(entries_.size()); }
  // Unmodified for a row the log does not hold.
  UpdateStatus StatusOf(std::uint64_t id) const;
  void Clear() { entries_.clear(); }

  // --- Folding local changes in ---
  void RecordInsert(std::uint64_t id);
  // `before` is what the row held before this edit; a row edited back to the values the
  // provider delivered leaves the log.
  void RecordEdit(const StoredRow& row, std::vector<Value> before);
  // Takes the deleted row. An inserted row that is deleted again leaves the log.
  void RecordDelete(std::unique_ptr<StoredRow> row);

  // The unsent changes as a delta over `fields`, in the order they were first made.
  // `rows` are the live rows; `skip` is a row being inserted, which is not sent yet.
  Delta BuildDelta(const std::vector<FieldDef>& fields, const RowList& rows,
                   const StoredRow* skip) const;

  // Takes the provider's answer to `sent`: accepted rows leave the log, refused rows stay
  // with the reason, rows the provider did not reach stay as they were. Returns the
  // reasons by row id. An answer about a row that was not sent throws PacketError and
  // changes nothing.
  std::unordered_map<std::uint64_t, std::string> Settle(const Delta& sent,
                                                        const ReconcileAnswer& answer);

  // Undoes the change of row `id` on `rows` (an insert goes, a modified row gets its
  // original values, a deleted row comes back near where it was) and drops it from the
  // log. False when the log holds no change of that row.
  bool Undo(std::uint64_t id, RowList& rows);
  void UndoAll(RowList& rows);

  // For a refused refresh: " The server refused N rows: reason; reason ..." naming the
  // reasons the provider last gave, or empty when it refused none.
  std::string RefusalSummary() const;

 private:
  struct Entry {
    UpdateKind kind = UpdateKind::Modify;
    std::uint64_t seq = 0;               // order of the first change
    std::vector<Value> original;         // Modify, Delete
    std::unique_ptr<StoredRow> deleted;  // Delete: the row, kept for an undo
    std::string refusal;                 // the provider's reason when it last refused the row
  };
  void UndoEntry(std::uint64_t id, Entry& entry, RowList& rows);

  std::unordered_map<std::uint64_t, Entry> entries_;
  std::uint64_t next_seq_ = 1;
};

}  // namespace tovra::dataset
