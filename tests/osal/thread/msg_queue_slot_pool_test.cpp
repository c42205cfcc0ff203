// The slot pool's own copy (compiled into this test) over an idle queue:
// every slot New hands out is distinct while it is out; slots given back,
// run and recycled or discarded and taken back by the worker, are handed
// out again before the pool grows; and a destroyed queue's blocks serve the
// next queue.
#include "osal/thread/msg_queue_slot_pool.h"

#include <set>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Slot = osal::MsgQueueSlotPool::Slot;

Slot* Chain(const std::vector<Slot*>& slots) {
  for (size_t i = 0; i < slots.size(); ++i) {
    slots[i]->next = i + 1 < slots.size() ? slots[i + 1] : nullptr;
  }
  return slots.front();
}

TEST(MsgQueueSlotPool, HandsEachSlotOutOnceAndReusesWhatCameBackBeforeGrowing) {
  struct Round {
    const char* what;
    size_t take;
    bool discard;      // given back through the discarded chain, else recycled
    bool only_reused;  // every slot handed out was handed out before
  };
  const std::vector<Round> rounds = {{"two whole blocks", 128, false, false},
                                     {"after a recycle", 100, true, true},
                                     {"after a discard", 100, false, true},
                                     {"growing", 300, false, false}};
  std::set<Slot*> known;
  {
    osal::MsgQueue queue;
    osal::MsgQueueSlotPool pool(queue);
    for (const Round& round : rounds) {
      std::vector<Slot*> out;
      size_t fresh = 0;
      for (size_t i = 0; i < round.take; ++i) {
        out.push_back(pool.New());
        fresh += known.insert(out.back()).second ? 1 : 0;
      }
      EXPECT_EQ(std::set<Slot*>(out.begin(), out.end()).size(), round.take) << round.what;
      if (round.only_reused) {
        EXPECT_EQ(fresh, 0u) << round.what;
      }
      if (round.discard) {
        pool.ReleaseChain(Chain(out));
        pool.Recycle(pool.TakeDiscarded());
      } else {
        pool.Recycle(Chain(out));
      }
    }
  }
  osal::MsgQueue next;
  EXPECT_EQ(known.count(osal::MsgQueueSlotPool(next).New()), 1u) << "the blocks went back for the next queue";
}

}  // namespace
