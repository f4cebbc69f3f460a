// Options of every request: gzip-compressed bodies and a proxy, through real servers.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_server.hpp"
#include "support/test_env.hpp"
#include "transport/http_client.hpp"
#include "transport/transport_options.hpp"
#include "zeplog/zeplog.hpp"

namespace zeplog {
namespace {

// A forwarding HTTP proxy on 127.0.0.1: takes requests in absolute form, records their
// targets and passes them on to the server they name.
class ForwardingProxy {
 public:
  ForwardingProxy() {
    server_.Post(".*", [this](const httplib::Request& req, httplib::Response& res) {
      {
        std::lock_guard<std::mutex> g(mu_);
        targets_.push_back(req.target);
      }
      // "http://host:port/path": forwarded with the encoding the client chose (the server
      // here has decoded the body, so it is encoded again).
      const std::size_t pathAt = req.target.find('/', req.target.find("://") + 3);
      httplib::Client next(req.target.substr(0, pathAt));
      httplib::Headers headers;
      std::string body = req.body;
      if (req.get_header_value("Content-Encoding") == "gzip") {
        headers.emplace("Content-Encoding", "gzip");
        body = detail::gzipCompress(body).value_or("");
      }
      auto answer =
          next.Post(req.target.substr(pathAt), headers, body, req.get_header_value("Content-Type"));
      res.status = answer ? answer->status : 502;
    });
    server_.set_keep_alive_timeout(1);  // stop() waits for idle connections this long
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~ForwardingProxy() {
    server_.stop();
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> targets() {
    std::lock_guard<std::mutex> g(mu_);
    return targets_;
  }

 private:
  httplib::Server server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mu_;
  std::vector<std::string> targets_;  // guarded by mu_
};

// The collector decodes a compressed body to exactly the bytes a plain one carries.
TEST(RequestCompression, TheCollectorDecodesTheSameBytesThatGoPlain) {
  test::LoopbackServer server;
  std::string body = "[";
  for (int i = 0; i < 500; ++i) body += R"({"body":"event )" + std::to_string(i) + R"(","x":"é"},)";
  body.back() = ']';
  for (Compression c : {Compression::None, Compression::Gzip, Compression::Zstd}) {
    detail::setRequestCompression(c);
    detail::HttpRequest r;
    r.method = detail::HttpRequest::Method::kPost;
    r.url = "http://127.0.0.1:" + std::to_string(server.port()) + "/v2/log";
    r.headers = {"Content-Type: application/json"};
    r.body = body;
    EXPECT_EQ(detail::HttpClient().perform(r).status, 200);
  }
  detail::setRequestCompression(false);
  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].contentEncoding, "");
  EXPECT_EQ(seen[1].contentEncoding, "gzip");
  EXPECT_EQ(seen[2].contentEncoding, "zstd");
  for (const auto& s : seen) EXPECT_EQ(s.body, body);
  EXPECT_LT(detail::gzipCompress(body)->size(), body.size() / 4);
  EXPECT_LT(detail::zstdCompress(body)->size(), body.size() / 4);
}

class ProxyTest : public test::LibraryTest {};

TEST_F(ProxyTest, OnlyAnHttpUrlWithAHostOrNothingIsTakenAndOnlyBeforeTheFirstInit) {
  const struct {
    Text url;
    bool taken;
  } cases[] = {{"http://127.0.0.1:3128", true},
               {"HTTPS://proxy.example", true},
               {"", true},  // back to the environment's rules
               {"socks5://127.0.0.1:1080", false},
               {"http://", false},
               {"http:///x", false},
               {Text(), false}};
  for (const auto& c : cases) EXPECT_EQ(ZEPLog::setProxy(c.url), c.taken) << c.url.str();
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:9/", "app", "1.0", SyncStart::On));
  EXPECT_FALSE(ZEPLog::setProxy("http://127.0.0.1:3128"));
  EXPECT_FALSE(ZEPLog::setRequestCompression(true));
  EXPECT_EQ(console.count("call it before the first initialisation"), 2);
}

// A batch and a crash upload both go through the proxy, compressed, and reach the collector.
TEST_F(ProxyTest, BatchesAndCrashUploadsGoThroughTheProxy) {
  test::LoopbackServer collector;
  ForwardingProxy proxy;
  ASSERT_TRUE(ZEPLog::setProxy(proxy.url()));
  ASSERT_TRUE(ZEPLog::setRequestCompression(true));
  ASSERT_TRUE(ZEPLog::init("http://127.0.0.1:" + std::to_string(collector.port()), "app", "1.0"));
  ZEPLog::info(nullptr, "through the proxy");
  ASSERT_TRUE(ZEPLog::flush(std::chrono::seconds(30)));
  const std::string crash = "Incident Identifier: X\n";
  ZEPLog::transportFile("crash.plcrash", crash.data(), static_cast<std::uint32_t>(crash.size()),
                        "SIGSEGV", "signal: SIGSEGV");

  std::vector<std::string> posts;
  for (const std::string& t : proxy.targets())
    if (t.ends_with("/v2/log")) posts.push_back(t);
  EXPECT_GE(posts.size(), 2u);  // the batch(es) and the crash upload
  std::string arrived;
  for (const auto& r : collector.requests()) {
    EXPECT_EQ(r.contentEncoding, "gzip");
    arrived += r.body;
  }
  EXPECT_NE(arrived.find("through the proxy"), std::string::npos);
  EXPECT_NE(arrived.find("DmpData"), std::string::npos);
}

}  // namespace
}  // namespace zeplog
