#include "queue/event_archive.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace zeplog::detail {
namespace {

VelaEventPtr fullEvent() {
  auto fields = std::make_shared<Fields>();
  fields->set("logLevel", Bytes("INFO"));
  fields->set("errorCode", std::string("E-17"));
  fields->set("emptyText", std::string(""));
  fields->set("emptyBytes", Bytes(""));
  fields->set("\xED\x95\x9C\xEA\xB8\x80 key", std::string("\xF0\x9F\x98\x80 \xC3\xA9t\xC3\xA9"));
  fields->set("nul", Bytes(std::string("a\0b", 3)));
  return std::make_shared<VelaEvent>("app-key", "1.2.3", "vela2-log", "client",
                                     Bytes("\xEC\x84\x9C\xEB\xB2\x84 message"), 1718000000123LL,
                                     std::string("-"), fields, "0");
}

std::vector<VelaEventPtr> roundTrip(const std::vector<VelaEventPtr>& events) {
  std::string file = encodeEventArchive("logArray", events);
  std::vector<VelaEventPtr> back;
  std::string error;
  EXPECT_TRUE(decodeEventArchive(file, "logArray", back, error)) << error;
  return back;
}

void expectSameEvent(const VelaEvent& a, const VelaEvent& b) {
  EXPECT_EQ(a.projectName(), b.projectName());
  EXPECT_EQ(a.projectVersion(), b.projectVersion());
  EXPECT_EQ(a.logType(), b.logType());
  EXPECT_EQ(a.logSource(), b.logSource());
  EXPECT_EQ(a.body(), b.body());
  EXPECT_EQ(a.sendTime(), b.sendTime());
  EXPECT_EQ(a.host(), b.host());
  EXPECT_EQ(a.handleId(), b.handleId());
  ASSERT_EQ(a.fields() == nullptr, b.fields() == nullptr);
  if (!a.fields()) return;
  ASSERT_EQ(a.fields()->size(), b.fields()->size());
  auto it = b.fields()->begin();
  for (const auto& [key, value] : *a.fields()) {
    EXPECT_EQ(key, it->first);
    EXPECT_EQ(value, it->second) << key;  // the variant compares kind and content
    ++it;
  }
}

TEST(EventArchiveRoundTrip, EveryMemberComesBackWithItsKind) {
  VelaEventPtr e = fullEvent();
  auto back = roundTrip({e});
  ASSERT_EQ(back.size(), 1u);
  expectSameEvent(*e, *back[0]);
  const Fields& f = *back[0]->fields();
  EXPECT_TRUE(std::holds_alternative<Bytes>(*f.find("logLevel")));
  EXPECT_TRUE(std::holds_alternative<std::string>(*f.find("errorCode")));
  EXPECT_TRUE(std::holds_alternative<Bytes>(*f.find("emptyBytes")));
  EXPECT_EQ(std::get<Bytes>(*f.find("nul")).size(), 3u);

  // A new dictionary of the decoded event's own, which takes new keys.
  EXPECT_NE(back[0]->fields(), e->fields());
  back[0]->fields()->set("errorRate", std::string("1"));
  EXPECT_FALSE(e->fields()->contains("errorRate"));
}

TEST(EventArchiveRoundTrip, AbsentStaysAbsentAndEmptyStaysEmpty) {
  auto allAbsent = std::make_shared<VelaEvent>();
  auto allEmpty = std::make_shared<VelaEvent>("", "", "", "", Bytes(""), 0, std::string(""),
                                              std::make_shared<Fields>(), "");
  auto back = roundTrip({allAbsent, allEmpty});
  ASSERT_EQ(back.size(), 2u);
  expectSameEvent(*allAbsent, *back[0]);
  EXPECT_FALSE(back[0]->host().has_value());
  EXPECT_EQ(back[0]->fields(), nullptr);
  expectSameEvent(*allEmpty, *back[1]);
  EXPECT_EQ(back[1]->host(), "");
  ASSERT_NE(back[1]->fields(), nullptr);
  EXPECT_TRUE(back[1]->fields()->empty());
}

TEST(EventArchiveRoundTrip, LargeBodyExtremeTimesAndQueueOrder) {
  std::string mib(1 << 20, '\0');
  for (std::size_t i = 0; i < mib.size(); ++i) mib[i] = static_cast<char>((i * 131) & 0xFF);
  std::vector<VelaEventPtr> events;
  for (std::int64_t t : {std::int64_t{0}, std::int64_t{-1}, INT64_MIN, INT64_MAX}) {
    auto e = fullEvent();
    e->setSendTime(t);
    events.push_back(e);
  }
  events[2]->setBody(Bytes(mib));
  auto back = roundTrip(events);
  ASSERT_EQ(back.size(), events.size());
  for (std::size_t i = 0; i < events.size(); ++i) expectSameEvent(*events[i], *back[i]);
  EXPECT_EQ(back[2]->body()->data, mib);
}

// A record as a writer might make it: only the members it names, in its own order.
std::string archiveWithRecord(const std::function<void(ArchiveEncoder&)>& record) {
  std::string body;
  ArchiveEncoder coder(body);
  coder.string("logArray");
  coder.varint(1);
  record(coder);
  // Frame it like the writer does: take a real archive of no events and replace its body.
  std::string file = encodeEventArchive("logArray", {});
  std::string head = file.substr(0, 8 + 4);
  std::string out = head;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((body.size() >> (8 * i)) & 0xFF));
  out += body;
  std::uint32_t crc = crc32c(out);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
  return out;
}

TEST(EventArchiveRecord, MissingMembersAreAbsentUnknownOnesAreSkipped) {
  std::string file = archiveWithRecord([](ArchiveEncoder& c) {
    c.beginRecord(4);
    c.text("fromALaterVersion", std::string("x"));
    c.text("handleId", std::string("h"));
    c.fields("moreLater", std::make_shared<Fields>(Fields{{"k", Bytes("v")}}));
    c.bytes("body", Bytes("b"));
  });
  std::vector<VelaEventPtr> events;
  std::string error;
  ASSERT_TRUE(decodeEventArchive(file, "logArray", events, error)) << error;
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0]->sendTime(), 0);
  EXPECT_EQ(events[0]->handleId(), "h");
  EXPECT_EQ(events[0]->body(), Bytes("b"));
  EXPECT_FALSE(events[0]->projectName() || events[0]->host() || events[0]->fields());
}

TEST(EventArchiveRecord, AValueOfTheWrongKindRejectsTheFile) {
  std::string file = archiveWithRecord([](ArchiveEncoder& c) {
    c.beginRecord(1);
    c.text("body", std::string("text where byte data belongs"));
  });
  std::vector<VelaEventPtr> events;
  std::string error;
  EXPECT_FALSE(decodeEventArchive(file, "logArray", events, error));
  EXPECT_NE(error.find("\"body\""), std::string::npos) << error;
  EXPECT_TRUE(events.empty());
}

class EventArchiveDamage : public ::testing::Test {
 protected:
  std::string good = encodeEventArchive("fileArray", {fullEvent(), fullEvent()});
  bool decodes(std::string_view file, std::string* why = nullptr) {
    std::vector<VelaEventPtr> events;
    std::string error;
    bool ok = decodeEventArchive(file, "fileArray", events, error);
    if (!ok) {
      EXPECT_TRUE(events.empty());
      EXPECT_FALSE(error.empty());
    }
    if (why) *why = error;
    return ok;
  }
};

TEST_F(EventArchiveDamage, EveryTruncationIsRejected) {
  ASSERT_TRUE(decodes(good));
  std::string why;
  EXPECT_FALSE(decodes("", &why));
  EXPECT_EQ(why, "empty file");
  for (std::size_t n = 1; n < good.size(); ++n) {
    ASSERT_FALSE(decodes(std::string_view(good).substr(0, n))) << n;
  }
  EXPECT_FALSE(decodes(good.substr(0, good.size() / 2), &why));
  EXPECT_NE(why.find("truncated"), std::string::npos) << why;
  EXPECT_FALSE(decodes(good + "x", &why));
}

TEST_F(EventArchiveDamage, EveryFlippedBitIsRejected) {
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::string bad = good;
      bad[i] = static_cast<char>(bad[i] ^ (1 << bit));
      ASSERT_FALSE(decodes(bad)) << "byte " << i << " bit " << bit;
    }
  }
}

TEST_F(EventArchiveDamage, WrongVersionAndWrongRootAreNamed) {
  std::string later = good;
  later[8] = 2;  // version 2, checksum made right again
  later.resize(later.size() - 4);
  std::uint32_t crc = crc32c(later);
  for (int i = 0; i < 4; ++i) later.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
  std::string why;
  EXPECT_FALSE(decodes(later, &why));
  EXPECT_NE(why.find("unsupported archive version 2"), std::string::npos) << why;

  std::vector<VelaEventPtr> events;
  EXPECT_FALSE(decodeEventArchive(good, "logArray", events, why));
  EXPECT_NE(why.find("root key \"fileArray\""), std::string::npos) << why;
  EXPECT_FALSE(decodes("{\"logArray\":[]}", &why));
  EXPECT_NE(why.find("not a queue archive"), std::string::npos) << why;
}

// Damage that a checksum cannot see (a writer's bug, a file made by hand): the decoder must
// still read only inside the file and either reject it or give whole events.
TEST_F(EventArchiveDamage, ResealedMutationsAreReadSafely) {
  std::mt19937 random(7);
  const std::size_t bodyStart = 8 + 4 + 8;
  const std::size_t bodyEnd = good.size() - 4;
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string bad = good.substr(0, bodyEnd);
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      if (bad.size() <= bodyStart) break;
      const std::size_t at = bodyStart + random() % (bad.size() - bodyStart);
      switch (random() % 3) {
        case 0:
          bad[at] = static_cast<char>(random());
          break;
        case 1:
          bad.erase(at, 1 + random() % 8);
          break;
        default:
          bad.insert(at, 1, static_cast<char>(random()));
          break;
      }
    }
    const std::uint64_t length = bad.size() - bodyStart;
    for (int i = 0; i < 8; ++i) bad[12 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    const std::uint32_t crc = crc32c(bad);
    for (int i = 0; i < 4; ++i) bad.push_back(static_cast<char>((crc >> (8 * i)) & 0xFF));
    if (decodes(bad)) ++accepted;
  }
  EXPECT_LT(accepted, 20000);  // most damage is caught by the structure alone
}

TEST(EventArchiveChecksum, BothImplementationsMatchTheBitwiseDefinition) {
  auto bitwise = [](std::string_view data) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
      crc ^= c;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1u) ? 0x82F63B78u : 0u);
    }
    return ~crc;
  };
  EXPECT_EQ(crc32c("123456789"), 0xE3069283u);  // the standard check value
  EXPECT_EQ(crc32c("56789", crc32c("1234")), 0xE3069283u);
  std::mt19937 random(3);
  std::string data;
  for (int n = 0; n < 300; ++n) {
    std::string_view view = std::string_view(data).substr(random() % 8 < 4 ? 0 : data.size() / 3);
    ASSERT_EQ(crc32c(view), bitwise(view)) << n;
    ASSERT_EQ(crc32cPortable(view), bitwise(view)) << n;
    data.push_back(static_cast<char>(random()));
  }
}

}  // namespace
}  // namespace zeplog::detail
