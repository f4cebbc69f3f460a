// Parse speed of the JSON reader next to RapidJSON's DOM, nlohmann::json::parse and
// simdjson's DOM parser, on a 1000-event batch as the library sends it and on a generated
// twitter-like document. Every parser builds its full tree in every iteration.
//
//   cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZEPLOG_BUILD_BENCH=ON
//   cmake --build build-bench --target bench_json_reader
//   build-bench/bench/bench_json_reader --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "event/json/json_reader_tuning.hpp"
#include "zeplog/json_reader.hpp"

#if __has_include(<simdjson.h>)
#include <simdjson.h>
#define ZEPLOG_BENCH_SIMDJSON 1
#endif

namespace {

std::string jsonText(const std::string& s) { return "\"" + s + "\""; }

// A batch as the transport writes it: an array of 1000 event objects whose 15 members are
// all strings, with a 120-byte body and "kstBulkIndex" numbering the events.
std::string makeBatch() {
  std::string body(120, 'x');
  for (std::size_t i = 0; i < body.size(); i += 9) body[i] = ' ';
  std::string out = "[";
  for (int i = 0; i < 1000; ++i) {
    if (i) out += ",";
    std::string ms = std::to_string(1733500000000LL + i * 37);
    out +=
        "{\"projectName\":\"a1b2c3d4e5f6a7b8\",\"projectVersion\":\"2.6.9\","
        "\"logType\":\"log\",\"logSource\":\"app\",\"logLevel\":\"INFO\","
        "\"body\":" +
        jsonText(body.substr(0, 100) + "item " + std::to_string(i) + " done.") +
        ",\"sendTime\":" + jsonText(ms) +
        ",\"host\":\"198.51.100.7\","
        "\"platform\":\"Linux\",\"networkType\":\"WIFI\",\"userId\":\"user-" +
        std::to_string(i % 17) +
        "\",\"sdkVersion\":\"2.6.9\","
        "\"deviceId\":\"6F9619FF-8B86-D011-B42D-00C04FC964FF\","
        "\"sessionId\":\"A2C4E6F8-1B3D-4F5A-9C8E-7D6B5A4C3E2F\","
        "\"kstBulkIndex\":" +
        jsonText(std::to_string(i)) + "}";
  }
  return out + "]";
}

// A twitter-like search result of about 600 KiB: statuses with nested users, entities,
// numbers of every size, escapes and non-ASCII text.
std::string makeTwitter() {
  std::mt19937_64 rng(42);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<std::uint64_t>(n)); };
  const char* words[] = {"hello",
                         "world",
                         "\\u65e5\\u672c",
                         "caf\xC3\xA9",
                         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                         "\\\"quoted\\\"",
                         "line\\nbreak",
                         "#tag",
                         "@user",
                         "http:\\/\\/t.co\\/x",
                         "\xF0\x9F\x98\x80",
                         "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",
                         "rt"};
  auto sentence = [&](int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::string(i ? " " : "") + words[pick(13)];
    return s;
  };
  std::string out = "{\"statuses\":[";
  for (int i = 0; i < 220; ++i) {
    if (i) out += ",";
    std::uint64_t id = 505874924095815681ULL + static_cast<std::uint64_t>(i) * 7919;
    std::string user =
        "{\"id\":" + std::to_string(1186275104 + i) + ",\"id_str\":\"" +
        std::to_string(1186275104 + i) + "\",\"name\":" + jsonText(sentence(2)) +
        ",\"screen_name\":\"user_" + std::to_string(i) +
        "\",\"location\":" + jsonText(sentence(1)) + ",\"description\":" + jsonText(sentence(12)) +
        ",\"url\":null,\"entities\":{\"description\":{\"urls\":[]}},\"protected\":false,"
        "\"followers_count\":" +
        std::to_string(pick(100000)) + ",\"friends_count\":" + std::to_string(pick(5000)) +
        ",\"listed_count\":" + std::to_string(pick(50)) +
        ",\"created_at\":\"Mon Aug 11 13:04:36 +0000 2014\",\"favourites_count\":" +
        std::to_string(pick(900)) + ",\"utc_offset\":-" + std::to_string(pick(40000)) +
        ",\"time_zone\":\"Tokyo\",\"geo_enabled\":true,\"verified\":false,"
        "\"statuses_count\":" +
        std::to_string(pick(20000)) +
        ",\"lang\":\"ja\",\"profile_background_color\":\"C0DEED\","
        "\"profile_image_url\":\"http:\\/\\/pbs.twimg.com\\/profile_images\\/" +
        std::to_string(id) +
        "\\/x.jpeg\",\"profile_use_background_image\":true,"
        "\"default_profile\":true,\"following\":false,\"notifications\":false}";
    out +=
        "{\"metadata\":{\"result_type\":\"recent\",\"iso_language_code\":\"ja\"},"
        "\"created_at\":\"Sun Aug 31 00:29:15 +0000 2014\",\"id\":" +
        std::to_string(id) + ",\"id_str\":\"" + std::to_string(id) +
        "\",\"text\":" + jsonText(sentence(14)) +
        ",\"source\":\"<a href=\\\"http:\\/\\/twitter.com\\\" rel=\\\"nofollow\\\">web<\\/a>\","
        "\"truncated\":false,\"in_reply_to_status_id\":null,\"user\":" +
        user + ",\"geo\":null,\"coordinates\":{\"type\":\"Point\",\"coordinates\":[" +
        std::to_string(pick(180)) + "." + std::to_string(pick(99999)) + ",-" +
        std::to_string(pick(90)) + ".25e0]},\"retweet_count\":" + std::to_string(pick(100)) +
        ",\"favorite_count\":" + std::to_string(pick(100)) +
        ",\"entities\":{\"hashtags\":[{\"text\":\"tag\",\"indices\":[0,4]}],\"symbols\":[],"
        "\"urls\":[{\"url\":\"http:\\/\\/t.co\\/abc\",\"indices\":[5,27]}],"
        "\"user_mentions\":[]},\"favorited\":false,\"retweeted\":false,\"lang\":\"ja\","
        "\"score\":" +
        std::to_string(pick(1000)) + ".125}";
  }
  out +=
      "],\"search_metadata\":{\"completed_in\":0.087,\"max_id\":505874924095815681,"
      "\"query\":\"%E4%B8%80\",\"count\":100,\"since_id\":0}}";
  return out;
}

const std::string& batch() {
  static const std::string s = makeBatch();
  return s;
}
const std::string& twitter() {
  static const std::string s = makeTwitter();
  return s;
}

enum Tuning { kDefault, kNoInterning, kInternAll, kNoSharedKeys };

void ZEPLogReader(benchmark::State& state, const std::string& (*doc)(), Tuning tuning) {
  const std::string& text = doc();
  zeplog::kstCJSONDeserializer reader;
  using T = zeplog::detail::JSONReaderTuning;
  if (tuning == kNoInterning) T::setInterning(reader, false, false);
  if (tuning == kInternAll) T::setInterning(reader, true, true);
  if (tuning == kNoSharedKeys) T::setSharedKeys(reader, false);
  for (auto _ : state) {
    std::optional<zeplog::json::Value> v = reader.deserialize(std::string_view(text));
    if (!v) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void ZEPLogFreshReader(benchmark::State& state, const std::string& (*doc)()) {
  const std::string& text = doc();
  for (auto _ : state) {
    auto v = zeplog::kstCJSONDeserializer::dictionaryWithJSONData(text);
    if (!v) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void RapidJSON(benchmark::State& state, const std::string& (*doc)()) {
  const std::string& text = doc();
  for (auto _ : state) {
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    if (d.HasParseError()) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void Nlohmann(benchmark::State& state, const std::string& (*doc)()) {
  const std::string& text = doc();
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(text);
    benchmark::DoNotOptimize(j);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

#ifdef ZEPLOG_BENCH_SIMDJSON
void Simdjson(benchmark::State& state, const std::string& (*doc)()) {
  simdjson::padded_string text(doc());
  simdjson::dom::parser parser;
  for (auto _ : state) {
    simdjson::dom::element e;
    if (parser.parse(text).get(e) != simdjson::SUCCESS) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(e);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
#endif

BENCHMARK_CAPTURE(ZEPLogReader, batch, batch, kDefault);
BENCHMARK_CAPTURE(ZEPLogReader, batch_no_interning, batch, kNoInterning);
BENCHMARK_CAPTURE(ZEPLogReader, batch_intern_ascii_too, batch, kInternAll);
BENCHMARK_CAPTURE(ZEPLogReader, batch_no_shared_keys, batch, kNoSharedKeys);
BENCHMARK_CAPTURE(ZEPLogFreshReader, batch, batch);
BENCHMARK_CAPTURE(RapidJSON, batch, batch);
BENCHMARK_CAPTURE(Nlohmann, batch, batch);
#ifdef ZEPLOG_BENCH_SIMDJSON
BENCHMARK_CAPTURE(Simdjson, batch, batch);
#endif

BENCHMARK_CAPTURE(ZEPLogReader, twitter, twitter, kDefault);
BENCHMARK_CAPTURE(ZEPLogReader, twitter_no_interning, twitter, kNoInterning);
BENCHMARK_CAPTURE(ZEPLogReader, twitter_intern_ascii_too, twitter, kInternAll);
BENCHMARK_CAPTURE(ZEPLogReader, twitter_no_shared_keys, twitter, kNoSharedKeys);
BENCHMARK_CAPTURE(ZEPLogFreshReader, twitter, twitter);
BENCHMARK_CAPTURE(RapidJSON, twitter, twitter);
BENCHMARK_CAPTURE(Nlohmann, twitter, twitter);
#ifdef ZEPLOG_BENCH_SIMDJSON
BENCHMARK_CAPTURE(Simdjson, twitter, twitter);
#endif

}  // namespace

BENCHMARK_MAIN();
