#ifndef NORVESSA_SERIALIZE_DATASET_H_
#define NORVESSA_SERIALIZE_DATASET_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "serialize/field.h"

namespace norvessa {

enum class DataSetState { kInactive, kBrowse, kInsert, kEdit };

using Row = std::vector<FieldValue>;

// Rows with named, typed fields and a cursor on one current row. Query
// results (forward-only) and in-memory tables share it. Not safe for two
// threads at once.
class DataSet {
 public:
  // A remembered row.
  using Bookmark = std::optional<std::uint64_t>;

  explicit DataSet(std::string name = {});
  virtual ~DataSet();
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  bool Active() const { return state_ != DataSetState::kInactive; }
  DataSetState State() const { return state_; }
  void Close();

  // Names match without regard to letter case. FieldByName fails with
  // "Field 'x' not found"; FindField returns nullptr.
  Field& FieldByName(std::string_view name) const;
  Field* FindField(std::string_view name) const;
  const std::vector<std::unique_ptr<Field>>& Fields() const { return fields_; }

  // The cursor. Eof turns true when Next moves past the last row; the
  // current row then stays the last one.
  void First();
  void Next();
  bool Eof() const { return eof_; }
  // No current row at all.
  bool IsEmpty() const { return view_.empty(); }
  int RecordCount() const { return static_cast<int>(view_.size()); }
  // A query result moves forward only.
  bool IsUnidirectional() const { return unidirectional_; }

  // The rows came from outside the service (a request's body): a field that
  // is not there and a value that cannot be read as asked are InputError,
  // not a misuse of the dataset.
  void MarkAsInput() { input_ = true; }
  bool HoldsInput() const { return input_; }

  // A forward-only dataset reports every remembered row as invalid.
  Bookmark GetBookmark() const;
  bool BookmarkValid(const Bookmark& bookmark) const;
  void GotoBookmark(const Bookmark& bookmark);

  // The detail tables linked to this one, in the order the links were made.
  const std::vector<DataSet*>& Details() const { return details_; }
  // Called by a detail table when it links to this one or lets go.
  void AddDetail(DataSet* detail);
  void RemoveDetail(DataSet* detail);

 protected:
  struct StoredRow {
    std::uint64_t id;
    Row values;
  };

  Field& AddField(std::string name, FieldType type, int size);
  void ClearFields();
  void SetUnidirectional(bool value) { unidirectional_ = value; }
  void CheckActive() const;
  // Browse state, cursor on the first row.
  void OpenRows();
  void AppendStoredRow(Row values);
  std::uint64_t NextRowId() { return ++next_row_id_; }

  // Recomputes which stored rows the cursor walks, and in which order;
  // all of them, as stored, unless a subclass filters them.
  virtual void RefreshView();
  // Called on a detail after every move of its master's cursor.
  virtual void MasterChanged() {}
  // Called on a detail when its master goes away.
  virtual void MasterDestroyed() {}
  void NotifyDetails();
  // Stored rows in view order; the row under the cursor.
  StoredRow* CurrentRow();
  const StoredRow* CurrentRow() const;
  // Puts the cursor on the row with that id if it is in view.
  bool MoveToRow(std::uint64_t id);

  std::vector<StoredRow> rows_;
  std::vector<std::size_t> view_;  // indexes into rows_
  std::size_t cursor_ = 0;         // position in view_
  bool eof_ = true;
  DataSetState state_ = DataSetState::kInactive;
  Row buffer_;  // the row being inserted or edited

 private:
  friend class Field;
  const FieldValue& ValueAt(std::size_t index) const;
  void SetValueAt(std::size_t index, FieldValue value);

  std::string name_;
  std::vector<std::unique_ptr<Field>> fields_;
  // The first field of each name, by its name in lower case: a dataset of
  // many columns is built and read without a search per name.
  std::unordered_map<std::string, Field*> by_name_;
  std::vector<DataSet*> details_;
  bool unidirectional_ = false;
  bool input_ = false;
  std::uint64_t next_row_id_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_DATASET_H_
