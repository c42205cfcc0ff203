// The due map's own copy (compiled into this test) over an idle queue: a
// take runs the due items, of the map and of the incoming chain, in due-time
// order with ties in queue order, and keeps the others for later.
#include "osal/thread/msg_queue_due_map.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Slot = osal::MsgQueueDueMap::Slot;
using Chain = osal::MsgQueueDueMap::Chain;

struct Case {
  const char* what;
  std::vector<uint64_t> pending;   // already in the map, labelled a, b, ...
  std::vector<uint64_t> incoming;  // taken in this order, labelled A, B, ...
  uint64_t now;
  std::string runs;  // the batch, in order
  std::string kept;  // left in the map, in order
};

// Chains fresh single slots (not from the pool) of the given due times. The
// map never calls a handler, so each slot's handler field carries its label.
Chain ChainOf(const std::vector<uint64_t>& dues, char first) {
  Chain chain;
  for (uint64_t due : dues) {
    Slot* slot = new Slot;
    slot->due = due;
    (chain.last != nullptr ? chain.last->next : chain.first) = slot;
    chain.sorted = chain.sorted && (chain.last == nullptr || chain.last->due <= due);
    chain.last = slot;
    slot->handler = reinterpret_cast<osal::IMsgHandler*>(static_cast<uintptr_t>(first++));
  }
  return chain;
}

// The labels of a batch, whose slots it frees.
std::string Labels(Slot* slot) {
  std::string labels;
  while (slot != nullptr) {
    labels += static_cast<char>(reinterpret_cast<uintptr_t>(slot->handler));
    delete std::exchange(slot, slot->next);
  }
  return labels;
}

TEST(MsgQueueDueMap, TakesTheDueItemsInDueOrderWithTiesInQueueOrder) {
  const Case cases[] = {
      {"sorted and all due", {}, {1, 2, 3}, 10, "ABC", ""},
      {"unsorted, ties stay in queue order", {}, {5, 3, 5, 3, 1}, 10, "EBDAC", ""},
      {"one not yet due is kept", {}, {1, 20, 2}, 10, "AC", "B"},
      {"a pending item due between two incoming", {3}, {2, 4}, 10, "AaB", ""},
      {"a pending item of the same due time runs first", {5}, {5}, 10, "aA", ""},
      {"nothing due", {30}, {20}, 10, "", "Aa"},
  };
  for (const Case& c : cases) {
    osal::MsgQueue queue;
    osal::MsgQueueDueMap map(queue);
    map.Merge(ChainOf(c.pending, 'a'), 0);
    Slot* batch = nullptr;
    map.TakeDue(ChainOf(c.incoming, 'A'), c.now, &batch);
    EXPECT_EQ(Labels(batch), c.runs) << c.what;
    Slot* rest = nullptr;
    map.TakeDue(Chain{}, UINT64_MAX, &rest);
    EXPECT_EQ(Labels(rest), c.kept) << c.what;
  }
}

}  // namespace
