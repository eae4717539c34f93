#ifndef NORVESSA_MIDDLEWARE_API_LOGGER_MANAGER_H_
#define NORVESSA_MIDDLEWARE_API_LOGGER_MANAGER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "framework/api_callback.h"
#include "framework/raw_http.h"
#include "json/json_value.h"
#include "middleware/api_logger_thread.h"
#include "middleware/log_entry.h"

namespace norvessa {

// Receives the request log in batches, on the manager's thread.
class ApiLoggerProvider {
 public:
  virtual ~ApiLoggerProvider() = default;
  // The batch stays the caller's; a provider that needs the entries later
  // copies them. Never waits for I/O: the manager's last pass, at stop,
  // must be quick.
  virtual void DoReceiveLogCache(const std::vector<JsonValue>& batch) = 0;
  // Entries the manager had to drop before they reached this provider.
  virtual void ReportDropped(std::uint64_t) {}
  // The entry keys the provider reads; an entry carries only those that
  // some provider reads.
  virtual LogKeySet KeysRead() const { return kAllLogKeys; }
  // Entries this provider's own queue dropped since the start.
  virtual std::uint64_t DroppedTotal() const { return 0; }
  // Entries it took but could not write (a full disk, a missing folder),
  // since the start.
  virtual std::uint64_t LostTotal() const { return 0; }
};

// The request logger: the middleware queues one entry per exchange, and the
// manager's thread hands the entries in batches to the providers, in
// registration order. A request never waits for a provider.
class ApiLoggerManager : public ApiLoggerThread {
 public:
  explicit ApiLoggerManager(std::size_t capacity = kDefaultCapacity,
                            std::size_t byte_capacity = kDefaultByteCapacity);
  ~ApiLoggerManager() override;

  void AddProvider(std::shared_ptr<ApiLoggerProvider> provider);
  // The keys some provider reads: the entries carry these (none while no
  // provider is registered).
  LogKeySet KeysWanted() const {
    return LogKeySet(keys_wanted_.load(std::memory_order_relaxed));
  }

  // The logging middleware, queuing on this manager.
  norvessa::ApiCallback Callback();
  // Queues the entry of an exchange that never went through the chain
  // (the server turned it away itself): the same 40 pairs, the answer as
  // it was given, taking no time.
  void LogUnchained(const RawRequest& request, const RawResponse& response);
  // Entries dropped by a full queue since the start: the manager's and
  // every provider's.
  std::uint64_t DroppedEverywhere();
  // Entries the providers took but could not write, since the start.
  std::uint64_t LostEverywhere();
  // Ends the thread after a last pass, then lets go of the providers,
  // whose own writers make their last passes. The manager's last pass takes
  // the queue once, so it hands on no more than the queue's bounds, to
  // providers that never wait for I/O: its time is that of a copy.
  void Shutdown();

  // The process-wide manager, created (with its thread) on first use.
  static ApiLoggerManager& GetDefaultManager();
  static void RegisterProvider(std::shared_ptr<ApiLoggerProvider> provider);
  static norvessa::ApiCallback ApiCallback();
  // Shuts the process-wide manager down, if it was ever created.
  static void ShutdownDefault();

  static void DefaultApiCallback(ApiLoggerManager& manager, ApiRequest& request,
                                 ApiResponse& response,
                                 const std::function<void()>& next);

 protected:
  void DispatchLogCache() override;

 private:
  std::mutex providers_mutex_;
  std::vector<std::shared_ptr<ApiLoggerProvider>> providers_;
  // LogKeySet's bits, read on every request without the lock.
  std::atomic<unsigned long long> keys_wanted_{0};
};

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_API_LOGGER_MANAGER_H_
