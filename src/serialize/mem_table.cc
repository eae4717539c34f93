#include "serialize/mem_table.h"

#include <algorithm>
#include <utility>

#include "serialize/dataset_error.h"

namespace norvessa {
namespace {

std::vector<std::string> SplitNames(const std::string& names) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= names.size()) {
    std::size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    std::string name = names.substr(start, end - start);
    if (!name.empty()) out.push_back(std::move(name));
    start = end + 1;
  }
  return out;
}

// Null sorts first; numbers compare by value across integer and double.
int Compare(const FieldValue& a, const FieldValue& b) {
  const bool a_null = std::holds_alternative<std::monostate>(a);
  const bool b_null = std::holds_alternative<std::monostate>(b);
  if (a_null || b_null) return a_null == b_null ? 0 : (a_null ? -1 : 1);
  auto number = [](const FieldValue& v, double& out) {
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
      out = static_cast<double>(*i);
      return true;
    }
    if (const auto* d = std::get_if<double>(&v)) {
      out = *d;
      return true;
    }
    return false;
  };
  double x = 0, y = 0;
  if (number(a, x) && number(b, y)) return x < y ? -1 : (x > y ? 1 : 0);
  if (a.index() != b.index()) return a.index() < b.index() ? -1 : 1;
  if (a < b) return -1;
  if (b < a) return 1;
  return 0;
}

}  // namespace

MemTable::MemTable(std::string name) : DataSet(std::move(name)) {}

MemTable::~MemTable() {
  if (master_ != nullptr) master_->RemoveDetail(this);
}

void MemTable::AddFieldDef(std::string name, FieldType type, int size) {
  field_defs_.push_back(FieldDef{std::move(name), type, size});
}

void MemTable::Open() {
  if (Fields().empty()) {
    for (const FieldDef& def : field_defs_) {
      AddField(def.name, def.type, def.size);
    }
  }
  rows_.clear();
  buffer_.clear();
  ForgetIndex();
  OpenRows();
}

void MemTable::EmptyDataSet() {
  CheckActive();
  rows_.clear();
  buffer_.clear();
  ForgetIndex();
  OpenRows();
}

void MemTable::CheckBrowse() {
  CheckActive();
  if (State() == DataSetState::kInsert || State() == DataSetState::kEdit) {
    Post();
  }
}

void MemTable::Append() {
  CheckBrowse();
  buffer_.assign(Fields().size(), FieldValue{});
  state_ = DataSetState::kInsert;
  // A detail row starts with the master's key, as the link requires.
  if (master_ != nullptr) {
    for (std::size_t i = 0;
         i < master_fields_.size() && i < detail_fields_.size(); ++i) {
      const Field* detail = FindField(detail_fields_[i]);
      const Field* master = master_->FindField(master_fields_[i]);
      if (detail != nullptr && master != nullptr) {
        buffer_[detail->Index()] = master->Value();
      }
    }
  }
  NotifyDetails();
}

void MemTable::Edit() {
  CheckBrowse();
  const StoredRow* row = CurrentRow();
  if (row == nullptr) return Append();
  buffer_ = row->values;
  state_ = DataSetState::kEdit;
}

void MemTable::Post() {
  CheckActive();
  std::uint64_t id = 0;
  const bool inserting = State() == DataSetState::kInsert;
  if (inserting) {
    id = NextRowId();
    buffer_.resize(Fields().size());
    rows_.push_back(StoredRow{id, std::move(buffer_)});
    if (index_built_) IndexRow(rows_.size() - 1);
  } else if (State() == DataSetState::kEdit) {
    StoredRow* row = CurrentRow();
    if (row == nullptr) throw DataSetError("Record not found");
    id = row->id;
    row->values = std::move(buffer_);
    ForgetIndex();
  } else {
    return;
  }
  buffer_.clear();
  state_ = DataSetState::kBrowse;
  if (inserting && !Linked() && index_fields_.empty()) {
    // A plain table: the new row is simply the last one.
    view_.push_back(rows_.size() - 1);
    cursor_ = view_.size() - 1;
    eof_ = false;
  } else {
    RefreshView();
    if (!MoveToRow(id)) {
      cursor_ = view_.empty() ? 0 : view_.size() - 1;
      eof_ = view_.empty();
    }
  }
  NotifyDetails();
}

void MemTable::Cancel() {
  if (State() != DataSetState::kInsert && State() != DataSetState::kEdit) {
    return;
  }
  buffer_.clear();
  state_ = DataSetState::kBrowse;
  NotifyDetails();
}

void MemTable::Delete() {
  CheckActive();
  if (State() == DataSetState::kInsert) return Cancel();
  if (State() == DataSetState::kEdit) Cancel();
  const StoredRow* row = CurrentRow();
  if (row == nullptr) {
    throw DataSetError("Cannot perform this operation on an empty dataset");
  }
  const std::size_t stored = view_[cursor_];
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(stored));
  ForgetIndex();
  const std::size_t position = cursor_;
  RefreshView();
  cursor_ = view_.empty() ? 0 : std::min(position, view_.size() - 1);
  eof_ = view_.empty();
  NotifyDetails();
}

void MemTable::SetMasterSource(DataSet* master) {
  ForgetIndex();
  if (master_ != nullptr) master_->RemoveDetail(this);
  master_ = master;
  if (master_ != nullptr) master_->AddDetail(this);
  MasterChanged();
}

void MemTable::SetMasterFields(std::string master_fields) {
  master_fields_ = SplitNames(master_fields);
  ForgetIndex();
  MasterChanged();
}

void MemTable::SetDetailFields(std::string detail_fields) {
  detail_fields_ = SplitNames(detail_fields);
  ForgetIndex();
  MasterChanged();
}

void MemTable::SetIndexFieldNames(std::string index_fields) {
  index_fields_ = SplitNames(index_fields);
  ForgetIndex();
  MasterChanged();
}

bool MemTable::KeyLess::operator()(const Row& a, const Row& b) const {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    const int c = Compare(a[i], b[i]);
    if (c != 0) return c < 0;
  }
  return a.size() < b.size();
}

bool MemTable::Linked() const {
  return master_ != nullptr && !master_fields_.empty();
}

Row MemTable::DetailKey(const Row& values) const {
  Row key;
  for (const std::string& name : detail_fields_) {
    const Field* f = FindField(name);
    key.push_back(f != nullptr ? values[f->Index()] : FieldValue{});
  }
  return key;
}

void MemTable::IndexRow(std::size_t stored) {
  std::vector<std::size_t>& rows = index_[DetailKey(rows_[stored].values)];
  std::vector<std::size_t> order;
  for (const std::string& name : index_fields_) {
    if (const Field* f = FindField(name)) order.push_back(f->Index());
  }
  const auto before = [&](std::size_t a, std::size_t b) {
    for (std::size_t k : order) {
      const int c = Compare(rows_[a].values[k], rows_[b].values[k]);
      if (c != 0) return c < 0;
    }
    return false;
  };
  rows.insert(std::upper_bound(rows.begin(), rows.end(), stored, before),
              stored);
}

void MemTable::RebuildIndex() {
  index_.clear();
  index_built_ = true;
  for (std::size_t i = 0; i < rows_.size(); ++i) IndexRow(i);
}

void MemTable::RefreshView() {
  view_.clear();
  if (Linked()) {
    if (!master_->Active()) return;
    if (!index_built_) RebuildIndex();
    Row key;
    for (const std::string& name : master_fields_) {
      const Field* f = master_->FindField(name);
      if (f == nullptr || f->IsNull()) return;
      key.push_back(f->Value());
    }
    key.resize(detail_fields_.size());
    const auto it = index_.find(key);
    if (it != index_.end()) view_ = it->second;
    return;
  }
  view_.resize(rows_.size());
  for (std::size_t i = 0; i < rows_.size(); ++i) view_[i] = i;
  std::vector<std::size_t> order;
  for (const std::string& name : index_fields_) {
    if (const Field* f = FindField(name)) order.push_back(f->Index());
  }
  if (!order.empty()) {
    std::stable_sort(
        view_.begin(), view_.end(), [&](std::size_t a, std::size_t b) {
          for (std::size_t k : order) {
            const int c = Compare(rows_[a].values[k], rows_[b].values[k]);
            if (c != 0) return c < 0;
          }
          return false;
        });
  }
}

void MemTable::MasterChanged() {
  if (!Active()) return;
  if (State() == DataSetState::kInsert || State() == DataSetState::kEdit) {
    return;  // the row being filled keeps its place until it is posted
  }
  RefreshView();
  cursor_ = 0;
  eof_ = view_.empty();
  NotifyDetails();
}

void MemTable::MasterDestroyed() {
  master_ = nullptr;
  MasterChanged();
}

}  // namespace norvessa
