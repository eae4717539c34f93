#include "serialize/dataset.h"

#include <algorithm>

#include "serialize/dataset_error.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

const FieldValue kNull;

}  // namespace

DataSet::DataSet(std::string name) : name_(std::move(name)) {}

DataSet::~DataSet() {
  for (DataSet* detail : details_) detail->MasterDestroyed();
}

void DataSet::Close() {
  state_ = DataSetState::kInactive;
  rows_.clear();
  view_.clear();
  buffer_.clear();
  cursor_ = 0;
  eof_ = true;
  NotifyDetails();
}

Field* DataSet::FindField(std::string_view name) const {
  const auto it = by_name_.find(AsciiLower(name));
  return it == by_name_.end() ? nullptr : it->second;
}

Field& DataSet::FieldByName(std::string_view name) const {
  if (Field* f = FindField(name)) return *f;
  if (input_) throw InputError("Field '" + std::string(name) + "' not found");
  throw DataSetError("Field '" + std::string(name) + "' not found");
}

void DataSet::CheckActive() const {
  if (!Active()) {
    throw DataSetError("Cannot perform this operation on a closed dataset");
  }
}

void DataSet::First() {
  CheckActive();
  if (unidirectional_ && !view_.empty() && (cursor_ > 0 || eof_)) {
    throw DataSetError("Operation not allowed on a unidirectional dataset");
  }
  cursor_ = 0;
  eof_ = view_.empty();
  NotifyDetails();
}

void DataSet::Next() {
  CheckActive();
  if (cursor_ + 1 < view_.size()) {
    ++cursor_;
    eof_ = false;
  } else {
    eof_ = true;
  }
  NotifyDetails();
}

DataSet::Bookmark DataSet::GetBookmark() const {
  const StoredRow* row = CurrentRow();
  if (row == nullptr) return std::nullopt;
  return row->id;
}

bool DataSet::BookmarkValid(const Bookmark& bookmark) const {
  if (unidirectional_ || !bookmark) return false;
  return std::any_of(view_.begin(), view_.end(),
                     [&](std::size_t i) { return rows_[i].id == *bookmark; });
}

void DataSet::GotoBookmark(const Bookmark& bookmark) {
  CheckActive();
  if (!BookmarkValid(bookmark) || !MoveToRow(*bookmark)) {
    throw DataSetError("Record not found");
  }
  NotifyDetails();
}

Field& DataSet::AddField(std::string name, FieldType type, int size) {
  fields_.push_back(std::make_unique<Field>(*this, fields_.size(),
                                            std::move(name), type, size));
  Field& added = *fields_.back();
  by_name_.emplace(AsciiLower(added.FieldName()), &added);
  return added;
}

void DataSet::ClearFields() {
  by_name_.clear();
  fields_.clear();
}

void DataSet::OpenRows() {
  state_ = DataSetState::kBrowse;
  RefreshView();
  cursor_ = 0;
  eof_ = view_.empty();
  NotifyDetails();
}

void DataSet::AppendStoredRow(Row values) {
  values.resize(fields_.size());
  rows_.push_back(StoredRow{NextRowId(), std::move(values)});
}

void DataSet::RefreshView() {
  view_.resize(rows_.size());
  for (std::size_t i = 0; i < rows_.size(); ++i) view_[i] = i;
}

void DataSet::NotifyDetails() {
  for (DataSet* detail : details_) detail->MasterChanged();
}

void DataSet::AddDetail(DataSet* detail) {
  if (std::find(details_.begin(), details_.end(), detail) == details_.end()) {
    details_.push_back(detail);
  }
}

void DataSet::RemoveDetail(DataSet* detail) {
  details_.erase(std::remove(details_.begin(), details_.end(), detail),
                 details_.end());
}

DataSet::StoredRow* DataSet::CurrentRow() {
  if (cursor_ >= view_.size()) return nullptr;
  return &rows_[view_[cursor_]];
}

const DataSet::StoredRow* DataSet::CurrentRow() const {
  if (cursor_ >= view_.size()) return nullptr;
  return &rows_[view_[cursor_]];
}

bool DataSet::MoveToRow(std::uint64_t id) {
  for (std::size_t pos = 0; pos < view_.size(); ++pos) {
    if (rows_[view_[pos]].id == id) {
      cursor_ = pos;
      eof_ = false;
      return true;
    }
  }
  return false;
}

const FieldValue& DataSet::ValueAt(std::size_t index) const {
  if (state_ == DataSetState::kInsert || state_ == DataSetState::kEdit) {
    return index < buffer_.size() ? buffer_[index] : kNull;
  }
  const StoredRow* row = CurrentRow();
  if (row == nullptr || index >= row->values.size()) return kNull;
  return row->values[index];
}

void DataSet::SetValueAt(std::size_t index, FieldValue value) {
  if (state_ != DataSetState::kInsert && state_ != DataSetState::kEdit) {
    throw DataSetError("Dataset not in edit or insert mode");
  }
  if (buffer_.size() < fields_.size()) buffer_.resize(fields_.size());
  buffer_[index] = std::move(value);
}

}  // namespace norvessa
