#ifndef NORVESSA_SERIALIZE_FIELD_TYPE_H_
#define NORVESSA_SERIALIZE_FIELD_TYPE_H_

#include <string_view>

namespace norvessa {

// The field types that occur in the service.
enum class FieldType {
  kUnknown,
  // text
  kString,
  kWideString,
  kFixedChar,
  kFixedWideChar,
  kMemo,
  kWideMemo,
  kGuid,
  // integer
  kSmallint,
  kInteger,
  kWord,
  kShortint,
  kByte,
  kLongWord,
  kAutoInc,
  kLargeint,
  // decimal
  kFloat,
  kSingle,
  kExtended,
  kCurrency,
  kBCD,
  kFMTBcd,
  // boolean
  kBoolean,
  // date and time
  kDate,
  kTime,
  kDateTime,
  kTimeStamp,
  // large object
  kBlob,
  kGraphic,
  kOraBlob,
  kStream,
  // nested table
  kDataSet,
  // raw bytes, which neither export nor import knows
  kVarBytes,
};

enum class FieldKind {
  kText,
  kInteger,
  kDecimal,
  kBoolean,
  kDateTime,
  kLargeObject,
  kNestedTable,
  kOther,
};

FieldKind KindOf(FieldType type);
// "ftString", "ftInteger", ...
std::string_view FieldTypeName(FieldType type);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_FIELD_TYPE_H_
