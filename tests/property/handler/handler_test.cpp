#include "property/handler/handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <system_error>
#include <vector>

#include "tests/support/thread_creation_failure.h"

namespace {

using std::chrono::seconds;

// Records what reaches HandleMessage; gives the completion signal for code 0.
class RecordingHandler : public Handler {
 public:
  ~RecordingHandler() override { StopAndJoin(); }

  void Join() { StopAndJoin(); }

  // Signals before recording, so a message seen by WaitForCount has given
  // its signal.
  void HandleMessage(const Message& msg) override {
    if (msg.mWhat == 0) SignalSyncDone();
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mSeen.push_back(msg.mArg1);
    }
    mChanged.notify_all();
  }

  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, seconds(10), [&] { return mSeen.size() >= count; });
  }

  std::vector<int> Seen() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSeen;
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  std::vector<int> mSeen;  // guarded by mMutex
};

// Keeps the loop thread busy until Open() is called. Declared before the
// handler it holds, so that it outlives the handler's thread.
class Gate {
 public:
  Message Blocker() {
    Message msg(-1);
    msg.SetWhen(-1000);  // due before anything else
    msg.SetFunction([this] {
      std::unique_lock<std::mutex> lock(mMutex);
      mChanged.wait(lock, [this] { return mOpen; });
    });
    return msg;
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mMutex);
      mOpen = true;
    }
    mChanged.notify_all();
  }

 private:
  std::mutex mMutex;
  std::condition_variable mChanged;
  bool mOpen = false;  // guarded by mMutex
};

TEST(HandlerTest, HandlesEarliestFirstWithoutWaitingForDueTimes) {
  Gate gate;
  RecordingHandler handler;
  handler.SendMessage(gate.Blocker());
  handler.SendMessage(Message(1, 30, 0, 30));
  handler.SendMessage(Message(1, 10, 0, 10));
  handler.SendMessage(Message(1, 20, 0, 20));
  Message builtFirst(1, 1);
  Message builtSecond(1, 2);
  handler.SendMessage(builtSecond);
  handler.SendMessage(builtFirst);
  gate.Open();
  ASSERT_TRUE(handler.WaitForCount(5));
  EXPECT_EQ(handler.Seen(), (std::vector<int>{1, 2, 10, 20, 30}));
}

TEST(HandlerTest, KeepsALongQueueSortedAndEqualDueTimesInSendOrder) {
  Gate gate;
  RecordingHandler handler;
  handler.SendMessage(gate.Blocker());
  std::mt19937 random(42);
  Message base(1);
  std::vector<int64_t> sent;
  for (int i = 0; i < 2000; ++i) {
    Message msg(1, i);
    msg.mWhen = base.mWhen + static_cast<int64_t>(random() % 500) * 1000;
    sent.push_back(msg.mWhen);
    handler.SendMessage(msg);
  }
  gate.Open();
  ASSERT_TRUE(handler.WaitForCount(2000));
  const std::vector<int> seen = handler.Seen();
  for (size_t i = 1; i < seen.size(); ++i) {
    const int64_t previous = sent[static_cast<size_t>(seen[i - 1])];
    const int64_t current = sent[static_cast<size_t>(seen[i])];
    ASSERT_LE(previous, current) << "at " << i;
    if (previous == current) {
      ASSERT_LT(seen[i - 1], seen[i]) << "equal due times out of send order";
    }
  }
}

TEST(HandlerTest, ImmediateStopDropsPendingSafeStopDrainsThem) {
  for (bool safely : {false, true}) {
    Gate gate;
    RecordingHandler handler;
    EXPECT_FALSE(handler.IsQuiting());
    handler.SendMessage(gate.Blocker());
    for (int i = 1; i <= 3; ++i) handler.SendMessage(Message(1, i));
    handler.StopSafty(safely);
    EXPECT_TRUE(handler.IsQuiting());
    gate.Open();
    if (safely) {
      ASSERT_TRUE(handler.WaitForCount(3));
      EXPECT_EQ(handler.Seen(), (std::vector<int>{1, 2, 3}));
    } else {
      handler.Join();
      EXPECT_TRUE(handler.Seen().empty());
      // The loop has ended: a later send succeeds and is never handled.
      EXPECT_TRUE(handler.SendMessage(Message(1, 9)));
      EXPECT_TRUE(handler.Seen().empty());
    }
  }
}

TEST(HandlerTest, CallableReplacesHandleMessageAndNegativeCodesReachNothing) {
  RecordingHandler handler;
  std::atomic<int> ran{0};
  Message withCallable(5, 100);
  withCallable.SetFunction([&ran] { ++ran; });
  handler.SendMessage(withCallable);
  handler.SendMessage(Message(-1, 200));
  handler.SendMessage(Message(1, 300));
  ASSERT_TRUE(handler.WaitForCount(1));
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(handler.Seen(), std::vector<int>{300});
}

TEST(HandlerTest, SendMessageSyncWaitsForTheSignalAndKeepsALeftOverOne) {
  Gate gate;
  RecordingHandler handler;
  EXPECT_TRUE(handler.SendMessageSync(Message(0, 1)));
  ASSERT_TRUE(handler.WaitForCount(1));

  // A signal given while nobody waited releases the next sync send at once,
  // before its own message was handled.
  handler.SendMessage(Message(0, 2));
  ASSERT_TRUE(handler.WaitForCount(2));
  handler.SendMessage(gate.Blocker());
  EXPECT_TRUE(handler.SendMessageSync(Message(1, 3)));
  EXPECT_EQ(handler.Seen().size(), 2u);
  gate.Open();
  ASSERT_TRUE(handler.WaitForCount(3));
}

TEST(HandlerTest, DestructorDrainsCallablesBaseHandleMessageDoesNothing) {
  std::atomic<int> ran{0};
  {
    Gate gate;
    Handler handler;
    handler.SendMessage(gate.Blocker());
    for (int i = 0; i < 3; ++i) {
      Message msg(1);
      msg.SetFunction([&ran] { ++ran; });
      handler.SendMessage(msg);
      handler.SendMessage(Message(2, i));
    }
    gate.Open();
  }
  EXPECT_EQ(ran.load(), 3);
}

TEST(HandlerTest, ThreadThatCannotStartLeavesTheConstructorAsAnException) {
  {
    testing_support::ThreadCreationFailure failure;
    EXPECT_THROW(Handler handler, std::system_error);
  }
  RecordingHandler handler;  // thread creation works again
  handler.SendMessage(Message(1, 7));
  ASSERT_TRUE(handler.WaitForCount(1));
  EXPECT_EQ(handler.Seen(), std::vector<int>{7});
}

}  // namespace
