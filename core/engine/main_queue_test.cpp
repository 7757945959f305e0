#include "core/engine/main_queue.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/engine/asio_main_queue.h"

namespace kelvane {
namespace {

TEST(ManualMainQueue, RunsWorkInOrderOnlyWhenDrainedIncludingWorkPostedMeanwhile) {
  ManualMainQueue queue;
  std::vector<int> ran;
  queue.post([&] {
    ran.push_back(1);
    queue.post([&] { ran.push_back(3); });
  });
  queue.post([&] { ran.push_back(2); });
  EXPECT_TRUE(ran.empty());
  EXPECT_EQ(queue.drain(), 3u);
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue.waitAndDrain(10), 0u);  // nothing came
}

TEST(MainQueue, WorkPostedFromOtherThreadsRunsOnTheMainThread) {
  asio::io_context io;
  AsioMainQueue asioQueue(io);
  ManualMainQueue manual;
  for (MainQueue* queue : std::vector<MainQueue*>{&asioQueue, &manual}) {
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    int ran = 0;  // touched on the main thread only
    bool allOnMain = true;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        EXPECT_FALSE(queue->onMainThread());
        for (int i = 0; i < kEach; ++i)
          queue->post([&] {
            allOnMain = allOnMain && queue->onMainThread();
            ++ran;
          });
      });
    for (std::thread& thread : threads) thread.join();
    if (queue == &asioQueue) {
      io.run();
    } else {
      manual.drain();
    }
    EXPECT_EQ(ran, kThreads * kEach);
    EXPECT_TRUE(allOnMain);
  }
}

}  // namespace
}  // namespace kelvane
