#include "controllers/result_message.h"

#include <string>

#include "db/driver_error.h"
#include "framework/error_log.h"
#include "serialize/dataset_error.h"

namespace norvessa {

JsonValue ResultObject(std::string_view key, std::string_view text) {
  return JsonValue::Object().AddPair(std::string(key),
                                     JsonValue::String(std::string(text)));
}

JsonValue ResultArray(std::string_view key, std::string_view text) {
  return JsonValue::Array()
      .Add(JsonValue::String(std::string(key)))
      .Add(JsonValue::String(std::string(text)));
}

void LogGuardedFailure(const ApiRequest& request) {
  std::string message = "unknown error";
  try {
    throw;
  } catch (const InputError&) {
    return;  // a key the body lacks, a value that is not a number: the
             // client's matter
  } catch (const DatabaseUnavailable&) {
    return;  // the outage was told once, when it began
  } catch (const std::exception& e) {
    message = e.what();
  } catch (...) {
  }
  const RawRequest& raw = request.RawWebRequest();
  LogCause(raw.method, raw.raw_path, message);
}

}  // namespace norvessa
