#include "transport/transport_options.hpp"

#include <zlib.h>

#include <atomic>
#include <climits>
#include <mutex>

#include "common/fork_locks.hpp"

namespace zeplog::detail {
namespace {

std::atomic<bool> compressBodies{false};

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

void setRequestCompression(bool on) { compressBodies.store(on); }
bool requestCompression() { return compressBodies.load(); }

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

}  // namespace zeplog::detail
