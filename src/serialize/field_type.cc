#include "serialize/field_type.h"

namespace norvessa {

FieldKind KindOf(FieldType type) {
  switch (type) {
    case FieldType::kString:
    case FieldType::kWideString:
    case FieldType::kFixedChar:
    case FieldType::kFixedWideChar:
    case FieldType::kMemo:
    case FieldType::kWideMemo:
    case FieldType::kGuid:
      return FieldKind::kText;
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kShortint:
    case FieldType::kByte:
    case FieldType::kLongWord:
    case FieldType::kAutoInc:
    case FieldType::kLargeint:
      return FieldKind::kInteger;
    case FieldType::kFloat:
    case FieldType::kSingle:
    case FieldType::kExtended:
    case FieldType::kCurrency:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
      return FieldKind::kDecimal;
    case FieldType::kBoolean:
      return FieldKind::kBoolean;
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return FieldKind::kDateTime;
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream:
      return FieldKind::kLargeObject;
    case FieldType::kDataSet:
      return FieldKind::kNestedTable;
    case FieldType::kUnknown:
    case FieldType::kVarBytes:
      break;
  }
  return FieldKind::kOther;
}

std::string_view FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::kUnknown:
      return "ftUnknown";
    case FieldType::kString:
      return "ftString";
    case FieldType::kWideString:
      return "ftWideString";
    case FieldType::kFixedChar:
      return "ftFixedChar";
    case FieldType::kFixedWideChar:
      return "ftFixedWideChar";
    case FieldType::kMemo:
      return "ftMemo";
    case FieldType::kWideMemo:
      return "ftWideMemo";
    case FieldType::kGuid:
      return "ftGuid";
    case FieldType::kSmallint:
      return "ftSmallint";
    case FieldType::kInteger:
      return "ftInteger";
    case FieldType::kWord:
      return "ftWord";
    case FieldType::kShortint:
      return "ftShortint";
    case FieldType::kByte:
      return "ftByte";
    case FieldType::kLongWord:
      return "ftLongWord";
    case FieldType::kAutoInc:
      return "ftAutoInc";
    case FieldType::kLargeint:
      return "ftLargeint";
    case FieldType::kFloat:
      return "ftFloat";
    case FieldType::kSingle:
      return "ftSingle";
    case FieldType::kExtended:
      return "ftExtended";
    case FieldType::kCurrency:
      return "ftCurrency";
    case FieldType::kBCD:
      return "ftBCD";
    case FieldType::kFMTBcd:
      return "ftFMTBcd";
    case FieldType::kBoolean:
      return "ftBoolean";
    case FieldType::kDate:
      return "ftDate";
    case FieldType::kTime:
      return "ftTime";
    case FieldType::kDateTime:
      return "ftDateTime";
    case FieldType::kTimeStamp:
      return "ftTimeStamp";
    case FieldType::kBlob:
      return "ftBlob";
    case FieldType::kGraphic:
      return "ftGraphic";
    case FieldType::kOraBlob:
      return "ftOraBlob";
    case FieldType::kStream:
      return "ftStream";
    case FieldType::kDataSet:
      return "ftDataSet";
    case FieldType::kVarBytes:
      return "ftVarBytes";
  }
  return "ftUnknown";
}

}  // namespace norvessa
