// The event's JSON written straight from the event: its measured size, the appended form and
// the returned form agree with each other on events of every shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event/batch.hpp"
#include "event/event_json.hpp"
#include "event/global_state.hpp"
#include "support/test_env.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

using detail::appendJsonOfVelaEvent;
using detail::getJsonFromVelaEvent;
using detail::jsonSizeOfVelaEvent;

FieldsPtr fieldsOf(std::vector<std::pair<std::string, FieldValue>> entries) {
  auto f = std::make_shared<Fields>();
  for (auto& [k, v] : entries) f->set(k, std::move(v));
  return f;
}

VelaEventPtr event(OptText logType, std::optional<Bytes> body, FieldsPtr fields,
                   std::int64_t sendTime = 1700000000123, OptText host = std::nullopt) {
  return std::make_shared<VelaEvent>("app", "1.0", std::move(logType), "mac-log", std::move(body),
                                     sendTime, std::move(host), std::move(fields), "0");
}

// A copy with a dictionary of its own: writing the JSON may drop a field from the event.
VelaEventPtr deepCopy(const VelaEventPtr& e) {
  auto copy = std::make_shared<VelaEvent>(*e);
  if (e->fields()) copy->setFields(std::make_shared<Fields>(*e->fields()));
  return copy;
}

// Seventeen copies of "0123456789abcdefg", each with byte c at the next place.
std::string slid(char c) {
  std::string out;
  for (std::size_t at = 0; at < 17; ++at) {
    std::string text = "0123456789abcdefg";
    text[at] = c;
    out += text;
  }
  return out;
}

std::vector<VelaEventPtr> variedEvents() {
  const std::string control = std::string("a\"b\\c/d\n\t\x01\x1f") + '\0' + "e\b\f\r";
  return {
      std::make_shared<VelaEvent>(),
      event(std::nullopt, std::nullopt, nullptr, 0),
      event("vela2-log", Bytes("plain"), fieldsOf({{"logLevel", Bytes("INFO")}})),
      event("vela2-log", Bytes(control), fieldsOf({{"k\"ey\n", std::string(control)}})),
      event("vela2-log", Bytes("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"), nullptr),
      // Not UTF-8: written repaired.
      event("vela2-log", Bytes("bad \xff\xfe end \xc3"), fieldsOf({{"v", Bytes("\xed\xa0\x80")}})),
      // A key that is not UTF-8, and one that repairs to an existing key.
      event("vela2-log", Bytes("b"),
            fieldsOf({{"k\xff", Bytes("1")}, {"k\xef\xbf\xbd", Bytes("2")}, {"z", Bytes("3")}})),
      // Fields that replace members, a session id that is dropped, a bulk index field.
      event("vela2-log", Bytes("b"),
            fieldsOf({{"logType", Bytes("mine")},
                      {"SessionID", Bytes("S")},
                      {"kstBulkIndex", Bytes("99")},
                      {"sendTime", Bytes("x")}})),
      event("SESSION", Bytes("SESSION"), fieldsOf({{"SessionID", Bytes("S")}})),
      event("CRASH", Bytes("c"), fieldsOf({{"DmpData", Bytes("d")}, {"SessionID", Bytes("S")}})),
      event("vela2-log", Bytes(std::string(5000, 'x')), nullptr, -42, std::string("-")),
      // A member absent and a field of its name: the field takes its place at its own turn.
      event(std::nullopt, std::nullopt, fieldsOf({{"logType", Bytes("t")}, {"body", Bytes("")}})),
      // Each byte that needs escaping or a check at every place of two eight-byte words.
      event("vela2-log", Bytes(slid('"')),
            fieldsOf({{"a", Bytes(slid('\\'))}, {"b", Bytes(slid('\x1f'))}})),
      event("vela2-log", Bytes(slid('\n')), fieldsOf({{"c", Bytes(slid('\xff'))}})),
  };
}

TEST(EventJsonSize, MeasuredSizeIsTheWrittenSizeAndTheEventIsUnchanged) {
  for (bool hostOff : {false, true}) {
    detail::globals().gs_enablehost.store(!hostOff);
    int n = 0;
    for (const VelaEventPtr& e : variedEvents()) {
      SCOPED_TRACE("event " + std::to_string(n++) + (hostOff ? " host off" : " host on"));
      const std::size_t keys = e->fields() ? e->fields()->size() : 0;
      const std::size_t measured = jsonSizeOfVelaEvent(e);
      EXPECT_EQ(e->fields() ? e->fields()->size() : 0, keys);  // nothing dropped by measuring
      EXPECT_EQ(measured, getJsonFromVelaEvent(deepCopy(e)).size());
    }
  }
  detail::globals().gs_enablehost.store(true);
}

TEST(EventJsonSize, AppendedTextIsTheIndexedTextAfterWhatWasThere) {
  int n = 0;
  for (const VelaEventPtr& e : variedEvents()) {
    SCOPED_TRACE("event " + std::to_string(n++));
    const std::string expected = getJsonFromVelaEvent(deepCopy(e), 7 + n);
    std::string out = "[{},";
    appendJsonOfVelaEvent(out, deepCopy(e), 7 + n);
    EXPECT_EQ(out, "[{}," + expected);
  }
}

// A batch written event by event as the send thread gathers it holds the body that writing
// the events whole gives, each with the common fields that fit it; each write weighs its
// object as measuring it does (the bulk index left out).
TEST(EventJsonSize, ABatchWrittenAsItIsGatheredIsTheBatchWrittenWhole) {
  Fields commonFields;
  commonFields.set("Team", Bytes("t\"1"));
  const detail::CommonFragmentPtr fragment = detail::CommonFragment::make(commonFields);
  ASSERT_TRUE(fragment);
  detail::Batch written, whole;
  int n = 0;
  for (const VelaEventPtr& e : variedEvents()) {
    SCOPED_TRACE("event " + std::to_string(n++));
    if (!e->handleId()) continue;
    const detail::CommonFragmentPtr common = fragment->fits(*e) ? fragment : nullptr;
    const VelaEventPtr copy = deepCopy(e);
    const std::size_t weight = written.write(copy, common);
    if (!e->fields() || !e->fields()->contains("kstBulkIndex")) {
      EXPECT_EQ(weight, jsonSizeOfVelaEvent(deepCopy(e), common ? common->json() : ""));
    }
    written.push(copy, common, weight);
    whole.push(deepCopy(e), common);
  }
  std::string idWritten, idWhole;
  std::size_t countWritten = 0, countWhole = 0;
  EXPECT_EQ(written.takeBody(idWritten, countWritten), whole.takeBody(idWhole, countWhole));
  EXPECT_EQ(countWritten, countWhole);
  EXPECT_EQ(idWritten, idWhole);
}

}  // namespace
}  // namespace zeplog
