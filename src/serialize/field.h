#ifndef NORVESSA_SERIALIZE_FIELD_H_
#define NORVESSA_SERIALIZE_FIELD_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "serialize/field_type.h"
#include "text/date_time.h"

namespace norvessa {

class DataSet;

// One value of a row: null, text (also the bytes of a large object), an
// integer, a double, a boolean or a date-time. The field's type says which.
using FieldValue = std::variant<std::monostate, std::string, std::int64_t,
                                double, bool, DateTime>;

// A column of a dataset, read and written on the dataset's current row.
class Field {
 public:
  Field(DataSet& dataset, std::size_t index, std::string name, FieldType type,
        int size);
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;

  const std::string& FieldName() const { return name_; }
  FieldType DataType() const { return type_; }
  FieldKind Kind() const { return KindOf(type_); }
  // Text fields: the most characters kept (0: no limit).
  int Size() const { return size_; }
  std::size_t Index() const { return index_; }
  DataSet& Owner() const { return dataset_; }

  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }
  bool ReadOnly() const { return read_only_; }
  void SetReadOnly(bool read_only) { read_only_ = read_only; }

  const FieldValue& Value() const;
  bool IsNull() const;

  // Reads with the conversions of the dataset layer; null reads as "" or 0
  // where the kind allows the read at all.
  std::string AsString() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeInt() const;
  double AsFloat() const;
  DateTime AsDateTime() const;
  bool AsBoolean() const;

  // Writes need the dataset in insert or edit state.
  void Clear();
  void SetAsString(std::string_view text);
  void SetAsInteger(std::int64_t value);
  void SetAsFloat(double value);
  void SetAsDateTime(DateTime value);
  void SetAsBoolean(bool value);
  // The bytes of a large object (or of raw bytes).
  void SetAsBytes(std::string bytes);

 private:
  [[noreturn]] void AccessError(std::string_view type_name) const;
  // A value that cannot be read as asked: InputError on a table of input,
  // else ConvertError.
  [[noreturn]] void Unreadable(std::string message) const;
  void Store(FieldValue value);
  std::string StoredText(std::string_view text) const;

  DataSet& dataset_;
  std::size_t index_;
  std::string name_;
  FieldType type_;
  int size_;
  bool visible_ = true;
  bool read_only_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_FIELD_H_
