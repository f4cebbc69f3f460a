// The peer of the delivery benchmarks: what the send thread does for a batch, done directly.
// A 2000-event body written with rapidjson::Writer from one event's members and posted with
// one reused curl handle.
#pragma once

#include <curl/curl.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Members = std::vector<std::pair<std::string, std::string>>;

// One curl handle that POSTs JSON to url, reused for every batch.
class PeerPoster {
 public:
  explicit PeerPoster(const std::string& url) : curl_(curl_easy_init()) {
    headers_ = curl_slist_append(nullptr, "Content-Type: application/json");
    headers_ = curl_slist_append(headers_, "Expect:");
    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, discard);
  }
  ~PeerPoster() {
    curl_slist_free_all(headers_);
    curl_easy_cleanup(curl_);
  }
  PeerPoster(const PeerPoster&) = delete;
  PeerPoster& operator=(const PeerPoster&) = delete;

  // The HTTP status of the answer; 0 when the request failed.
  long post(const rapidjson::StringBuffer& body) {
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.GetSize()));
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.GetString());
    long status = 0;
    if (curl_easy_perform(curl_) == CURLE_OK)
      curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    return status;
  }

 private:
  static size_t discard(char*, size_t size, size_t n, void*) { return size * n; }

  CURL* curl_;
  curl_slist* headers_ = nullptr;
};

// An array of `events` objects: the members, then "body" (bodyPrefix and a running number
// n) and, with bulkIndex, "kstBulkIndex" (the position in the array) as the library writes.
inline void writePeerBatch(rapidjson::StringBuffer& buffer, const Members& members, int events,
                           const std::string& bodyPrefix, std::uint64_t& n, bool bulkIndex) {
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  auto text = [&](const std::string& s) {
    writer.String(s.c_str(), static_cast<rapidjson::SizeType>(s.size()));
  };
  writer.StartArray();
  for (int i = 0; i < events; ++i) {
    writer.StartObject();
    for (const auto& [k, v] : members) {
      writer.Key(k.c_str(), static_cast<rapidjson::SizeType>(k.size()));
      text(v);
    }
    writer.Key("body");
    text(bodyPrefix + std::to_string(n++));
    if (bulkIndex) {
      writer.Key("kstBulkIndex");
      text(std::to_string(i));
    }
    writer.EndObject();
  }
  writer.EndArray();
}

}  // namespace bench
