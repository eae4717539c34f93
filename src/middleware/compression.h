#ifndef NORVESSA_MIDDLEWARE_COMPRESSION_H_
#define NORVESSA_MIDDLEWARE_COMPRESSION_H_

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "framework/api_callback.h"

namespace norvessa {

enum class CompressionType { kDeflate, kGzip };

// "deflate" or "gzip": the Accept-Encoding token and the Content-Encoding.
std::string_view ToString(CompressionType type);
// zlib window bits: -15 (raw deflate) or 31 (gzip wrapper).
int WindowBits(CompressionType type);

class CompressionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// zlib at level 9, memory level 8, default strategy, fed in pieces of at
// most 1 MiB.
std::string Compress(std::string_view data, CompressionType type);

// What the middleware did since the start: answers compressed, and how
// often the recently compressed answers had the text already.
struct CompressionCounts {
  std::uint64_t compressed = 0;
  std::uint64_t cache_hits = 0;
  std::uint64_t cache_misses = 0;
};
CompressionCounts CompressionCounters();

// Sets the process-wide threshold and returns the middleware.
ApiCallback Compression(int threshold);

// After the chain: a JSON content object is written as JSON text into the
// content stream and, when longer than the threshold and the client
// accepts deflate (preferred) or gzip, compressed with Content-Encoding
// set. Text answers are never compressed.
void CompressionMiddleware(ApiRequest& request, ApiResponse& response,
                           const std::function<void()>& next);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_COMPRESSION_H_
