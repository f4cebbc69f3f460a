// A full main queue hands the event it drops back to the caller, who releases it after its
// own locks; until the queue is full nothing is handed back.
#include <gtest/gtest.h>

#include <string>

#include "queue/block_queue.hpp"

namespace zeplog {
namespace {

VelaEventPtr ev(const std::string& body) {
  return std::make_shared<VelaEvent>("app", "1", "t", "s", Bytes(body), 1, Text(), nullptr, "0");
}

TEST(QueueDrop, AFullQueueHandsBackItsOldestEvent) {
  kstVelaBlockQueue q;
  for (std::size_t i = 0; i < kstVelaBlockQueue::kMaxEvents; ++i) {
    ASSERT_EQ(q.enqueue(ev(std::to_string(i))), nullptr) << i;
  }
  VelaEventPtr dropped = q.enqueue(ev("new"));
  ASSERT_NE(dropped, nullptr);
  EXPECT_EQ(dropped->body(), Bytes("0"));
  EXPECT_EQ(dropped.use_count(), 1);  // the queue keeps no reference to it
  EXPECT_EQ(q.queueCount(), static_cast<std::int32_t>(kstVelaBlockQueue::kMaxEvents));
  EXPECT_EQ(q.dequeue()->body(), Bytes("1"));
  EXPECT_EQ(q.enqueue(nullptr), nullptr);
}

}  // namespace
}  // namespace zeplog
