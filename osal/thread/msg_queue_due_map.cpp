#include "osal/thread/msg_queue_due_map.h"

#include <utility>

#include "osal/thread/msg_queue_slot_pool.h"

namespace osal {
// At equal due times `older` first.
MsgQueueDueMap::Slot* MsgQueueDueMap::MergeByDue(Slot* older, Slot* newer) {
  Slot* head = nullptr;
  Slot** tail = &head;
  while (older != nullptr && newer != nullptr) {
    Slot*& from = newer->due < older->due ? newer : older;
    *tail = from;
    tail = &from->next;
    from = from->next;
  }
  *tail = older != nullptr ? older : newer;
  return head;
}

void MsgQueueDueMap::SortByDue(Chain& chain) {
  if (chain.sorted) {
    return;
  }
  // Bottom-up: runs[i] holds a sorted run of 2^i slots (or none); older
  // runs merge in front of newer ones, so equal due times keep queue order.
  Slot* runs[64] = {};
  for (Slot* slot = chain.first; slot != nullptr;) {
    Slot* run = std::exchange(slot, slot->next);
    run->next = nullptr;
    size_t i = 0;
    for (; runs[i] != nullptr; ++i) {
      run = MergeByDue(runs[i], run);
      runs[i] = nullptr;
    }
    runs[i] = run;
  }
  Slot* sorted = nullptr;
  for (Slot* run : runs) {
    if (run != nullptr) {
      sorted = MergeByDue(run, sorted);
    }
  }
  chain.first = sorted;
  chain.last = sorted;
  while (chain.last != nullptr && chain.last->next != nullptr) {
    chain.last = chain.last->next;
  }
  chain.sorted = true;
}

void MsgQueueDueMap::Merge(const Chain& chain, uint64_t now) {
  MsgQueueSlotPool pool(mQueue);
  for (Slot* slot = chain.first; slot != nullptr;) {
    Slot* next = slot->next;
    if (slot->pooled && slot->due > now) {
      Slot* single = new Slot;
      single->due = slot->due;
      single->handler = slot->handler;
      pool.Release(slot);
      slot = single;
    }
    // Due times mostly arrive in rising order, so the end is the first
    // guess; a wrong guess falls back to a search that still puts the item
    // after those of the same due time.
    mQueue.mItems.emplace_hint(mQueue.mItems.end(), slot->due, slot);
    slot = next;
  }
}

MsgQueueDueMap::Slot* MsgQueueDueMap::TakeDuePrefix(Chain& chain, uint64_t now) {
  if (chain.first == nullptr || !chain.sorted || chain.first->due > now) {
    return nullptr;
  }
  // Pending items due by the chain's first run before it (at the same due
  // time they were queued earlier); one due later, and by `now`, would have
  // to run amid the chain.
  const auto after_first = mQueue.mItems.upper_bound(chain.first->due);
  if (after_first != mQueue.mItems.end() && after_first->first <= now) {
    return nullptr;
  }
  Slot* const due = chain.first;
  // Mostly the whole chain is due; otherwise only the items pushed between
  // the clock reading and the take are not.
  Slot* last = chain.last->due <= now ? chain.last : chain.first;
  while (last->next != nullptr && last->next->due <= now) {
    last = last->next;
  }
  chain.first = last->next;
  chain.last = chain.first != nullptr ? chain.last : nullptr;
  last->next = nullptr;
  return due;
}

MsgQueueDueMap::Slot** MsgQueueDueMap::TakeDue(Chain incoming, uint64_t now, Slot** tail) {
  // Sorted here, without an allocation per item, rather than in the map.
  SortByDue(incoming);
  Slot* const incoming_last = incoming.last;
  Slot* const due_in_chain = TakeDuePrefix(incoming, now);
  const bool whole_chain_due = due_in_chain != nullptr && incoming.first == nullptr;
  Merge(incoming, now);
  MsgQueue::ItemMap& items = mQueue.mItems;
  auto due_end = items.begin();
  for (; due_end != items.end() && due_end->first <= now; ++due_end) {
    *tail = due_end->second;
    tail = &due_end->second->next;
  }
  items.erase(items.begin(), due_end);
  *tail = due_in_chain;
  if (due_in_chain == nullptr) {
    return tail;
  }
  if (whole_chain_due) {
    return &incoming_last->next;
  }
  while (*tail != nullptr) {
    tail = &(*tail)->next;
  }
  return tail;
}

void MsgQueueDueMap::Remove(IMsgHandler* handler) {
  MsgQueueSlotPool pool(mQueue);
  MsgQueue::ItemMap& items = mQueue.mItems;
  for (auto it = items.begin(); it != items.end();) {
    if (handler != nullptr && it->second->handler != handler) {
      ++it;
      continue;
    }
    it->second->handler->NotifyFinished();
    pool.Release(it->second);
    it = items.erase(it);
  }
}

uint64_t MsgQueueDueMap::EarliestDue(uint64_t none) const {
  return mQueue.mItems.empty() ? none : mQueue.mItems.begin()->first;
}

}  // namespace osal
