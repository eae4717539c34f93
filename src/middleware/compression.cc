#include "middleware/compression.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

constexpr std::size_t kPiece = 1024 * 1024;

std::atomic<int>& Threshold() {
  static std::atomic<int> threshold{1024};
  return threshold;
}

// One deflate stream, ended on every path.
class DeflateStream {
 public:
  explicit DeflateStream(int window_bits) {
    if (deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, window_bits, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK) {
      throw CompressionError("zlib: deflateInit2 failed");
    }
  }
  ~DeflateStream() { deflateEnd(&stream_); }
  DeflateStream(const DeflateStream&) = delete;
  DeflateStream& operator=(const DeflateStream&) = delete;

  // Starts a new stream with the same settings, keeping the buffers.
  void Reset() {
    if (deflateReset(&stream_) != Z_OK) {
      throw CompressionError("zlib: deflateReset failed");
    }
  }

  // Feeds one piece; `last` finishes the stream.
  void Feed(std::string_view piece, bool last, std::string& out) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.data()));
    stream_.avail_in = static_cast<uInt>(piece.size());
    const int flush = last ? Z_FINISH : Z_NO_FLUSH;
    while (true) {
      const std::size_t used = out.size();
      const std::size_t room = std::max<std::size_t>(
          64 * 1024, deflateBound(&stream_, stream_.avail_in));
      out.resize(used + room);
      stream_.next_out = reinterpret_cast<Bytef*>(out.data() + used);
      stream_.avail_out = static_cast<uInt>(room);
      const int rc = deflate(&stream_, flush);
      out.resize(used + room - stream_.avail_out);
      if (rc == Z_STREAM_END) return;
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        throw CompressionError(std::string("zlib: ") +
                               (stream_.msg ? stream_.msg : "deflate failed"));
      }
      if (!last && stream_.avail_in == 0 && stream_.avail_out != 0) return;
    }
  }

 private:
  z_stream stream_{};
};

// The last answers compressed, by their exact text: lists such as users,
// states or groups, or the day's picking list, are asked for again and
// again, and level 9 costs more than everything else a request does. An
// entry is found by encoding, length and hash, then compared byte for byte:
// same text in, same bytes out.
class RecentlyCompressed {
 public:
  static constexpr std::size_t kEntries = 32;
  // Texts and compressed bytes kept, all entries together.
  static constexpr std::size_t kBudget = 64 * 1024 * 1024;
  static constexpr std::size_t kLargestText = 16 * 1024 * 1024;

  std::optional<std::string> Find(CompressionType type, std::string_view text,
                                  std::size_t hash) {
    if (text.size() > kLargestText) return std::nullopt;
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
      if (e.type == type && e.hash == hash && e.text == text) {
        e.last_use = ++uses_;
        return e.compressed;
      }
    }
    return std::nullopt;
  }

  void Add(CompressionType type, std::string text, std::size_t hash,
           const std::string& compressed) {
    if (text.size() > kLargestText) return;
    std::lock_guard lock(mutex_);
    for (const Entry& e : entries_) {
      if (e.type == type && e.hash == hash && e.text == text) return;
    }
    Entry entry{type, hash, std::move(text), compressed, ++uses_};
    // The least recently used go first, until the new one fits.
    while (!entries_.empty() &&
           (entries_.size() >= kEntries || bytes_ + entry.Bytes() > kBudget)) {
      auto oldest = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->last_use < oldest->last_use) oldest = it;
      }
      bytes_ -= oldest->Bytes();
      entries_.erase(oldest);
    }
    bytes_ += entry.Bytes();
    entries_.push_back(std::move(entry));
  }

 private:
  struct Entry {
    CompressionType type;
    std::size_t hash;
    std::string text;
    std::string compressed;
    std::uint64_t last_use;

    std::size_t Bytes() const { return text.size() + compressed.size(); }
  };
  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::size_t bytes_ = 0;
  std::uint64_t uses_ = 0;
};

struct Counters {
  std::atomic<std::uint64_t> compressed{0};
  std::atomic<std::uint64_t> cache_hits{0};
  std::atomic<std::uint64_t> cache_misses{0};
};

Counters& Counted() {
  static Counters counters;
  return counters;
}

RecentlyCompressed& Recent() {
  static RecentlyCompressed recent;
  return recent;
}

}  // namespace

std::string_view ToString(CompressionType type) {
  return type == CompressionType::kDeflate ? "deflate" : "gzip";
}

int WindowBits(CompressionType type) {
  return type == CompressionType::kDeflate ? -15 : 31;
}

std::string Compress(std::string_view data, CompressionType type) {
  // One stream of each kind per thread: setting up zlib's level-9 tables
  // costs more than compressing a typical answer.
  thread_local DeflateStream deflate_stream(
      WindowBits(CompressionType::kDeflate));
  thread_local DeflateStream gzip_stream(WindowBits(CompressionType::kGzip));
  DeflateStream& stream =
      type == CompressionType::kDeflate ? deflate_stream : gzip_stream;
  stream.Reset();
  std::string out;
  std::size_t pos = 0;
  do {
    const std::string_view piece = data.substr(pos, kPiece);
    pos += piece.size();
    stream.Feed(piece, pos >= data.size(), out);
  } while (pos < data.size());
  return out;
}

CompressionCounts CompressionCounters() {
  const Counters& c = Counted();
  return {c.compressed.load(std::memory_order_relaxed),
          c.cache_hits.load(std::memory_order_relaxed),
          c.cache_misses.load(std::memory_order_relaxed)};
}

ApiCallback Compression(int threshold) {
  Threshold() = threshold;
  return CompressionMiddleware;
}

void CompressionMiddleware(ApiRequest& request, ApiResponse& response,
                           const std::function<void()>& next) {
  next();
  if (!response.HasContent()) return;
  const std::string accept =
      AsciiLower(TrimBlanks(request.Headers("accept-encoding")));
  if (accept.empty()) return;
  CompressionType type;
  // A plain substring test: deflate wins whenever both are named.
  if (accept.find("deflate") != std::string::npos) {
    type = CompressionType::kDeflate;
  } else if (accept.find("gzip") != std::string::npos) {
    type = CompressionType::kGzip;
  } else {
    return;
  }
  RawResponse& raw = response.RawWebResponse();
  // The JSON body middleware has usually written this text already.
  std::string text = response.ReleaseJsonText();
  if (text.size() > static_cast<std::size_t>(Threshold().load())) {
    const std::size_t hash = std::hash<std::string_view>()(text);
    std::optional<std::string> compressed = Recent().Find(type, text, hash);
    Counted().compressed.fetch_add(1, std::memory_order_relaxed);
    (compressed ? Counted().cache_hits : Counted().cache_misses)
        .fetch_add(1, std::memory_order_relaxed);
    if (!compressed) {
      compressed = Compress(text, type);
      Recent().Add(type, std::move(text), hash, *compressed);
    }
    raw.content_stream = std::move(*compressed);
    raw.content = std::string();
    raw.content_encoding = std::string(ToString(type));
  } else {
    raw.content_stream = std::move(text);
  }
}

}  // namespace norvessa
