#include "dataset/client_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dataset/value_text.h"

namespace tovra::dataset {

namespace {

const Value kNull{};

std::string_view TrimName(std::string_view s) {
  while (!s.empty() && s.front() == ' ')
    s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ')
    s.remove_suffix(1);
  return s;
}

// Ascending order of two values of one field; null sorts first.
int CompareValues(const Value& a, const Value& b) {
  const bool an = IsNull(a), bn = IsNull(b);
  if (an || bn)
    return an == bn ? 0 : (an ? -1 : 1);
  if (const auto* x = std::get_if<std::int64_t>(&a)) {
    const auto y = std::get<std::int64_t>(b);
    return *x < y ? -1 : (*x > y ? 1 : 0);
  }
  if (const auto* x = std::get_if<double>(&a)) {
    // NaN sorts after every number, so the order stays strict and weak.
    const double y = std::get<double>(b);
    const bool xn = std::isnan(*x), yn = std::isnan(y);
    if (xn || yn)
      return xn == yn ? 0 : (xn ? 1 : -1);
    return *x < y ? -1 : (*x > y ? 1 : 0);
  }
  if (const auto* x = std::get_if<bool>(&a)) {
    const auto y = std::get<bool>(b);
    return *x == y ? 0 : (*x ? 1 : -1);
  }
  const int c = std::get<std::string>(a).compare(std::get<std::string>(b));
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Appends a hashable form of `v`; case-insensitive keys fold letters (FoldCase).
void AppendKey(std::string& key, const Value& v, bool fold_case) {
  key.push_back(static_cast<char>('0' + v.index()));
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    char buf[sizeof *i];
    std::memcpy(buf, i, sizeof buf);
    key.append(buf, sizeof buf);
  } else if (const auto* d = std::get_if<double>(&v)) {
    const double x = *d == 0.0 ? 0.0 : *d;  // -0 and 0 are one key
    char buf[sizeof x];
    std::memcpy(buf, &x, sizeof buf);
    key.append(buf, sizeof buf);
  } else if (const auto* b = std::get_if<bool>(&v)) {
    key.push_back(*b ? '1' : '0');
  } else if (const auto* s = std::get_if<std::string>(&v)) {
    const std::string folded = fold_case ? FoldCase(*s) : std::string();
    const std::string& text = fold_case ? folded : *s;
    const auto n = static_cast<std::uint64_t>(text.size());
    char buf[sizeof n];
    std::memcpy(buf, &n, sizeof buf);
    key.append(buf, sizeof buf);
    key.append(text);
  }
}

DataSetError ClosedError() {
  return DataSetError("Cannot perform this operation on a closed dataset");
}

}  // namespace

struct ClientDataSet::LocateIndex {
  std::vector<std::size_t> fields;
  bool fold_case = false;
  std::unordered_map<std::string, std::vector<Record*>> buckets;

  std::string KeyOf(const std::vector<Value>& values) const {
    std::string key;
    for (std::size_t f : fields)
      AppendKey(key, values[f], fold_case);
    return key;
  }
  void Add(Record* r) { buckets[KeyOf(r->values)].push_back(r); }
  void Remove(Record* r) {
    auto it = buckets.find(KeyOf(r->values));
    if (it == buckets.end())
      return;
    auto& rows = it->second;
    rows.erase(std::remove(rows.begin(), rows.end(), r), rows.end());
    if (rows.empty())
      buckets.erase(it);
  }
};

void ClientDataSet::ClearLocateIndexes() {
  locate_indexes_.clear();
}

// ---------------------------------------------------------------------------------------
// Fields, opening and closing

ClientDataSet::ClientDataSet() = default;

ClientDataSet::~ClientDataSet() {
  for (DataSource* s : sources_)
    s->dataset_ = nullptr;
}

Field& ClientDataSet::AddField(FieldDef def) {
  if (Active())
    throw DataSetError("Fields can only be declared while the dataset is closed");
  if (def.name.empty())
    throw DataSetError("A field needs a name");
  if (FindField(def.name))
    throw DataSetError("Field '" + def.name + "' exists already");
  const int index = static_cast<int>(fields_.size());
  fields_.push_back(std::unique_ptr<Field>(new Field(this, std::move(def), index)));
  persistent_fields_ = fields_.size();
  return *fields_.back();
}

Field& ClientDataSet::Fields(int index) {
  if (index < 0 || static_cast<std::size_t>(index) >= fields_.size()) {
    throw DataSetError("Field index " + std::to_string(index) + " out of range");
  }
  return *fields_[static_cast<std::size_t>(index)];
}

Field* ClientDataSet::FindField(std::string_view name) const {
  for (const auto& f : fields_) {
    if (SameFieldName(f->FieldName(), name))
      return f.get();
  }
  return nullptr;
}

Field& ClientDataSet::FieldByName(std::string_view name) const {
  if (Field* f = FindField(name))
    return *f;
  throw DataSetError("Field '" + std::string(name) + "' not found");
}

void ClientDataSet::SetActive(bool active) {
  if (active) {
    Open();
  } else {
    Close();
  }
}

void ClientDataSet::Open() {
  if (Active())
    return;
  if (!remote_server_)
    throw DataSetError("The dataset has no provider connection");
  if (provider_name_.empty())
    throw DataSetError("The dataset has no provider name");
  DataPacket packet = DecodePacket(remote_server_->GetRecords(provider_name_, params_.ToParams()));
  LoadFromPacket(std::move(packet));
}

void ClientDataSet::LoadFromPacket(DataPacket packet) {
  Close();
  // Which packet column feeds each field of the dataset.
  std::vector<std::size_t> columns;
  if (persistent_fields_ > 0) {
    for (const auto& f : fields_) {
      auto it = std::find_if(packet.fields.begin(), packet.fields.end(), [&](const FieldDef& d) {
        return SameFieldName(d.name, f->FieldName());
      });
      if (it == packet.fields.end()) {
        throw DataSetError("Field '" + f->FieldName() + "' not found in the data of provider '" +
                           provider_name_ + "'");
      }
      if (it->type != f->DataType()) {
        throw DataSetError("Type mismatch for field '" + f->FieldName() + "': declared " +
                           std::string(FieldTypeName(f->DataType())) + ", delivered " +
                           std::string(FieldTypeName(it->type)));
      }
      columns.push_back(static_cast<std::size_t>(it - packet.fields.begin()));
    }
  } else {
    for (std::size_t i = 0; i < packet.fields.size(); ++i) {
      fields_.push_back(
          std::unique_ptr<Field>(new Field(this, packet.fields[i], static_cast<int>(i))));
      columns.push_back(i);
    }
  }
  bool identity = columns.size() == packet.fields.size();
  for (std::size_t i = 0; identity && i < columns.size(); ++i)
    identity = columns[i] == i;

  records_.reserve(packet.rows.size());
  for (auto& row : packet.rows) {
    auto r = std::make_unique<Record>();
    r->id = next_id_++;
    if (identity) {
      r->values = std::move(row);
    } else {
      r->values.reserve(columns.size());
      for (std::size_t c : columns)
        r->values.push_back(std::move(row[c]));
    }
    records_.push_back(std::move(r));
  }
  state_ = DataSetState::Browse;
  try {
    BindFilterAndIndex();
  } catch (...) {
    Reset();
    throw;
  }
  RebuildView(nullptr, 0);
  bof_ = true;
  Notify({{DataChange::Kind::DataReset}, {DataChange::Kind::StateChanged, nullptr, cursor_}});
}

void ClientDataSet::CreateDataSet() {
  Close();
  if (fields_.empty())
    throw DataSetError("The dataset has no fields");
  state_ = DataSetState::Browse;
  try {
    BindFilterAndIndex();
  } catch (...) {
    Reset();
    throw;
  }
  RebuildView(nullptr, 0);
  Notify({{DataChange::Kind::DataReset}, {DataChange::Kind::StateChanged, nullptr, cursor_}});
}

void ClientDataSet::Close() {
  if (!Active())
    return;
  Reset();
  Notify({{DataChange::Kind::DataReset}, {DataChange::Kind::StateChanged}});
}

void ClientDataSet::Reset() {
  records_.clear();
  view_.clear();
  log_.Clear();
  ClearLocateIndexes();
  buffer_.clear();
  inserting_ = nullptr;
  modified_ = false;
  cursor_ = -1;
  eof_ = bof_ = true;
  filter_bound_ = false;
  fields_.resize(persistent_fields_);
  state_ = DataSetState::Inactive;
}

void ClientDataSet::BindFilterAndIndex() {
  filter_bound_ = false;
  try {
    BindFilter(filter_);
  } catch (const DataSetError&) {
    // A filter that is not switched on may name fields this data lacks; it is checked
    // again when it is switched on.
    if (filtered_)
      throw;
  }
  index_fields_ = ParseFieldList(index_field_names_);
}

void ClientDataSet::BindFilter(FilterExpression& expression) {
  expression.Bind([this](std::string_view name) -> std::optional<FilterExpression::FieldInfo> {
    if (Field* f = FindField(name)) {
      return FilterExpression::FieldInfo{static_cast<std::size_t>(f->Index()), f->DataType()};
    }
    return std::nullopt;
  });
  if (&expression == &filter_) {
    filter_bound_ = true;
    filter_fields_.assign(fields_.size(), false);
    for (std::size_t i : filter_.FieldsUsed())
      filter_fields_[i] = true;
  }
}

std::vector<std::size_t> ClientDataSet::ParseFieldList(std::string_view names) const {
  std::vector<std::size_t> out;
  while (!names.empty()) {
    const std::size_t semi = names.find(';');
    const std::string_view name = TrimName(names.substr(0, semi));
    if (!name.empty())
      out.push_back(static_cast<std::size_t>(FieldByName(name).Index()));
    if (semi == std::string_view::npos)
      break;
    names.remove_prefix(semi + 1);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// View, order and filter

bool ClientDataSet::Visible(const Record& r) const {
  if (&r == inserting_ || !filtered_ || !filter_bound_)
    return true;
  return filter_.Evaluate(r.values);
}

bool ClientDataSet::IndexLess(const Record& a, const Record& b) const {
  for (std::size_t f : index_fields_) {
    const int c = CompareValues(a.values[f], b.values[f]);
    if (c != 0)
      return c < 0;
  }
  return false;
}

void ClientDataSet::RebuildView(const Record* keep, int fallback) {
  view_.clear();
  for (auto& r : records_) {
    r->view_pos = -1;
    if (Visible(*r))
      view_.push_back(r.get());
  }
  if (!index_fields_.empty()) {
    std::stable_sort(view_.begin(), view_.end(),
                     [this](const Record* a, const Record* b) { return IndexLess(*a, *b); });
  }
  for (std::size_t i = 0; i < view_.size(); ++i)
    view_[i]->view_pos = static_cast<int>(i);
  const int size = static_cast<int>(view_.size());
  if (keep && keep->view_pos >= 0) {
    cursor_ = keep->view_pos;
  } else {
    cursor_ = size == 0 ? -1 : std::clamp(fallback, 0, size - 1);
  }
  eof_ = bof_ = size == 0;
}

bool ClientDataSet::ViewDependsOn(const std::vector<bool>& changed) const {
  for (std::size_t f : index_fields_) {
    if (changed[f])
      return true;
  }
  if (filtered_) {
    for (std::size_t i = 0; i < changed.size() && i < filter_fields_.size(); ++i) {
      if (changed[i] && filter_fields_[i])
        return true;
    }
  }
  return false;
}

void ClientDataSet::SetFilter(std::string text) {
  FilterExpression expression = FilterExpression::Parse(text);
  if (Active()) {
    CheckBrowseMode();
    BindFilter(expression);
  }
  filter_ = std::move(expression);
  filter_text_ = std::move(text);
  if (!Active())
    return;
  BindFilter(filter_);
  if (filtered_) {
    RebuildView(Current(), 0);
    Notify({{DataChange::Kind::DataReset}});
  }
}

void ClientDataSet::SetFiltered(bool filtered) {
  if (filtered == filtered_)
    return;
  if (Active()) {
    CheckBrowseMode();
    if (filtered && !filter_bound_)
      BindFilter(filter_);
  }
  filtered_ = filtered;
  if (!Active())
    return;
  RebuildView(Current(), 0);
  Notify({{DataChange::Kind::DataReset}});
}

void ClientDataSet::SetIndexFieldNames(std::string names) {
  if (Active()) {
    CheckBrowseMode();
    index_fields_ = ParseFieldList(names);
    index_field_names_ = std::move(names);
    RebuildView(Current(), cursor_);
    Notify({{DataChange::Kind::DataReset}});
  } else {
    index_field_names_ = std::move(names);
  }
}

// ---------------------------------------------------------------------------------------
// Navigation

void ClientDataSet::CheckActive() const {
  if (!Active())
    throw ClosedError();
}

void ClientDataSet::CheckBrowseMode() {
  CheckActive();
  if (state_ == DataSetState::Edit || state_ == DataSetState::Insert) {
    if (modified_) {
      Post();
    } else {
      Cancel();
    }
  }
}

ClientDataSet::Record* ClientDataSet::Current() const {
  return cursor_ >= 0 && static_cast<std::size_t>(cursor_) < view_.size()
             ? view_[static_cast<std::size_t>(cursor_)]
             : nullptr;
}

void ClientDataSet::MoveTo(int position) {
  Record* before = Current();
  cursor_ = position;
  eof_ = bof_ = false;
  if (Current() != before)
    Notify({{DataChange::Kind::CursorMoved, nullptr, cursor_}});
}

void ClientDataSet::First() {
  CheckBrowseMode();
  Record* before = Current();
  cursor_ = view_.empty() ? -1 : 0;
  bof_ = true;
  eof_ = view_.empty();
  if (Current() != before)
    Notify({{DataChange::Kind::CursorMoved, nullptr, cursor_}});
}

void ClientDataSet::Last() {
  CheckBrowseMode();
  Record* before = Current();
  cursor_ = static_cast<int>(view_.size()) - 1;
  eof_ = true;
  bof_ = view_.empty();
  if (Current() != before)
    Notify({{DataChange::Kind::CursorMoved, nullptr, cursor_}});
}

void ClientDataSet::Next() {
  CheckBrowseMode();
  if (view_.empty() || cursor_ + 1 >= static_cast<int>(view_.size())) {
    eof_ = true;
    return;
  }
  MoveTo(cursor_ + 1);
}

void ClientDataSet::Prior() {
  CheckBrowseMode();
  if (view_.empty() || cursor_ <= 0) {
    bof_ = true;
    return;
  }
  MoveTo(cursor_ - 1);
}

void ClientDataSet::SetRecNo(int rec_no) {
  CheckBrowseMode();
  if (view_.empty())
    return;
  MoveTo(std::clamp(rec_no, 1, static_cast<int>(view_.size())) - 1);
}

const Value& ClientDataSet::ValueAt(int row, int field) const {
  if ((state_ == DataSetState::Edit || state_ == DataSetState::Insert) && row == cursor_) {
    return buffer_.at(static_cast<std::size_t>(field));
  }
  return view_.at(static_cast<std::size_t>(row))->values.at(static_cast<std::size_t>(field));
}

UpdateStatus ClientDataSet::RowStatus(int row) const {
  const Record* r = view_.at(static_cast<std::size_t>(row));
  if (r == inserting_)
    return UpdateStatus::Inserted;
  return log_.StatusOf(r->id);
}

// ---------------------------------------------------------------------------------------
// Editing

void ClientDataSet::CheckWritable() const {
  if (read_only_)
    throw DataSetError("Cannot modify a read-only dataset");
}

const Value& ClientDataSet::ReadField(const Field& field) const {
  if (!Active())
    throw ClosedError();
  const auto i = static_cast<std::size_t>(field.Index());
  if (state_ == DataSetState::Edit || state_ == DataSetState::Insert)
    return buffer_[i];
  const Record* r = Current();
  return r ? r->values[i] : kNull;
}

void ClientDataSet::WriteField(Field& field, Value value) {
  CheckActive();
  if (state_ != DataSetState::Edit && state_ != DataSetState::Insert) {
    throw DataSetError("Dataset not in edit or insert mode");
  }
  if (field.ReadOnly())
    throw DataSetError("Field '" + field.FieldName() + "' cannot be modified");
  if (!ValueFitsType(value, field.DataType())) {
    throw DataSetError("The value is not a valid " + std::string(FieldTypeName(field.DataType())) +
                       " value for field '" + field.FieldName() + "'");
  }
  if (field.DataType() == FieldType::String && field.Size() > 0) {
    if (const auto* s = std::get_if<std::string>(&value);
        s && Utf8Length(*s) > static_cast<std::size_t>(field.Size())) {
      throw DataSetError("Field '" + field.FieldName() + "' holds at most " +
                         std::to_string(field.Size()) + " characters");
    }
  }
  buffer_[static_cast<std::size_t>(field.Index())] = std::move(value);
  modified_ = true;
  Notify({{DataChange::Kind::FieldChanged, &field, cursor_}}, &field);
}

std::unique_ptr<ClientDataSet::Record> ClientDataSet::NewRecord() {
  auto record = std::make_unique<Record>();
  record->id = next_id_++;
  record->values.assign(fields_.size(), Value{});
  return record;
}

void ClientDataSet::BeginInsert(Record* record) {
  inserting_ = record;
  buffer_.assign(fields_.size(), Value{});
  modified_ = false;
  eof_ = bof_ = false;
  state_ = DataSetState::Insert;
  Notify({{DataChange::Kind::RowInserted, nullptr, cursor_},
          {DataChange::Kind::CursorMoved, nullptr, cursor_},
          {DataChange::Kind::StateChanged, nullptr, cursor_}});
}

void ClientDataSet::Insert() {
  CheckBrowseMode();
  CheckWritable();
  auto record = NewRecord();
  Record* r = record.get();
  Record* current = Current();
  if (current) {
    auto at = std::find_if(records_.begin(), records_.end(),
                           [&](const auto& p) { return p.get() == current; });
    records_.insert(at, std::move(record));
    view_.insert(view_.begin() + cursor_, r);
  } else {
    records_.push_back(std::move(record));
    view_.push_back(r);
    cursor_ = static_cast<int>(view_.size()) - 1;
  }
  for (std::size_t i = 0; i < view_.size(); ++i)
    view_[i]->view_pos = static_cast<int>(i);
  BeginInsert(r);
}

void ClientDataSet::Append() {
  CheckBrowseMode();
  Last();
  CheckWritable();
  auto record = NewRecord();
  Record* r = record.get();
  records_.push_back(std::move(record));
  view_.push_back(r);
  r->view_pos = static_cast<int>(view_.size()) - 1;
  cursor_ = r->view_pos;
  BeginInsert(r);
}

void ClientDataSet::Edit() {
  CheckActive();
  if (state_ == DataSetState::Edit || state_ == DataSetState::Insert)
    return;
  CheckWritable();
  if (view_.empty()) {
    Insert();
    return;
  }
  buffer_ = Current()->values;
  modified_ = false;
  state_ = DataSetState::Edit;
  Notify({{DataChange::Kind::StateChanged, nullptr, cursor_}});
}

void ClientDataSet::Post() {
  CheckActive();
  if (state_ != DataSetState::Edit && state_ != DataSetState::Insert)
    return;
  for (const auto& f : fields_) {
    if (f->Required() && IsNull(buffer_[static_cast<std::size_t>(f->Index())])) {
      throw DataSetError("Field '" + f->FieldName() + "' must have a value");
    }
  }
  Record* r = Current();
  const int position = cursor_;
  bool rebuild = false;
  if (state_ == DataSetState::Insert) {
    r = inserting_;
    r->values = std::move(buffer_);
    inserting_ = nullptr;
    log_.RecordInsert(r->id);
    for (auto& index : locate_indexes_)
      index->Add(r);
    rebuild = !index_fields_.empty() || filtered_;
  } else {
    std::vector<bool> changed(fields_.size(), false);
    bool any = false;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      changed[i] = !(buffer_[i] == r->values[i]);
      any = any || changed[i];
    }
    if (any) {
      for (auto& index : locate_indexes_)
        index->Remove(r);
      std::vector<Value> before = std::move(r->values);
      r->values = std::move(buffer_);
      for (auto& index : locate_indexes_)
        index->Add(r);
      log_.RecordEdit(*r, std::move(before));
    }
    rebuild = any && ViewDependsOn(changed);
  }
  buffer_.clear();
  modified_ = false;
  state_ = DataSetState::Browse;
  std::vector<DataChange> changes;
  if (rebuild) {
    // The posted row may move in the order or leave the filtered view.
    const std::vector<Record*> before = view_;
    RebuildView(r, cursor_);
    DescribeRowChange(before, r, changes);
    DescribeCursor(r, position, changes);
  } else {
    changes.push_back({DataChange::Kind::RowChanged, nullptr, position});
  }
  changes.push_back({DataChange::Kind::StateChanged, nullptr, cursor_});
  Notify(changes);
}

void ClientDataSet::Cancel() {
  CheckActive();
  if (state_ == DataSetState::Edit) {
    buffer_.clear();
    modified_ = false;
    state_ = DataSetState::Browse;
    // The row shows its stored values again.
    Notify({{DataChange::Kind::RowChanged, nullptr, cursor_},
            {DataChange::Kind::StateChanged, nullptr, cursor_}});
  } else if (state_ == DataSetState::Insert) {
    Record* r = inserting_;
    const int position = r->view_pos;
    inserting_ = nullptr;
    buffer_.clear();
    modified_ = false;
    view_.erase(view_.begin() + position);
    records_.erase(std::find_if(records_.begin(), records_.end(),
                                [&](const auto& p) { return p.get() == r; }));
    for (std::size_t i = 0; i < view_.size(); ++i)
      view_[i]->view_pos = static_cast<int>(i);
    const int size = static_cast<int>(view_.size());
    cursor_ = size == 0 ? -1 : std::min(cursor_, size - 1);
    eof_ = bof_ = size == 0;
    state_ = DataSetState::Browse;
    Notify({{DataChange::Kind::RowDeleted, nullptr, position},
            {DataChange::Kind::CursorMoved, nullptr, cursor_},
            {DataChange::Kind::StateChanged, nullptr, cursor_}});
  }
}

void ClientDataSet::Delete() {
  CheckActive();
  CheckWritable();
  if (state_ == DataSetState::Insert) {
    Cancel();
    return;
  }
  const bool was_editing = state_ == DataSetState::Edit;
  if (was_editing) {
    buffer_.clear();
    modified_ = false;
    state_ = DataSetState::Browse;
  }
  Record* r = Current();
  if (!r)
    throw DataSetError("Cannot perform this operation on an empty dataset");
  const int position = cursor_;
  for (auto& index : locate_indexes_)
    index->Remove(r);
  auto owner_it =
      std::find_if(records_.begin(), records_.end(), [&](const auto& p) { return p.get() == r; });
  std::unique_ptr<Record> owner = std::move(*owner_it);
  records_.erase(owner_it);
  view_.erase(view_.begin() + cursor_);
  for (std::size_t i = static_cast<std::size_t>(cursor_); i < view_.size(); ++i) {
    view_[i]->view_pos = static_cast<int>(i);
  }
  owner->view_pos = -1;
  log_.RecordDelete(std::move(owner));
  const int size = static_cast<int>(view_.size());
  cursor_ = size == 0 ? -1 : std::min(cursor_, size - 1);
  eof_ = bof_ = size == 0;
  std::vector<DataChange> changes = {{DataChange::Kind::RowDeleted, nullptr, position},
                                     {DataChange::Kind::CursorMoved, nullptr, cursor_}};
  if (was_editing)
    changes.push_back({DataChange::Kind::StateChanged, nullptr, cursor_});
  Notify(changes);
}

// ---------------------------------------------------------------------------------------
// Locate

bool ClientDataSet::Locate(std::string_view key_fields, std::span<const Value> values,
                           LocateOptions options) {
  CheckBrowseMode();
  const std::vector<std::size_t> fields = ParseFieldList(key_fields);
  if (fields.empty() || fields.size() != values.size()) {
    throw DataSetError("Locate needs one value for each of the fields \"" +
                       std::string(key_fields) + "\"");
  }
  std::vector<Value> probe(fields_.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (!ConvertValue(values[i], fields_[fields[i]]->DataType(), probe[fields[i]]))
      return false;
  }
  const bool fold_case = options == LocateOptions::CaseInsensitive;
  LocateIndex* index = nullptr;
  for (auto& candidate : locate_indexes_) {
    if (candidate->fields == fields && candidate->fold_case == fold_case) {
      index = candidate.get();
      break;
    }
  }
  if (!index) {
    auto built = std::make_unique<LocateIndex>();
    built->fields = fields;
    built->fold_case = fold_case;
    built->buckets.reserve(records_.size());
    for (auto& r : records_)
      built->Add(r.get());
    index = built.get();
    locate_indexes_.push_back(std::move(built));
  }
  auto it = index->buckets.find(index->KeyOf(probe));
  if (it == index->buckets.end())
    return false;
  int best = -1;
  for (const Record* r : it->second) {
    if (r->view_pos >= 0 && (best < 0 || r->view_pos < best))
      best = r->view_pos;
  }
  if (best < 0)
    return false;
  MoveTo(best);
  return true;
}

// ---------------------------------------------------------------------------------------
// Change log

Delta ClientDataSet::GetDelta() const {
  std::vector<FieldDef> fields;
  fields.reserve(fields_.size());
  for (const auto& f : fields_)
    fields.push_back(f->Definition());
  return log_.BuildDelta(fields, records_, inserting_);
}

int ClientDataSet::ApplyUpdates(int max_errors) {
  CheckBrowseMode();
  if (log_.Empty())
    return 0;
  if (!remote_server_)
    throw DataSetError("The dataset has no provider connection");
  const Delta delta = GetDelta();
  const ProviderConnection::ApplyResult result =
      remote_server_->ApplyUpdates(provider_name_, EncodeDelta(delta), max_errors);
  const ReconcileAnswer answer = DecodeReconcileAnswer(result.reconcile_answer);

  // Accepted rows leave the log before any handler runs, so the log is right even when a
  // handler throws.
  std::vector<UpdateStatus> status_before;
  status_before.reserve(delta.rows.size());
  for (const DeltaRow& row : delta.rows)
    status_before.push_back(log_.StatusOf(row.row_id));
  const std::unordered_map<std::uint64_t, std::string> refused = log_.Settle(delta, answer);

  bool undone = false;
  bool aborted = false;
  // Undoes one row's change and rebuilds the view at once, so a handler that reads the
  // dataset never meets a row that is gone.
  auto undo = [&](std::uint64_t id) {
    const Record* current = Current();
    const std::uint64_t current_id = current ? current->id : 0;
    const int position = cursor_;
    log_.Undo(id, records_);
    ClearLocateIndexes();
    const Record* keep = nullptr;
    for (const auto& r : records_) {
      if (r->id == current_id)
        keep = r.get();
    }
    RebuildView(keep, position);
    undone = true;
  };
  try {
    for (const DeltaRow& row : delta.rows) {
      if (aborted || !on_reconcile_error_)
        break;
      auto r = refused.find(row.row_id);
      if (r == refused.end())
        continue;
      ReconcileError error{r->second, row.kind, row.row_id,
                           row.kind == UpdateKind::Delete ? row.original : row.new_values};
      ReconcileAction action = ReconcileAction::Leave;
      on_reconcile_error_(*this, error, action);
      if (action == ReconcileAction::Abort) {
        aborted = true;
      } else if (action == ReconcileAction::Drop &&
                 log_.StatusOf(row.row_id) != UpdateStatus::Unmodified) {
        if (state_ == DataSetState::Edit || state_ == DataSetState::Insert)
          Cancel();
        undo(row.row_id);
      }
    }
  } catch (...) {
    if (undone)
      Notify({{DataChange::Kind::DataReset}});
    throw;
  }
  std::vector<DataChange> changes;
  if (undone) {
    changes.push_back({DataChange::Kind::DataReset});
  } else {
    // Only the status of rows that were sent can have changed.
    std::unordered_map<std::uint64_t, bool> settled;
    for (std::size_t i = 0; i < delta.rows.size(); ++i) {
      if (log_.StatusOf(delta.rows[i].row_id) != status_before[i])
        settled[delta.rows[i].row_id] = true;
    }
    if (!settled.empty()) {
      for (const auto& r : records_) {
        if (r->view_pos >= 0 && settled.count(r->id))
          changes.push_back({DataChange::Kind::RowChanged, nullptr, r->view_pos});
      }
    }
  }
  Notify(changes);
  return static_cast<int>(answer.refused.size());
}

void ClientDataSet::CancelUpdates() {
  CheckActive();
  Cancel();
  if (log_.Empty())
    return;
  Record* keep = Current();
  const std::uint64_t keep_id = keep ? keep->id : 0;
  log_.UndoAll(records_);
  ClearLocateIndexes();
  keep = nullptr;
  for (auto& r : records_) {
    if (r->id == keep_id)
      keep = r.get();
  }
  RebuildView(keep, cursor_);
  Notify({{DataChange::Kind::DataReset}});
}

std::vector<Value> ClientDataSet::KeyOf(const Record& r) const {
  std::vector<Value> key;
  for (const auto& f : fields_) {
    if (f->ProviderFlags() & kInKey)
      key.push_back(r.values[static_cast<std::size_t>(f->Index())]);
  }
  if (key.empty()) {
    if (const Field* id = FindField("ID"))
      key.push_back(r.values[static_cast<std::size_t>(id->Index())]);
  }
  return key;
}

ClientDataSet::Record* ClientDataSet::FindByKey(const std::vector<Value>& key) const {
  if (key.empty())
    return nullptr;
  for (const auto& r : records_) {
    if (r->view_pos >= 0 && KeyOf(*r) == key)
      return r.get();
  }
  return nullptr;
}

void ClientDataSet::Refresh() {
  CheckBrowseMode();
  if (!log_.Empty()) {
    const int pending = log_.Count();
    throw DataSetError(
        "Cannot refresh the data of provider '" + provider_name_ + "': " + std::to_string(pending) +
        (pending == 1 ? " change has" : " changes have") +
        " not been applied. Apply or cancel the changes first." + log_.RefusalSummary());
  }
  if (!remote_server_)
    throw DataSetError("The dataset has no provider connection");
  DataPacket packet = DecodePacket(remote_server_->GetRecords(provider_name_, params_.ToParams()));

  // Everything is checked before the old rows go, so a failed refresh loses nothing.
  std::vector<std::size_t> columns;
  for (const auto& f : fields_) {
    auto it = std::find_if(packet.fields.begin(), packet.fields.end(), [&](const FieldDef& d) {
      return SameFieldName(d.name, f->FieldName());
    });
    if (it == packet.fields.end() || it->type != f->DataType()) {
      throw DataSetError("Field '" + f->FieldName() +
                         "' is missing or changed its type in the data of provider '" +
                         provider_name_ + "'");
    }
    columns.push_back(static_cast<std::size_t>(it - packet.fields.begin()));
  }
  const Record* current = Current();
  const std::vector<Value> key = current ? KeyOf(*current) : std::vector<Value>{};
  const int position = cursor_;

  std::vector<std::unique_ptr<Record>> records;
  records.reserve(packet.rows.size());
  for (auto& row : packet.rows) {
    auto r = std::make_unique<Record>();
    r->id = next_id_++;
    r->values.reserve(columns.size());
    for (std::size_t c : columns)
      r->values.push_back(std::move(row[c]));
    records.push_back(std::move(r));
  }
  records_ = std::move(records);
  ClearLocateIndexes();
  RebuildView(nullptr, position);
  if (Record* again = FindByKey(key))
    cursor_ = again->view_pos;
  eof_ = bof_ = view_.empty();
  Notify({{DataChange::Kind::DataReset}});
}

// ---------------------------------------------------------------------------------------
// Data sources and events

void ClientDataSet::Notify(std::span<const DataChange> changes, Field* field) {
  if (controls_disabled_ > 0) {
    held_change_ = true;
    return;
  }
  // A handler may attach, detach or destroy sources; work on a copy and re-check.
  const std::vector<DataSource*> sources = sources_;
  auto attached = [this](DataSource* s) {
    return std::find(sources_.begin(), sources_.end(), s) != sources_.end();
  };
  for (DataSource* s : sources) {
    for (const DataChange& change : changes) {
      if (!attached(s) || !s->on_change_)
        break;
      DataSource::ChangeEvent handler = s->on_change_;
      handler(*s, change);
    }
    if (!attached(s) || !s->on_data_change_)
      continue;
    DataSource::DataChangeEvent handler = s->on_data_change_;
    handler(*s, field);
  }
}

void ClientDataSet::DescribeRowChange(const std::vector<Record*>& before, const Record* row,
                                      std::vector<DataChange>& out) const {
  // `row` may be gone; it is only compared, never read.
  int from = -1;
  int to = -1;
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    if (i < before.size() && before[i] == row) {
      from = static_cast<int>(i++);
      continue;
    }
    if (j < view_.size() && view_[j] == row) {
      to = static_cast<int>(j++);
      continue;
    }
    if (i == before.size() || j == view_.size())
      break;
    if (before[i] != view_[j])
      break;
    ++i;
    ++j;
  }
  if (i != before.size() || j != view_.size()) {
    // Other rows changed their places too: only a reset describes that.
    out.push_back({DataChange::Kind::DataReset});
    return;
  }
  if (from >= 0 && to < 0) {
    out.push_back({DataChange::Kind::RowDeleted, nullptr, from});
  } else if (from < 0 && to >= 0) {
    out.push_back({DataChange::Kind::RowInserted, nullptr, to});
  } else if (from >= 0) {
    if (from != to)
      out.push_back({DataChange::Kind::RowMoved, nullptr, from, to});
    out.push_back({DataChange::Kind::RowChanged, nullptr, to});
  }
}

void ClientDataSet::DescribeCursor(const Record* before, int before_pos,
                                   std::vector<DataChange>& out) const {
  if (Current() != before || cursor_ != before_pos)
    out.push_back({DataChange::Kind::CursorMoved, nullptr, cursor_});
}

void ClientDataSet::DisableControls() {
  ++controls_disabled_;
}

void ClientDataSet::EnableControls() {
  if (controls_disabled_ == 0)
    return;
  if (--controls_disabled_ == 0) {
    held_change_ = false;
    Notify({{DataChange::Kind::DataReset}});
  }
}

DataSource::DataSource(ClientDataSet* dataset) {
  SetDataSet(dataset);
}

DataSource::~DataSource() {
  SetDataSet(nullptr);
}

void DataSource::SetDataSet(ClientDataSet* dataset) {
  if (dataset_ == dataset)
    return;
  if (dataset_) {
    auto& list = dataset_->sources_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  dataset_ = dataset;
  if (dataset_)
    dataset_->sources_.push_back(this);
}

}  // namespace tovra::dataset
