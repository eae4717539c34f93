#ifndef NORVESSA_SERIALIZE_DATASET_JSON_CONFIG_H_
#define NORVESSA_SERIALIZE_DATASET_JSON_CONFIG_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvessa {

enum class CaseNameDefinition {
  kNone,
  kLower,
  kUpper,
  kLowerCamelCase,
  kUpperCamelCase,
};

// The JSON conversion settings, one for the process. The service never
// changes them, so the defaults are what clients see.
struct DataSetJsonConfig {
  struct ExportSettings {
    bool export_null_values = true;
    bool export_null_as_empty_string = false;
    bool export_only_fields_visible = true;
    bool export_empty_dataset = false;
    std::string format_currency;
    std::string format_date = "YYYY-MM-DD";
    std::string format_time = "hh:nn:ss.zzz";
    std::string format_date_time = "yyyy-mm-dd hh:nn:ss.zzz";
    bool export_child_dataset_as_json_object = false;
  };
  struct ImportSettings {
    bool import_only_fields_visible = true;
    std::optional<char> decimal_separator;
  };

  CaseNameDefinition case_name_definition = CaseNameDefinition::kLowerCamelCase;
  std::vector<std::string> dataset_prefix = {"mt", "qry"};
  bool date_input_is_utc = true;
  bool date_is_floating_point = false;
  ExportSettings export_settings;
  ImportSettings import_settings;

  // Created once, on first use, by whichever thread comes first; read-only
  // afterwards.
  static const DataSetJsonConfig& GetInstance();
};

// The key of a field name: IdUsuario -> idusuario, ID_CIDADE -> idCidade,
// VALOR__TOTAL -> valor_total.
std::string FormatCaseNameDefinition(std::string_view name);
// The key of a detail table: its name without the first matching prefix of
// the settings ("mt", "qry"), then as above: mtPedidoItens -> pedidoitens.
std::string FormatDataSetName(std::string_view name);
// The field name invented for a JSON key: usuario -> USUARIO,
// idCidade -> ID_CIDADE.
std::string JSONPairToFieldName(std::string_view key);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_DATASET_JSON_CONFIG_H_
