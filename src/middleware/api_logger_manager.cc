#include "middleware/api_logger_manager.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "middleware/log_entry.h"

namespace norvessa {
namespace {

std::atomic<ApiLoggerManager*> g_default{nullptr};
std::once_flag g_default_once;

}  // namespace

ApiLoggerManager::ApiLoggerManager(std::size_t capacity,
                                   std::size_t byte_capacity)
    : ApiLoggerThread(capacity, byte_capacity) {
  Start();
}

ApiLoggerManager::~ApiLoggerManager() { Shutdown(); }

void ApiLoggerManager::AddProvider(
    std::shared_ptr<ApiLoggerProvider> provider) {
  {
    std::lock_guard lock(providers_mutex_);
    keys_wanted_.store((KeysWanted() | provider->KeysRead()).to_ullong(),
                       std::memory_order_relaxed);
    providers_.push_back(std::move(provider));
  }
  // A manager shut down and set up again (a later start) runs again.
  Start();
}

void ApiLoggerManager::Shutdown() {
  Stop();
  std::vector<std::shared_ptr<ApiLoggerProvider>> providers;
  {
    std::lock_guard lock(providers_mutex_);
    providers.swap(providers_);
  }
  // Each provider's writer makes its last pass as it goes.
  providers.clear();
}

std::uint64_t ApiLoggerManager::DroppedEverywhere() {
  std::uint64_t total = DroppedTotal();
  std::lock_guard lock(providers_mutex_);
  for (const auto& provider : providers_) total += provider->DroppedTotal();
  return total;
}

std::uint64_t ApiLoggerManager::LostEverywhere() {
  std::uint64_t total = 0;
  std::lock_guard lock(providers_mutex_);
  for (const auto& provider : providers_) total += provider->LostTotal();
  return total;
}

void ApiLoggerManager::DispatchLogCache() {
  const std::vector<JsonValue> batch = ExtractLogCache();
  const std::uint64_t dropped = TakeDropped();
  std::vector<std::shared_ptr<ApiLoggerProvider>> providers;
  {
    std::lock_guard lock(providers_mutex_);
    providers = providers_;
  }
  for (const auto& provider : providers) {
    // One provider's failure neither ends the thread nor starves the others.
    try {
      if (dropped > 0) provider->ReportDropped(dropped);
      if (!batch.empty()) provider->DoReceiveLogCache(batch);
    } catch (const std::exception& e) {
      const std::string line =
          std::string("request log: a provider failed: ") + e.what() + "\n";
      const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
      (void)ignored;
    } catch (...) {
    }
  }
}

norvessa::ApiCallback ApiLoggerManager::Callback() {
  return [this](ApiRequest& req, ApiResponse& res,
                const std::function<void()>& next) {
    DefaultApiCallback(*this, req, res, next);
  };
}

void ApiLoggerManager::LogUnchained(const RawRequest& raw_request,
                                    const RawResponse& raw_response) {
  const LogTime now = LogTime::Now();
  RawResponse answer = raw_response;
  ApiRequest request(raw_request);
  ApiResponse response(answer);
  // A fresh response starts at 200; the entry shows the status answered.
  answer.status_code = raw_response.status_code;
  JsonValue entry;
  try {
    entry = BuildLogEntry(request, response, now, 0, KeysWanted());
  } catch (...) {
    entry = JsonValue::Object();
    entry.AddPair("time", JsonValue::String(FormatLogTime(now)));
  }
  NewLog(std::move(entry));
}

ApiLoggerManager& ApiLoggerManager::GetDefaultManager() {
  // Created once, whichever requests finish first; never destroyed by a
  // static destructor: the host's shutdown ends its thread.
  std::call_once(g_default_once,
                 [] { g_default.store(new ApiLoggerManager()); });
  return *g_default.load();
}

void ApiLoggerManager::RegisterProvider(
    std::shared_ptr<ApiLoggerProvider> provider) {
  GetDefaultManager().AddProvider(std::move(provider));
}

norvessa::ApiCallback ApiLoggerManager::ApiCallback() {
  return
      [](ApiRequest& req, ApiResponse& res, const std::function<void()>& next) {
        DefaultApiCallback(GetDefaultManager(), req, res, next);
      };
}

void ApiLoggerManager::ShutdownDefault() {
  if (ApiLoggerManager* manager = g_default.load()) manager->Shutdown();
}

void ApiLoggerManager::DefaultApiCallback(ApiLoggerManager& manager,
                                          ApiRequest& request,
                                          ApiResponse& response,
                                          const std::function<void()>& next) {
  const LogTime before = LogTime::Now();
  auto queue_entry = [&] {
    const LogTime after = LogTime::Now();
    const std::int64_t elapsed = std::llabs(after.epoch_ms - before.epoch_ms);
    JsonValue entry;
    try {
      entry = BuildLogEntry(request, response, before, elapsed,
                            manager.KeysWanted());
    } catch (...) {
      // The partial entry is queued all the same; the failure goes on.
      JsonValue partial = JsonValue::Object();
      partial.AddPair("time", JsonValue::String(FormatLogTime(before)));
      manager.NewLog(std::move(partial));
      throw;
    }
    manager.NewLog(std::move(entry));
  };
  try {
    next();
  } catch (...) {
    queue_entry();
    throw;
  }
  queue_entry();
}

}  // namespace norvessa
