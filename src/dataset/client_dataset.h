#pragma once

// The client dataset: an in-memory table filled by a named provider, with a local change
// log that is sent back to the provider on request.
//
// Rows keep the order the provider delivered them in (new rows go where they were
// inserted) unless IndexFieldNames orders them; a filter hides rows from navigation,
// counts and views without removing them. Reading and writing go through Field objects,
// which address the current row; writes need the Edit or Insert state and take effect on
// Post. Every Post, Delete and Insert folds into the change log, which ApplyUpdates sends
// as one delta.
//
// Single-threaded: a dataset and its data sources belong to one thread.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dataset/change_log.h"
#include "dataset/field.h"
#include "dataset/filter.h"
#include "dataset/packet.h"
#include "dataset/params.h"
#include "dataset/provider_connection.h"
#include "dataset/types.h"

namespace tovra::dataset {

class ClientDataSet;
class DataSource;

enum class DataSetState { Inactive, Browse, Edit, Insert };

// None: exact, case-sensitive, whole value. CaseInsensitive: letters compared as FoldCase
// folds them.
enum class LocateOptions : unsigned { None = 0, CaseInsensitive = 1 };

// What happens to a row the provider refused.
enum class ReconcileAction {
  Leave,  // it stays in the change log, unsent (the default)
  Drop,   // the local change is undone and leaves the log
  Abort,  // it stays, and no further refused rows of this apply are offered
};

struct ReconcileError {
  std::string message;  // the provider's reason
  UpdateKind kind;
  std::uint64_t row_id;
  std::vector<Value> values;  // the row as sent: new values, or the original of a delete
};

// Called for each refused row while updates are applied. `action` comes in as the
// proposal, Leave; a handler that does nothing keeps it.
using ReconcileErrorEvent = std::function<void(ClientDataSet& dataset, const ReconcileError& error,
                                               ReconcileAction& action)>;

// What a data source's change event reports, so a grid can follow the view row by row
// instead of reading everything again. One operation sends its changes in order; a row
// position is 0-based in the view (after the filter, in the current order) as it is once
// the changes before it are applied, so replaying them on a list of the rows a grid shows
// yields the dataset's view. A grid's model maps RowInserted and RowDeleted to its
// insert and remove of one row, RowMoved to a move (for a row moving down, Qt's
// destination row is `to` + 1), and DataReset to a reset.
// The changes come once the operation is done, so a model keeps its own row count while it
// replays them; the source's OnDataChange follows the last change of each operation. A
// handler that edits, inserts or deletes rows of the same dataset nests another operation
// inside the one being reported, which a model then cannot replay.
struct DataChange {
  enum class Kind {
    CursorMoved,   // another row is current or the current row moved; `row` is where it is
                   // now (-1: none)
    FieldChanged,  // `field` of the row being edited or inserted (`row`) has a new value
    StateChanged,  // the state changed (State()); `row` is the current row
    RowInserted,   // a row appeared at `row`; the rows from there on move down by one
    RowDeleted,    // the row at `row` left the view; the rows after it move up by one
    RowMoved,      // the row at `row` moved to `to` (its position after it was taken out)
    RowChanged,    // the values or the update status of the row at `row` changed
    DataReset,     // anything may have changed: rows, values, statuses, the current row
  };
  Kind kind = Kind::DataReset;
  Field* field = nullptr;  // FieldChanged only
  int row = -1;
  int to = -1;  // RowMoved only
  bool operator==(const DataChange&) const = default;
};

class ClientDataSet {
 public:
  ClientDataSet();
  ~ClientDataSet();
  ClientDataSet(const ClientDataSet&) = delete;
  ClientDataSet& operator=(const ClientDataSet&) = delete;

  // --- Provider ---
  void SetRemoteServer(ProviderConnection* connection) { remote_server_ = connection; }
  ProviderConnection* RemoteServer() const { return remote_server_; }
  void SetProviderName(std::string name) { provider_name_ = std::move(name); }
  const std::string& ProviderName() const { return provider_name_; }
  ParamList& Params() { return params_; }

  // --- Fields ---
  // Declares a persistent field; only while closed. A dataset with persistent fields has
  // exactly those; opening checks each against the provider's field of the same name.
  Field& AddField(FieldDef def);
  int FieldCount() const { return static_cast<int>(fields_.size()); }
  Field& Fields(int index);
  Field* FindField(std::string_view name) const;
  Field& FieldByName(std::string_view name) const;  // throws "Field 'X' not found"

  // --- Open and close ---
  bool Active() const { return state_ != DataSetState::Inactive; }
  void SetActive(bool active);
  // Fetches all rows from the provider, sending Params. Errors are thrown; the dataset
  // then stays closed.
  void Open();
  // Drops all rows and any unsent changes. Fields that came from the provider go too.
  void Close();
  // Opens an empty dataset on the persistent fields, without a provider.
  void CreateDataSet();
  // Opens on the fields and rows of a decoded data packet, without a provider.
  void LoadFromPacket(DataPacket packet);
  DataSetState State() const { return state_; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool read_only) { read_only_ = read_only; }

  // --- Navigation (a pending edit or insert is posted first, or cancelled if untouched) ---
  void First();
  void Next();
  void Prior();
  void Last();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty() const { return view_.empty(); }
  int RecordCount() const { return static_cast<int>(view_.size()); }
  int RecNo() const { return cursor_ + 1; }  // 1-based position of the current row; 0: none
  // 0-based position of the current row in the view; -1 when there is none.
  int CurrentRow() const { return cursor_; }
  void SetRecNo(int rec_no);

  // --- Editing ---
  void Insert();  // a new row before the current one
  void Append();  // a new row at the end
  void Edit();    // on an empty dataset this inserts
  void Post();
  void Cancel();
  void Delete();

  // --- Filter and order ---
  const std::string& Filter() const { return filter_text_; }
  // Throws FilterError (with the position) for a text that does not parse; the previous
  // filter then stays.
  void SetFilter(std::string text);
  bool Filtered() const { return filtered_; }
  void SetFiltered(bool filtered);
  const std::string& IndexFieldNames() const { return index_field_names_; }
  // "A" or "A;B": stable ascending order. Posts a pending insert or edit first.
  void SetIndexFieldNames(std::string names);

  // Makes the first row, in the current order and under the current filter, whose fields
  // (one name or several separated by ';') equal the values the current row. No match
  // leaves the current row. Values are converted to the fields' types.
  bool Locate(std::string_view key_fields, std::span<const Value> values,
              LocateOptions options = LocateOptions::None);
  bool Locate(std::string_view key_fields, const Value& value,
              LocateOptions options = LocateOptions::None) {
    return Locate(key_fields, std::span<const Value>(&value, 1), options);
  }

  // --- Change log ---
  int ChangeCount() const { return log_.Count(); }
  // The unsent changes as a delta, in the order they were first made.
  Delta GetDelta() const;
  // Sends the change log; returns the number of refused rows. Refused rows stay in the log
  // unless OnReconcileError drops them; accepted rows leave it.
  int ApplyUpdates(int max_errors);
  // Drops a pending edit or insert and every unsent change.
  void CancelUpdates();
  // Re-reads every row and keeps the current row by its key where it still exists.
  // Refused while the change log holds changes; the error then names the reasons the
  // provider gave for rows it refused.
  void Refresh();
  void SetOnReconcileError(ReconcileErrorEvent handler) {
    on_reconcile_error_ = std::move(handler);
  }
  const ReconcileErrorEvent& OnReconcileError() const { return on_reconcile_error_; }

  // --- Views ---
  // Holds back data-change events until the matching EnableControls, which then sends
  // one. Calls nest.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return controls_disabled_ > 0; }
  // The value at a row of the current view (0-based), as a grid shows it.
  const Value& ValueAt(int row, int field) const;
  // The pending change of a row of the current view (0-based): a row being inserted
  // counts as inserted; an edit counts once it is posted. Deleted rows leave the view.
  UpdateStatus RowStatus(int row) const;

 private:
  friend class Field;
  friend class DataSource;

  using Record = StoredRow;
  struct LocateIndex;

  void CheckActive() const;
  void CheckBrowseMode();
  void CheckWritable() const;
  Record* Current() const;
  // A new, empty record for Insert and Append, and the insert state around it.
  std::unique_ptr<Record> NewRecord();
  // Enters the insert state on `record`, which sits at the cursor, and reports it.
  void BeginInsert(Record* record);
  // Sends `changes` to every source's change handler, then calls each source's data-change
  // handler once (with `field` for a change of one value).
  void Notify(std::span<const DataChange> changes, Field* field = nullptr);
  void Notify(std::initializer_list<DataChange> changes, Field* field = nullptr) {
    Notify(std::span<const DataChange>(changes.begin(), changes.size()), field);
  }
  // Appends the changes that turn `before` into the view when only `row` changed its
  // place (or left the view: `row` may be gone), with RowChanged for where it is now; a
  // data reset when more than that changed.
  void DescribeRowChange(const std::vector<Record*>& before, const Record* row,
                         std::vector<DataChange>& out) const;
  // Appends CursorMoved when the current row is not `before` at `before_pos` any more.
  void DescribeCursor(const Record* before, int before_pos, std::vector<DataChange>& out) const;
  void MoveTo(int position);

  void Reset();
  void BindFilterAndIndex();
  // Resolves the field names of `expression`; throws for an unknown field.
  void BindFilter(FilterExpression& expression);
  std::vector<std::size_t> ParseFieldList(std::string_view names) const;
  // Recomputes the visible rows; the cursor stays on `keep` when it is visible, else goes
  // to `fallback`, clamped.
  void RebuildView(const Record* keep, int fallback);
  bool Visible(const Record& r) const;
  bool IndexLess(const Record& a, const Record& b) const;
  void ClearLocateIndexes();
  void IndexAdd(Record* r);
  void IndexRemove(Record* r);
  bool ViewDependsOn(const std::vector<bool>& changed) const;

  void WriteField(Field& field, Value value);
  const Value& ReadField(const Field& field) const;
  std::vector<Value> KeyOf(const Record& r) const;
  Record* FindByKey(const std::vector<Value>& key) const;

  ProviderConnection* remote_server_ = nullptr;
  std::string provider_name_;
  ParamList params_;

  std::vector<std::unique_ptr<Field>> fields_;
  std::size_t persistent_fields_ = 0;

  DataSetState state_ = DataSetState::Inactive;
  bool read_only_ = false;

  RowList records_;            // every live row, in natural order
  std::vector<Record*> view_;  // the visible rows, in current order
  int cursor_ = -1;
  bool eof_ = true;
  bool bof_ = true;
  std::uint64_t next_id_ = 1;

  std::vector<Value> buffer_;  // pending values while editing or inserting
  bool modified_ = false;
  Record* inserting_ = nullptr;

  std::string filter_text_;
  FilterExpression filter_;
  bool filtered_ = false;
  bool filter_bound_ = false;
  std::vector<bool> filter_fields_;
  std::string index_field_names_;
  std::vector<std::size_t> index_fields_;

  ChangeLog log_;
  std::vector<std::unique_ptr<LocateIndex>> locate_indexes_;

  ReconcileErrorEvent on_reconcile_error_;
  std::vector<DataSource*> sources_;
  int controls_disabled_ = 0;
  bool held_change_ = false;
};

// Connects views to a dataset. OnDataChange is called once for every change of the
// current row, of a field value, of the state or of the rows (`field` is the changed field
// for a change of one value, else null); OnChange hears the same operations in detail,
// as DataChange says, before OnDataChange. Handlers can be set and cleared (set an empty
// function) at any time, also from inside a handler.
class DataSource {
 public:
  using DataChangeEvent = std::function<void(DataSource& sender, Field* field)>;
  using ChangeEvent = std::function<void(DataSource& sender, const DataChange& change)>;

  explicit DataSource(ClientDataSet* dataset = nullptr);
  ~DataSource();
  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;

  ClientDataSet* DataSet() const { return dataset_; }
  void SetDataSet(ClientDataSet* dataset);
  void SetOnDataChange(DataChangeEvent handler) { on_data_change_ = std::move(handler); }
  const DataChangeEvent& OnDataChange() const { return on_data_change_; }
  void SetOnChange(ChangeEvent handler) { on_change_ = std::move(handler); }
  const ChangeEvent& OnChange() const { return on_change_; }

 private:
  friend class ClientDataSet;
  ClientDataSet* dataset_ = nullptr;
  DataChangeEvent on_data_change_;
  ChangeEvent on_change_;
};

}  // namespace tovra::dataset
