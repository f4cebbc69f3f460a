#include "transport/transport_options.hpp"

#include <zlib.h>
#include <zstd.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "common/fork_locks.hpp"

namespace zeplog::detail {
namespace {

std::atomic<Compression> compressBodies{Compression::None};

struct ProxyState {
  ForkSafeMutex lock{ForkLockRank::kHttpClient, 2};  // guards url
  std::string url;
};
ProxyState& proxyState() {
  static auto* state = new ProxyState;  // never destroyed
  return *state;
}

// Made while the library loads, before any of its threads exists: a child forked while a
// first use was under way would inherit the static's guard "in progress" and wait on it.
[[maybe_unused]] const bool g_proxyStateMadeAtLoad = (static_cast<void>(proxyState()), true);

}  // namespace

void setRequestCompression(Compression compression) { compressBodies.store(compression); }
Compression requestCompression() { return compressBodies.load(); }

void setProxyURL(std::string url) {
  std::lock_guard<ForkSafeMutex> g(proxyState().lock);
  proxyState().url = std::move(url);
}

std::string proxyURL() {
  std::lock_guard<ForkSafeMutex> g(proxyState().lock);
  return proxyState().url;
}

std::optional<std::string> gzipCompress(std::string_view body) {
  if (body.size() > UINT_MAX) return std::nullopt;  // zlib counts in 32 bits
  z_stream z{};
  // Window bits 15 + 16: a gzip header and trailer around the deflate data.
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return std::nullopt;
  std::string out(deflateBound(&z, static_cast<uLong>(body.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
  z.avail_in = static_cast<uInt>(body.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (result != Z_STREAM_END) return std::nullopt;
  return out;
}

std::optional<std::string> zstdCompress(std::string_view body) {
  // Level 3, zstd's default: most of the gain at a fraction of gzip's time.
  std::string out(ZSTD_compressBound(body.size()), '\0');
  const std::size_t n = ZSTD_compress(out.data(), out.size(), body.data(), body.size(), 3);
  if (ZSTD_isError(n)) return std::nullopt;
  out.resize(n);
  return out;
}

}  // namespace zeplog::detail
