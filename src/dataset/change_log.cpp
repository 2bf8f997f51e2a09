#include "dataset/change_log.h"

#include <algorithm>
#include <utility>

namespace tovra::dataset {

UpdateStatus ChangeLog::StatusOf(std::uint64_t id) const {
  auto it = entries_.find(id);
  if (it == entries_.end())
    return UpdateStatus::Unmodified;
  switch (it->second.kind) {
    case UpdateKind::Insert:
      return UpdateStatus::Inserted;
    case UpdateKind::Modify:
      return UpdateStatus::Modified;
    case UpdateKind::Delete:
      break;
  }
  return UpdateStatus::Deleted;
}

void ChangeLog::RecordInsert(std::uint64_t id) {
  Entry entry;
  entry.kind = UpdateKind::Insert;
  entry.seq = next_seq_++;
  entries_[id] = std::move(entry);
}

void ChangeLog::RecordEdit(const StoredRow& row, std::vector<Value> before) {
  auto it = entries_.find(row.id);
  if (it == entries_.end()) {
    Entry entry;
    entry.kind = UpdateKind::Modify;
    entry.seq = next_seq_++;
    entry.original = std::move(before);
    entries_.emplace(row.id, std::move(entry));
  } else if (it->second.kind == UpdateKind::Modify && it->second.original == row.values) {
    // Edited back to what the provider delivered: nothing left to send.
    entries_.erase(it);
  }
  // An inserted row stays one insert with its latest values; a modified row keeps the
  // original values it was first read with.
}

void ChangeLog::RecordDelete(std::unique_ptr<StoredRow> row) {
  const std::uint64_t id = row->id;
  auto it = entries_.find(id);
  if (it == entries_.end()) {
    Entry entry;
    entry.kind = UpdateKind::Delete;
    entry.seq = next_seq_++;
    entry.original = row->values;
    entry.deleted = std::move(row);
    entries_.emplace(id, std::move(entry));
  } else if (it->second.kind == UpdateKind::Insert) {
    entries_.erase(it);  // inserted and deleted again: the provider never hears of it
  } else {
    it->second.kind = UpdateKind::Delete;  // keeps the original of the earlier edit
    it->second.deleted = std::move(row);
  }
}

Delta ChangeLog::BuildDelta(const std::vector<FieldDef>& fields, const RowList& rows,
                            const StoredRow* skip) const {
  Delta delta;
  delta.fields = fields;
  std::vector<std::pair<std::uint64_t, DeltaRow>> out;
  out.reserve(entries_.size());
  if (!entries_.empty()) {
    for (const auto& r : rows) {
      if (r.get() == skip)
        continue;
      auto it = entries_.find(r->id);
      if (it == entries_.end())
        continue;
      DeltaRow row;
      row.row_id = r->id;
      row.kind = it->second.kind;
      row.new_values = r->values;
      if (row.kind == UpdateKind::Modify) {
        row.original = it->second.original;
        row.changed.resize(fields.size());
        for (std::size_t i = 0; i < fields.size(); ++i)
          row.changed[i] = !(row.original[i] == row.new_values[i]);
      }
      out.emplace_back(it->second.seq, std::move(row));
    }
    for (const auto& [id, entry] : entries_) {
      if (entry.kind != UpdateKind::Delete)
        continue;
      DeltaRow row;
      row.row_id = id;
      row.kind = UpdateKind::Delete;
      row.original = entry.original;
      out.emplace_back(entry.seq, std::move(row));
    }
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  delta.rows.reserve(out.size());
  for (auto& [seq, row] : out)
    delta.rows.push_back(std::move(row));
  return delta;
}

std::unordered_map<std::uint64_t, std::string> ChangeLog::Settle(const Delta& sent,
                                                                 const ReconcileAnswer& answer) {
  std::unordered_map<std::uint64_t, bool> was_sent;
  for (const DeltaRow& row : sent.rows)
    was_sent[row.row_id] = true;
  std::unordered_map<std::uint64_t, std::string> refused;
  std::unordered_map<std::uint64_t, bool> not_applied;
  for (const RefusedRow& r : answer.refused) {
    if (!was_sent.count(r.row_id))
      throw PacketError("The provider refused a row it was not sent");
    refused[r.row_id] = r.reason;
  }
  for (std::uint64_t id : answer.not_applied) {
    if (!was_sent.count(id))
      throw PacketError("The provider skipped a row it was not sent");
    not_applied[id] = true;
  }
  for (const DeltaRow& row : sent.rows) {
    auto it = entries_.find(row.row_id);
    if (it == entries_.end())
      continue;
    if (auto r = refused.find(row.row_id); r != refused.end()) {
      it->second.refusal = r->second;
    } else if (!not_applied.count(row.row_id)) {
      entries_.erase(it);
    }
  }
  return refused;
}

void ChangeLog::UndoEntry(std::uint64_t id, Entry& entry, RowList& rows) {
  auto find = [&](std::uint64_t wanted) {
    return std::find_if(rows.begin(), rows.end(), [&](const auto& p) { return p->id == wanted; });
  };
  switch (entry.kind) {
    case UpdateKind::Insert: {
      auto it = find(id);
      if (it != rows.end())
        rows.erase(it);
      break;
    }
    case UpdateKind::Modify: {
      auto it = find(id);
      if (it != rows.end())
        (*it)->values = entry.original;
      break;
    }
    case UpdateKind::Delete: {
      std::unique_ptr<StoredRow> r = std::move(entry.deleted);
      r->values = entry.original;
      // Back near where it was: before the first row that came after it.
      auto at = std::find_if(rows.begin(), rows.end(), [&](const auto& p) { return p->id > id; });
      rows.insert(at, std::move(r));
      break;
    }
  }
}

bool ChangeLog::Undo(std::uint64_t id, RowList& rows) {
  auto it = entries_.find(id);
  if (it == entries_.end())
    return false;
  UndoEntry(id, it->second, rows);
  entries_.erase(it);
  return true;
}

void ChangeLog::UndoAll(RowList& rows) {
  for (auto& [id, entry] : entries_)
    UndoEntry(id, entry, rows);
  entries_.clear();
}

std::string ChangeLog::RefusalSummary() const {
  std::vector<std::pair<std::uint64_t, const std::string*>> reasons;
  for (const auto& [id, entry] : entries_) {
    if (!entry.refusal.empty())
      reasons.emplace_back(entry.seq, &entry.refusal);
  }
  if (reasons.empty())
    return {};
  std::sort(reasons.begin(), reasons.end());
  std::string message = " The server refused " + std::to_string(reasons.size()) +
                        (reasons.size() == 1 ? " row: " : " rows: ");
  constexpr std::size_t kShown = 5;
  for (std::size_t i = 0; i < reasons.size() && i < kShown; ++i) {
    if (i)
      message += "; ";
    message += *reasons[i].second;
  }
  if (reasons.size() > kShown)
    message += "; and " + std::to_string(reasons.size() - kShown) + " more";
  return message;
}

}  // namespace tovra::dataset
