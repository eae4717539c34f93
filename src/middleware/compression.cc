#include "middleware/compression.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
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
// entry is found by encoding, length and hash under the lock, then compared
// byte for byte outside it: same text in, same bytes out. A text being
// compressed is compressed once: a request for the same text meanwhile
// waits for that compression instead of running its own.
class RecentlyCompressed {
 public:
  static constexpr std::size_t kEntries = 32;
  // Texts and compressed bytes kept, all entries together.
  static constexpr std::size_t kBudget = 64 * 1024 * 1024;
  static constexpr std::size_t kLargestText = 16 * 1024 * 1024;

  // The compressed bytes of `text`; `hit` tells whether they came from an
  // earlier or a concurrent compression rather than from this call's.
  std::string Get(CompressionType type, std::string text, bool& hit) {
    hit = false;
    if (text.size() > kLargestText) return Compress(text, type);
    const std::size_t hash = std::hash<std::string_view>()(text);
    std::vector<std::shared_ptr<const Entry>> candidates;
    std::shared_ptr<Flight> joined;
    std::shared_ptr<Flight> mine;
    {
      std::lock_guard lock(mutex_);
      for (Slot& slot : entries_) {
        const Entry& e = *slot.entry;
        if (e.type == type && e.hash == hash && e.text.size() == text.size()) {
          slot.last_use = ++uses_;
          candidates.push_back(slot.entry);
        }
      }
      for (const auto& f : flights_) {
        if (f->type == type && f->hash == hash &&
            f->text->size() == text.size()) {
          joined = f;
        }
      }
      if (candidates.empty() && joined == nullptr) {
        mine = std::make_shared<Flight>();
        mine->type = type;
        mine->hash = hash;
        mine->text = std::make_shared<const std::string>(std::move(text));
        flights_.push_back(mine);
      }
    }
    if (mine != nullptr) return CompressFor(*mine);
    for (const auto& c : candidates) {
      if (c->text == text) {
        hit = true;
        return c->compressed;
      }
    }
    if (joined != nullptr) {
      std::unique_lock wait(joined->mutex);
      joined->done_changed.wait(wait, [&] { return joined->done; });
      if (joined->compressed != nullptr && *joined->text == text) {
        hit = true;
        return *joined->compressed;
      }
    }
    // Another text with the same hash and length, or a compression that
    // failed: this one is compressed here, and not kept.
    return Compress(text, type);
  }

 private:
  struct Entry {
    CompressionType type;
    std::size_t hash;
    std::string text;
    std::string compressed;

    std::size_t Bytes() const { return text.size() + compressed.size(); }
  };
  struct Slot {
    std::shared_ptr<const Entry> entry;
    std::uint64_t last_use;
  };
  // A compression under way, and what the requests waiting for it get.
  struct Flight {
    CompressionType type;
    std::size_t hash = 0;
    std::shared_ptr<const std::string> text;
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    std::shared_ptr<const std::string> compressed;  // null when it failed
  };

  std::string CompressFor(Flight& flight) {
    std::shared_ptr<const std::string> compressed;
    struct Landed {
      RecentlyCompressed& cache;
      Flight& flight;
      std::shared_ptr<const std::string>& compressed;
      ~Landed() { cache.Land(flight, compressed); }
    } landed{*this, flight, compressed};
    compressed = std::make_shared<const std::string>(
        Compress(*flight.text, flight.type));
    return *compressed;
  }

  // The flight is over: its result is kept (when there is one) and the
  // requests waiting for it wake.
  void Land(Flight& flight,
            const std::shared_ptr<const std::string>& compressed) {
    // Built before the lock: the text may be megabytes.
    std::shared_ptr<const Entry> entry;
    if (compressed != nullptr) {
      entry = std::make_shared<const Entry>(
          Entry{flight.type, flight.hash, *flight.text, *compressed});
    }
    {
      std::lock_guard lock(mutex_);
      std::erase_if(flights_, [&](const std::shared_ptr<Flight>& f) {
        return f.get() == &flight;
      });
      if (entry != nullptr) Keep(std::move(entry));
    }
    {
      std::lock_guard lock(flight.mutex);
      flight.compressed = compressed;
      flight.done = true;
    }
    flight.done_changed.notify_all();
  }

  // Under the lock.
  void Keep(std::shared_ptr<const Entry> entry) {
    // The least recently used go first, until the new one fits.
    while (!entries_.empty() &&
           (entries_.size() >= kEntries || bytes_ + entry->Bytes() > kBudget)) {
      auto oldest = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->last_use < oldest->last_use) oldest = it;
      }
      bytes_ -= oldest->entry->Bytes();
      entries_.erase(oldest);
    }
    bytes_ += entry->Bytes();
    entries_.push_back({std::move(entry), ++uses_});
  }

  std::mutex mutex_;
  std::vector<Slot> entries_;
  std::vector<std::shared_ptr<Flight>> flights_;
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
    bool hit = false;
    std::string compressed = Recent().Get(type, std::move(text), hit);
    Counted().compressed.fetch_add(1, std::memory_order_relaxed);
    (hit ? Counted().cache_hits : Counted().cache_misses)
        .fetch_add(1, std::memory_order_relaxed);
    raw.content_stream = std::move(compressed);
    raw.content = std::string();
    raw.content_encoding = std::string(ToString(type));
  } else {
    raw.content_stream = std::move(text);
  }
}

}  // namespace norvessa
