// The ordered dictionary behind JSON objects, event fields and custom fields, where a
// quadratic path would hold the global lock for seconds: removing every one of many fields,
// reading an object whose many null members are dropped, and keys crafted so that the
// unseeded key hash would put them all into one probe chain.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "zeplog/json_reader.hpp"
#include "zeplog/json_value.hpp"

namespace {

using zeplog::json::Object;
using zeplog::json::Value;

Object makeFields(int n) {
  Object fields;
  for (int i = 0; i < n; ++i) fields.appendNew("field-" + std::to_string(i), Value("value"));
  return fields;
}

// What removeAllCustomFields does: every field goes, in one pass.
void RemoveAllFields(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Object fields = makeFields(n);
    state.ResumeTiming();
    fields.eraseIf([](const std::string&, const Value&) { return true; });
    benchmark::DoNotOptimize(fields.size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// Removing the fields one by one, each by its own call (removeCustomFieldForKey).
void EraseEachField(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    Object fields = makeFields(n);
    std::vector<std::string> keys = fields.keys();
    state.ResumeTiming();
    for (const std::string& key : keys) fields.erase(key);
    benchmark::DoNotOptimize(fields.size());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// An object of n null members, each after a member with a value: the reader leaves the
// nulls out and keeps the others.
void ReadNullMembers(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::string text = "{";
  for (int i = 0; i < n; ++i) {
    text += (i ? ",\"v" : "\"v") + std::to_string(i) + "\":1,\"n" + std::to_string(i) + "\":null";
  }
  text += "}";
  zeplog::kstCJSONDeserializer reader;
  reader.setNullObject(std::nullopt);  // null members are left out
  for (auto _ : state) {
    auto v = reader.deserialize(std::string_view(text));
    if (!v || !v->isObject() || v->asObject()->size() != static_cast<std::size_t>(n))
      state.SkipWithError("wrong result");
    benchmark::DoNotOptimize(v);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// 16-byte keys whose second word cancels the first under the key hash as it was without a
// seed, so every key had the same 64-bit hash.
std::vector<std::string> collidingKeys(int n) {
  constexpr std::uint64_t k = 0x9E3779B97F4A7C15ULL;
  auto g = [](std::uint64_t x) {
    x *= k;
    return x ^ (x >> 29);
  };
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) {
    std::uint64_t w1 = 0x3030303030303030ULL + static_cast<std::uint64_t>(i);
    std::uint64_t w2 = g((16 * k) ^ w1) ^ 0x1234567812345678ULL;
    std::string key(16, '\0');
    std::memcpy(key.data(), &w1, 8);
    std::memcpy(key.data() + 8, &w2, 8);
    keys.push_back(key);
  }
  return keys;
}

std::vector<std::string> ordinaryKeys(int n) {
  std::vector<std::string> keys;
  for (int i = 0; i < n; ++i) keys.push_back("ordinary-key-" + std::to_string(100000 + i));
  return keys;
}

// Inserts every key, then looks every one up.
void InsertAndFind(benchmark::State& state, bool colliding) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<std::string> keys = colliding ? collidingKeys(n) : ordinaryKeys(n);
  for (auto _ : state) {
    Object map;
    for (const std::string& key : keys) map.set(key, Value(1));
    std::size_t found = 0;
    for (const std::string& key : keys) found += map.find(key) != nullptr;
    if (found != keys.size()) state.SkipWithError("keys lost");
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(RemoveAllFields)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(EraseEachField)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadNullMembers)->Arg(2000)->Arg(20000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InsertAndFind, ordinary, false)->Arg(4000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(InsertAndFind, colliding, true)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
