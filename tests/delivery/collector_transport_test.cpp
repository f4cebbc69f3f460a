// Posting batches to the collector, and what each outcome does with them.
#include <malloc.h>

#include <gtest/gtest.h>

#include "common/collector_url.hpp"
#include "common/waits.hpp"
#include "delivery/https_delegate.hpp"
#include "delivery_helpers.hpp"
#include "event/batch.hpp"
#include "event/common_fields.hpp"
#include "event/handle_registry.hpp"

namespace zeplog::test {
namespace {

class TransportTest : public DeliveryTest {
 protected:
  void SetUp() override {
    DeliveryTest::SetUp();
    // Held: this test sends the batches itself, not the send thread.
    ASSERT_TRUE(initHttp(SyncStart::On));
    ASSERT_TRUE(queue().dequeue());  // the session event
    batch = *detail::globals().gs_bulkObjectManager->find("app");
  }

  // An event as the send thread leaves it in a batch: level as byte data, handle id set.
  static VelaEventPtr event(const char* body, std::int64_t sendTime, Text handleId = "0") {
    auto fields = std::make_shared<Fields>();
    fields->set("logLevel", Bytes("INFO"));
    fields->set("UserID", std::string("user-1"));
    return std::make_shared<VelaEvent>("app", "1.0", "vela2-log", "mac-log", Bytes(body), sendTime,
                                       Text(), fields, handleId);
  }

  void fillBatch() {
    batch->push(event("one", 1001));
    batch->push(event("two", 1002));
    batch->push(event("three", 1003));
  }

  // The batch of fillBatch written back from position `from` of the failed-send queue: in
  // body order, rebuilt from the sent text, handle id and send time kept.
  void expectWrittenBack(std::size_t from = 0) {
    std::vector<VelaEventPtr> all = queue().fileQueueEvents();
    ASSERT_EQ(all.size(), from + 3);
    const VelaEventPtr* back = all.data() + from;
    const char* bodies[] = {"one", "two", "three"};
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(back[i]->body(), Bytes(bodies[i]));
      EXPECT_EQ(back[i]->sendTime(), static_cast<std::int64_t>(1001 + i));
      EXPECT_EQ(back[i]->handleId(), "0");
      EXPECT_EQ(back[i]->projectName(), "app");
      EXPECT_EQ(back[i]->logType(), "vela2-log");
      const Fields& f = *back[i]->fields();
      // Values come back as text, the batch position included.
      EXPECT_EQ(std::get<std::string>(*f.find("logLevel")), "INFO");
      EXPECT_EQ(std::get<std::string>(*f.find("kstBulkIndex")), std::to_string(i));
      EXPECT_FALSE(f.contains("body"));
      EXPECT_FALSE(f.contains("sendTime"));
    }
  }

  std::shared_ptr<detail::Batch> batch;
};

TEST_F(TransportTest, ABatchIsOneArrayNumberedByPositionAndEmptiedBeforeItsRequest) {
  fillBatch();
  ZEPLog::sendVelaEventByRestAPI();
  EXPECT_TRUE(batch->empty());
  ASSERT_EQ(server.requestCount(), 1u);
  const std::string body = server.requests()[0].body;
  EXPECT_EQ(body.front(), '[');
  EXPECT_EQ(body.find(",{"), body.find("},{") + 1);  // single commas, no white space
  Objects o = objectsOf(body);
  ASSERT_EQ(o.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(member(*o[i], "kstBulkIndex"), std::to_string(i));
  EXPECT_EQ(member(*o[0], "sendTime"), "1001");

  // A first event without a handle id is left out but keeps its number.
  batch->push(event("none", 1, Text()));
  batch->push(event("one", 2));
  batch->push(event("two", 3));
  ZEPLog::sendVelaEventByRestAPI();
  ASSERT_EQ(server.requestCount(), 2u);
  o = objectsOf(server.requests()[1].body);
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(member(*o[0], "kstBulkIndex"), "1");
  EXPECT_EQ(member(*o[1], "kstBulkIndex"), "2");

  // Empty batches send nothing; status 200 writes nothing back.
  ZEPLog::sendVelaEventByRestAPI();
  EXPECT_EQ(server.requestCount(), 2u);
  EXPECT_EQ(ZEPLog::fileQueueSize(), 0);
}

// Status 200 and nothing else delivers; the answer's body plays no part.
TEST_F(TransportTest, EveryStatusButTwoHundredWritesTheBatchBack) {
  std::size_t rounds = 0;
  for (int status : {201, 204, 400, 500}) {
    SCOPED_TRACE(status);
    server.setStatus(status);
    console.clear();
    fillBatch();
    ZEPLog::sendVelaEventByRestAPI();
    expectWrittenBack(3 * rounds++);
    EXPECT_TRUE(console.contains("didReceiveResponse not 200"))
        << ::testing::PrintToString(console.lines());
    EXPECT_EQ(console.count("enqueue to File"), 3);
  }
}

TEST_F(TransportTest, ARefusedConnectionWritesTheBatchBackWithTheReason) {
  int closedPort;
  {
    LoopbackServer gone;
    closedPort = gone.port();
  }
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::getHandler("0")->collectorPort = closedPort;
  }
  fillBatch();
  ZEPLog::sendVelaEventByRestAPI();
  expectWrittenBack();
  EXPECT_TRUE(console.contains("Request failed with error : "));
  EXPECT_FALSE(console.contains("hostname could not be found"));
}

TEST_F(TransportTest, AnUnknownCollectorNameSaysSoAndWritesBack) {
  {
    detail::GlobalLock lock(detail::global_resource_lock());
    detail::getHandler("0")->collectorUrl = "collector.zeplog.invalid";
  }
  fillBatch();
  ZEPLog::sendVelaEventByRestAPI();
  expectWrittenBack();
  EXPECT_TRUE(console.contains("hostname could not be found"));
}

// The one test that waits out the 10-second timeout.
TEST_F(TransportTest, ACollectorThatNeverAnswersTimesOutAndWritesBack) {
  detail::waits().collectorRequest = std::chrono::milliseconds(300);
  server.hold();
  fillBatch();
  ZEPLog::sendVelaEventByRestAPI();
  server.release();
  expectWrittenBack();
  EXPECT_TRUE(console.contains("Request failed with error : "));
}

TEST_F(TransportTest, OneRequestGoesToTheNamedHandleOnly) {
  ZEPLog::sendVelaEventByRestAPI("[]", "nobody");
  EXPECT_TRUE(console.contains("handler is null"));
  EXPECT_EQ(server.requestCount(), 0u);

  // A crash upload's one-event array, written back with its own handle id on failure.
  server.setStatus(500);
  ZEPLog::sendVelaEventByRestAPI(
      R"([{"projectName":"app","body":"crash","sendTime":"77","DmpData":"x"}])", "0");
  std::vector<VelaEventPtr> back = queue().fileQueueEvents();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0]->handleId(), "0");
  EXPECT_EQ(back[0]->sendTime(), 77);
  EXPECT_EQ(std::get<std::string>(*back[0]->fields()->find("DmpData")), "x");
  EXPECT_EQ(server.requests()[0].body,
            R"([{"projectName":"app","body":"crash","sendTime":"77","DmpData":"x"}])");
}

// Heap bytes in use (glibc's count of allocated chunks).
std::size_t heapInUse() { return ::mallinfo2().uordblks; }

// A batch written back after a failed send is kept about as compactly as the main queue kept
// its events, though every event of the body carries the handle's common fields.
TEST_F(TransportTest, AWrittenBackEventCostsAboutWhatAQueuedOneDid) {
  constexpr std::size_t kEvents = 1500;
  ZEPLog::silenceConsole();  // no captured lines in the figures
  for (int i = 0; i < 8; ++i)
    ZEPLog::setCustomField("value of custom field " + std::to_string(i),
                           "custom" + std::to_string(i));
  const std::size_t beforeLogging = heapInUse();
  for (std::size_t i = 0; i < kEvents; ++i) ZEPLog::info("E1", "message " + std::to_string(i));
  (void)queue().takeStagedLogs();  // the calls as events, as the send thread takes them
  const double queued = double(heapInUse() - beforeLogging) / kEvents;

  // The body the send path writes for them: each event completed with the common fields.
  std::string body;
  {
    detail::Batch sent;
    while (VelaEventPtr e = queue().dequeueIfAny()) {
      ASSERT_TRUE(detail::copyCommonFields(*e->fields(), "0"));
      sent.push(std::move(e));
    }
    ASSERT_EQ(sent.size(), kEvents);
    std::string handleId;
    std::size_t count = 0;
    body = sent.takeBody(handleId, count);
  }
  const std::size_t beforeWriteBack = heapInUse();
  kstVelaHttpsDelegate(body, "0").saveToFile(body, true);
  ASSERT_EQ(queue().fileQueueCount(), static_cast<std::int32_t>(kEvents));
  const double writtenBack = double(heapInUse() - beforeWriteBack) / kEvents;
  EXPECT_LE(writtenBack, 1.5 * queued) << writtenBack << " bytes against " << queued;
  const std::vector<VelaEventPtr> back = queue().fileQueueEvents();
  EXPECT_EQ(back.back()->body(), Bytes("message 1499"));
  EXPECT_EQ(std::get<std::string>(*back.back()->fields()->find("custom7")),
            "value of custom field 7");
}

TEST(CollectorURL, SchemeFromProtocolAndPortFromTheAddressOrTheHandle) {
  using detail::collectorLogURL;
  EXPECT_EQ(collectorLogURL(1, "logs.example.com", 8080), "http://logs.example.com:8080/v2/log");
  EXPECT_EQ(collectorLogURL(0, "logs.example.com", 8080), "https://logs.example.com:8080/v2/log");
  EXPECT_EQ(collectorLogURL(7, "logs.example.com", 80), "http://logs.example.com:80/v2/log");
  // The address's own port wins; no doubled "/".
  EXPECT_EQ(collectorLogURL(0, "logs.example.com:8443", 443),
            "https://logs.example.com:8443/v2/log");
  EXPECT_EQ(collectorLogURL(0, "logs.example.com/", 443), "https://logs.example.com:443/v2/log");
  EXPECT_EQ(collectorLogURL(0, "logs.example.com:9000//ingest//", 443),
            "https://logs.example.com:9000//ingest/v2/log");
  EXPECT_EQ(collectorLogURL(1, "h/ingest?x=1#f", 81), "http://h:81/ingest/v2/log");
  EXPECT_EQ(collectorLogURL(1, "h:", 81), "http://h:81/v2/log");
  EXPECT_EQ(collectorLogURL(1, "[::1]:8080", 81), "http://[::1]:8080/v2/log");
  EXPECT_EQ(collectorLogURL(1, "[::1]", 81), "http://[::1]:81/v2/log");
  EXPECT_EQ(collectorLogURL(1, "::1", 81), "http://[::1]:81/v2/log");
  EXPECT_EQ(collectorLogURL(1, "user@h:82", 81), "http://user@h:82/v2/log");
}

// A collector over HTTPS with a certificate of its own making.
class TlsTransportTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(makeSelfSignedCertificate(dataDir.path(), cert));
    server = std::make_unique<LoopbackServer>(cert.cert, cert.key);
    ASSERT_TRUE(server->ok());
    // Protocol 0: https to the handle's address and port.
    ASSERT_TRUE(ZEPLog::init("127.0.0.1", server->port(), 0, "app", "1.0", "u", CrashCapture::Off,
                             SyncStart::Off, Text(), Text()));
    ASSERT_TRUE(detail::blockQueue()->dequeue());
  }
  void TearDown() override { ZEPLog::setTrustedCertificates(""); }

  SelfSignedCertificate cert;
  std::unique_ptr<LoopbackServer> server;
};

TEST_F(TlsTransportTest, AnUnverifiedCertificateIsAFailedSendUntilItsCAIsNamed) {
  const std::string body = R"([{"projectName":"app","body":"b","sendTime":"5"}])";
  ZEPLog::sendVelaEventByRestAPI(body, "0");
  EXPECT_EQ(server->requestCount(), 0u);
  EXPECT_EQ(ZEPLog::fileQueueSize(), 1);
  EXPECT_TRUE(console.contains("certificate")) << "the console line says why";

  ZEPLog::setTrustedCertificates(cert.cert);
  console.clear();
  ZEPLog::sendVelaEventByRestAPI(body, "0");
  ASSERT_EQ(server->requestCount(), 1u);
  EXPECT_EQ(server->requests()[0].path, "/v2/log");
  EXPECT_TRUE(console.contains("didReceiveResponse 200"));
  EXPECT_EQ(ZEPLog::fileQueueSize(), 1);  // nothing more written back
}

}  // namespace
}  // namespace zeplog::test
