#include "transport/http_client.hpp"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "dev_collector.hpp"
#include "support/loopback_server.hpp"
#include "support/test_env.hpp"

namespace zeplog::detail {
namespace {

using test::LoopbackServer;

std::string base(const LoopbackServer& s) { return "http://127.0.0.1:" + std::to_string(s.port()); }

HttpRequest post(std::string url, std::string body) {
  HttpRequest r;
  r.method = HttpRequest::Method::kPost;
  r.url = std::move(url);
  r.headers = {"Content-Type: application/json"};
  r.body = std::move(body);
  return r;
}

TEST(HttpClient, PostsTheBodyAndReportsTheStatusWithoutReadingTheAnswer) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  HttpClient client;
  server.setStatus(201);
  HttpResult r = client.perform(post(base(server) + "/v2/log", "[1,2]"));
  EXPECT_TRUE(r.completed);
  EXPECT_EQ(r.status, 201);
  EXPECT_EQ(r.body, "");  // not asked for
  EXPECT_EQ(r.failure, HttpResult::Failure::kNone);
  ASSERT_EQ(server.requestCount(), 1u);
  const test::SeenRequest seen = server.requests()[0];
  EXPECT_EQ(seen.method, "POST");
  EXPECT_EQ(seen.path, "/v2/log");
  EXPECT_EQ(seen.body, "[1,2]");
  EXPECT_EQ(seen.contentType, "application/json");
}

TEST(HttpClient, GetKeepsTheAnswerWhenAskedAndReusesTheConnection) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  HttpClient client;
  HttpRequest get;
  get.url = base(server) + "/a/logsconf";
  get.wantBody = true;
  HttpResult first = client.perform(get);
  HttpResult second = client.perform(post(base(server) + "/v2/log", "[]"));
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(first.body, "answer");
  EXPECT_EQ(second.status, 200);
  ASSERT_EQ(server.requestCount(), 2u);
  // The same client port: the second request went over the first one's connection.
  EXPECT_EQ(server.requests()[0].remotePort, server.requests()[1].remotePort);
}

TEST(HttpClient, AnAnswerLargerThanAllowedFails) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  HttpRequest get;
  get.url = base(server) + "/x";
  get.wantBody = true;
  get.maxBodyBytes = 3;
  HttpResult r = HttpClient::forThisThread().perform(get);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.body, "");
  EXPECT_NE(r.error, "");
}

TEST(HttpClient, OnlyHttpAndHttpsAreRequested) {
  HttpClient client;
  for (const char* url :
       {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/", "127.0.0.1:80/x", ""}) {
    HttpRequest r;
    r.url = url;
    HttpResult result = client.perform(r);
    EXPECT_FALSE(result.completed) << url;
    EXPECT_EQ(result.failure, HttpResult::Failure::kUnsupportedUrl) << url;
  }
}

// Redirects are followed only when asked, and only to http and https.
TEST(HttpClient, RedirectsStayOnHttpAndHttps) {
  LoopbackServer target;
  ASSERT_TRUE(target.ok());
  httplib::Server redirector;
  redirector.Get("/to-http", [&](const httplib::Request&, httplib::Response& res) {
    res.set_redirect(base(target) + "/landed");
  });
  redirector.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
    res.set_redirect("file:///etc/passwd");
  });
  const int port = redirector.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  std::thread serving([&] { redirector.listen_after_bind(); });
  const std::string from = "http://127.0.0.1:" + std::to_string(port);

  HttpClient client;
  HttpRequest r;
  r.url = from + "/to-http";
  HttpResult notFollowed = client.perform(r);
  EXPECT_EQ(notFollowed.status, 302);
  EXPECT_EQ(target.requestCount(), 0u);

  r.followRedirects = true;
  HttpResult followed = client.perform(r);
  EXPECT_EQ(followed.status, 200);
  ASSERT_EQ(target.requestCount(), 1u);
  EXPECT_EQ(target.requests()[0].path, "/landed");

  r.url = from + "/to-file";
  HttpResult refused = client.perform(r);
  EXPECT_FALSE(refused.completed) << refused.status;
  EXPECT_EQ(refused.failure, HttpResult::Failure::kUnsupportedUrl) << refused.error;

  while (!redirector.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  redirector.stop();
  tools::closeAcceptedConnections(port);
  serving.join();
}

TEST(HttpClient, ARefusedConnectionAndAnUnknownNameAreFailures) {
  int closedPort;
  {
    LoopbackServer gone;
    ASSERT_TRUE(gone.ok());
    closedPort = gone.port();
  }
  HttpClient client;
  HttpResult refused =
      client.perform(post("http://127.0.0.1:" + std::to_string(closedPort) + "/v2/log", "[]"));
  EXPECT_FALSE(refused.completed) << refused.status;
  EXPECT_EQ(refused.failure, HttpResult::Failure::kConnect);
  EXPECT_NE(refused.error, "");

  HttpResult unknown = client.perform(post("http://collector.zeplog.invalid/v2/log", "[]"));
  EXPECT_FALSE(unknown.completed);
  EXPECT_EQ(unknown.failure, HttpResult::Failure::kResolve);
}

TEST(HttpClient, AServerThatNeverAnswersEndsAtTheTimeout) {
  LoopbackServer server;
  ASSERT_TRUE(server.ok());
  server.hold();
  HttpRequest r = post(base(server) + "/v2/log", "[]");
  r.timeout = std::chrono::milliseconds(300);
  HttpResult result = HttpClient().perform(r);
  EXPECT_FALSE(result.completed);
  EXPECT_EQ(result.failure, HttpResult::Failure::kTimeout);
  server.release();
}

// A request that ends at its headers: a body that stalls after "200" is not waited for
// (the timeout here is far longer than the test), and a body that comes with the headers
// still leaves the connection open for the next request.
TEST(HttpClient, ARequestThatEndsAtItsHeadersNeitherWaitsForABodyNorLosesItsConnection) {
  std::mutex mu;
  std::condition_variable cv;
  bool stop = false;
  std::vector<int> clientPorts;  // guarded by mu
  httplib::Server server;
  server.Post("/stall", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard<std::mutex> g(mu);
      clientPorts.push_back(req.remote_port);
    }
    res.set_content_provider(10, "text/plain", [&](std::size_t, std::size_t, httplib::DataSink&) {
      std::unique_lock<std::mutex> l(mu);
      cv.wait(l, [&] { return stop; });
      return false;  // the body never comes
    });
  });
  server.Post("/prompt", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard<std::mutex> g(mu);
    clientPorts.push_back(req.remote_port);
    res.set_content("0123456789", "text/plain");
  });
  server.set_keep_alive_timeout(1);  // stop() waits for idle connections this long
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });
  // Requests made before the accept loop runs wait in the listen queue; stop() needs it running.
  while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  HttpClient client;
  for (const char* path : {"/stall", "/prompt", "/prompt"}) {
    HttpRequest r = post("http://127.0.0.1:" + std::to_string(port) + path, "[]");
    r.timeout = std::chrono::seconds(60);
    r.endAtHeaders = true;
    const HttpResult result = client.perform(r);
    EXPECT_TRUE(result.completed) << path;
    EXPECT_EQ(result.status, 200) << path;
    EXPECT_EQ(result.failure, HttpResult::Failure::kNone) << path;
    EXPECT_EQ(result.error, "") << path;
  }
  {
    std::lock_guard<std::mutex> g(mu);
    ASSERT_EQ(clientPorts.size(), 3u);
    EXPECT_EQ(clientPorts[1], clientPorts[2]);  // the prompt answers shared a connection
    stop = true;
  }
  cv.notify_all();
  server.stop();
  serving.join();
}

class HttpClientTls : public ::testing::Test {
 protected:
  void TearDown() override { setTrustedCertificates(""); }
  test::TempDir dir;
};

TEST_F(HttpClientTls, ASelfSignedServerIsRefusedUntilItsCertificateIsTrusted) {
  test::SelfSignedCertificate cert;
  ASSERT_TRUE(test::makeSelfSignedCertificate(dir.path(), cert));
  LoopbackServer server(cert.cert, cert.key);
  ASSERT_TRUE(server.ok());
  const std::string url = "https://127.0.0.1:" + std::to_string(server.port()) + "/v2/log";

  HttpResult refused = HttpClient().perform(post(url, "[]"));
  EXPECT_FALSE(refused.completed) << refused.status;
  EXPECT_EQ(refused.failure, HttpResult::Failure::kTls);
  EXPECT_NE(refused.error.find("certificate"), std::string::npos) << refused.error;

  setTrustedCertificates(cert.cert);
  HttpResult accepted = HttpClient().perform(post(url, "[]"));
  EXPECT_TRUE(accepted.completed) << accepted.error;
  EXPECT_EQ(accepted.status, 200);
}

}  // namespace
}  // namespace zeplog::detail
