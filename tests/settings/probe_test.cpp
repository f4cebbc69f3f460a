// The probe thread: URLs it requests, what it reports, and what it never requests.
#include "settings/probe_thread.hpp"
#include "settings_fixture.hpp"

namespace zeplog {
namespace {

using detail::normaliseProbeURL;
using test::SettingsTest;

TEST(ProbeURL, HttpAndHttpsGetTheirDefaultPortAfterTheHost) {
  EXPECT_EQ(normaliseProbeURL("https://example.invalid/a/b"), "https://example.invalid:443/a/b");
  EXPECT_EQ(normaliseProbeURL("http://example.invalid/a"), "http://example.invalid:80/a");
  EXPECT_EQ(normaliseProbeURL("https://example.invalid"), "https://example.invalid:443");
  // The scheme in any letter case, rewritten in lower case.
  EXPECT_EQ(normaliseProbeURL("HTTP://Example.invalid/X"), "http://Example.invalid:80/X");
  EXPECT_EQ(normaliseProbeURL("hTtPs://h.invalid/"), "https://h.invalid:443/");
}

TEST(ProbeURL, AHostPartWithAPortAndEveryPathPieceAreKept) {
  EXPECT_EQ(normaliseProbeURL("http://127.0.0.1:8080/p"), "http://127.0.0.1:8080/p");
  EXPECT_EQ(normaliseProbeURL("https://h.invalid:8443/a//b/"), "https://h.invalid:8443/a//b/");
  EXPECT_EQ(normaliseProbeURL("https://h.invalid/trailing/"), "https://h.invalid:443/trailing/");
  EXPECT_EQ(normaliseProbeURL("http://[::1]/v6"), "http://[::1]/v6");
  EXPECT_EQ(normaliseProbeURL("https://h.invalid/p?q=a/b:c"), "https://h.invalid:443/p?q=a/b:c");
}

TEST(ProbeURL, AQueryOrFragmentAfterTheHostStaysAfterThePort) {
  EXPECT_EQ(normaliseProbeURL("https://h.invalid?x=1"), "https://h.invalid:443?x=1");
  EXPECT_EQ(normaliseProbeURL("http://h.invalid#top"), "http://h.invalid:80#top");
}

TEST(ProbeURL, OtherSchemesAndURLsWithoutHostAreNeverRequested) {
  for (const char* url : {"ftp://h.invalid/f", "file:///etc/passwd", "httpx://h.invalid/",
                          "gopher://h.invalid", "https:/h.invalid", "https:h.invalid/a/b",
                          "http://", "https:///path", "", "h.invalid/path"}) {
    EXPECT_EQ(normaliseProbeURL(url), std::nullopt) << url;
  }
}

// Closed loopback port, unknown handle, other schemes and a capitalised scheme, in one
// queue: each probe gets its result in order, the unknown handle's is skipped with its
// line, and only http requests reach a server.
TEST_F(SettingsTest, ProbesReportFailuresAsStatusZeroAndSurviveAnUnknownHandle) {
  ASSERT_TRUE(initHandle("app", "0"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();  // the default answer turns probing on

  tools::DevCollector closed{tools::CollectorOptions{}};
  ASSERT_TRUE(closed.start());
  const std::string closedUrl = closed.baseUrl() + "/probe/closed";
  closed.stop();
  const std::string port = std::to_string(collector.port());
  const std::vector<std::pair<std::string, std::string>> probes = {
      {"nobody", collector.baseUrl() + "/probe/unknown-handle"},
      {"0", closedUrl},
      {"0", "ftp://127.0.0.1:" + port + "/probe/ftp"},
      {"0", "file:///etc/hostname"},
      {"0", "HTTP://127.0.0.1:" + port + "/probe/caps"},
      {"0", collector.baseUrl() + "/missing"},
  };
  for (const auto& [id, url] : probes) {
    auto item = std::make_shared<NetworkData>();
    item->handlerId = id;
    item->url = url;
    detail::blockQueue()->enqueue_network(item);
  }

  const std::vector<std::pair<std::string, std::string>> expected = {
      {closedUrl, "0"},
      {"ftp://127.0.0.1:" + port + "/probe/ftp", "0"},
      {"file:///etc/hostname", "0"},
      {"HTTP://127.0.0.1:" + port + "/probe/caps", "200"},
      {collector.baseUrl() + "/missing", "404"},
  };
  for (const auto& [url, status] : expected) {
    VelaEventPtr e = takeEventOfType("NETWORKPULSES");
    ASSERT_NE(e, nullptr) << url;
    EXPECT_EQ(field(e, "Url"), url);
    EXPECT_EQ(field(e, "Status"), status) << url;
    EXPECT_EQ(e->handleId(), "0");
  }
  EXPECT_EQ(console.count("] handler is null"), 1);
  EXPECT_EQ(console.count("NetworkPulse probes only http and https URLs"), 2);
  EXPECT_EQ(requestedPaths(),
            (std::vector<std::string>{"/v2/app/logsconf", "/probe/caps", "/missing"}));
}

TEST_F(SettingsTest, ProbesOfAHandleWhoseProbingIsOffAreSkipped) {
  collector.setSettingsBody(R"({"status":200,"result":{"networkpulses":{"enable":false}}})");
  ASSERT_TRUE(initHandle("off", "off"));
  ASSERT_TRUE(waitForFetches(1)) << console.all();
  collector.setSettingsBody(std::nullopt);  // the default answer: probing on
  ASSERT_TRUE(initHandle("on", "on"));
  ASSERT_TRUE(waitForFetches(2)) << console.all();

  for (const char* id : {"off", "on"}) {
    auto item = std::make_shared<NetworkData>();
    item->handlerId = id;
    item->url = collector.baseUrl() + "/probe/" + id;
    detail::blockQueue()->enqueue_network(item);
  }
  VelaEventPtr e = takeEventOfType("NETWORKPULSES");
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->handleId(), "on");
  EXPECT_EQ(requestedPaths(),
            (std::vector<std::string>{"/v2/off/logsconf", "/v2/on/logsconf", "/probe/on"}));
}

}  // namespace
}  // namespace zeplog
