// The slot pool compiled from source, over an idle queue: New hands each
// slot out once, slots given back come out again before the pool grows, and
// a destroyed queue's blocks serve the next queue.
#include "osal/thread/msg_queue_slot_pool.h"

#include <set>
#include <utility>

#include "gtest/gtest.h"

namespace {

using Slot = osal::MsgQueueSlotPool::Slot;

TEST(MsgQueueSlotPool, HandsEachSlotOutOnceAndReusesWhatCameBackBeforeGrowing) {
  // Slots taken, then given back as discarded (else as run); whether every
  // one taken must be one seen before.
  const struct {
    size_t take;
    bool discard;
    bool reused;
  } rounds[] = {{128, false, false}, {100, true, true}, {100, false, true}, {300, false, false}};
  std::set<Slot*> seen;
  {
    osal::MsgQueue queue;
    osal::MsgQueueSlotPool pool(queue);
    for (const auto& round : rounds) {
      std::set<Slot*> out;
      Slot* chain = nullptr;
      size_t fresh = 0;
      for (size_t i = 0; i < round.take; ++i) {
        Slot* slot = pool.New();
        out.insert(slot);
        fresh += seen.insert(slot).second ? 1 : 0;
        slot->next = std::exchange(chain, slot);
      }
      EXPECT_EQ(out.size(), round.take);
      EXPECT_TRUE(!round.reused || fresh == 0) << fresh << " new slots in a round of " << round.take;
      if (round.discard) {
        pool.ReleaseChain(chain);
        chain = pool.TakeDiscarded();
      }
      pool.Recycle(chain);
    }
  }
  osal::MsgQueue next;
  EXPECT_EQ(seen.count(osal::MsgQueueSlotPool(next).New()), 1u) << "the blocks went back for the next queue";
}

}  // namespace
