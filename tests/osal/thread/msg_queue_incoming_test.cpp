// The incoming list's own copy (compiled into this test) over an idle
// queue: pushes are refused while it is closed, a take hands back every
// pushed item oldest first and says whether their due times rise, and an
// armed sleep is woken once, by the first push due before its wake-up time.
#include "osal/thread/msg_queue_incoming.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "gtest/gtest.h"

namespace {

using Slot = osal::MsgQueueIncoming::Slot;
using Pushed = osal::MsgQueueIncoming::Pushed;

// One step: 'o' opens, 'c' closes, 'p' pushes an item due `due` (want: the
// Pushed value), 'a' arms a sleep until `due` (want: 1 if the worker may
// sleep), 't' takes (want: 1 if sorted; `labels`: the items, oldest first).
struct Step {
  char op;
  uint64_t due;
  int want;
  const char* labels;
};

constexpr int kRefused = static_cast<int>(Pushed::kRefused);
constexpr int kQueued = static_cast<int>(Pushed::kQueued);
constexpr int kWake = static_cast<int>(Pushed::kWakeWorker);

TEST(MsgQueueIncoming, RefusesWhileClosedTakesOldestFirstAndWakesAnArmedSleepOnce) {
  const std::vector<std::pair<const char*, std::vector<Step>>> scripts = {
      {"closed", {{'p', 1, kRefused, ""}, {'o', 0, 0, ""}, {'p', 1, kQueued, ""}, {'c', 0, 0, ""},
                  {'p', 1, kRefused, ""}, {'t', 0, 1, "A"}}},
      {"order", {{'o', 0, 0, ""}, {'p', 3, kQueued, ""}, {'p', 1, kQueued, ""}, {'p', 2, kQueued, ""},
                 {'t', 0, 0, "ABC"}, {'p', 1, kQueued, ""}, {'p', 1, kQueued, ""}, {'t', 0, 1, "DE"}}},
      {"wake once", {{'o', 0, 0, ""}, {'a', 100, 1, ""}, {'p', 200, kQueued, ""}, {'p', 50, kWake, ""},
                     {'p', 40, kQueued, ""}, {'t', 0, 0, "ABC"}}},
      {"busy", {{'o', 0, 0, ""}, {'p', 5, kQueued, ""}, {'a', 100, 0, ""}, {'p', 1, kQueued, ""},
                {'t', 0, 0, "AB"}, {'a', 100, 1, ""}, {'p', 1, kWake, ""}, {'t', 0, 1, "C"}}},
  };
  for (const auto& [what, steps] : scripts) {
    osal::MsgQueue queue;  // idle: its list is closed
    osal::MsgQueueIncoming incoming(queue);
    char next = 'A';
    for (const Step& step : steps) {
      if (step.op == 'o') incoming.Open();
      if (step.op == 'c') incoming.Close();
      if (step.op == 'a') {
        EXPECT_EQ(incoming.Arm(step.due), step.want == 1) << what;
      }
      if (step.op == 'p') {
        Slot* slot = new Slot;
        slot->due = step.due;
        slot->handler = reinterpret_cast<osal::IMsgHandler*>(static_cast<uintptr_t>(next));
        const Pushed pushed = incoming.Push(slot);
        EXPECT_EQ(static_cast<int>(pushed), step.want) << what << ", push " << next;
        if (pushed == Pushed::kRefused) {
          delete slot;
        } else {
          ++next;
        }
      }
      if (step.op == 't') {
        const osal::MsgQueueIncoming::Chain chain = incoming.Take(0);
        std::string labels;
        for (Slot* slot = chain.first; slot != nullptr;) {
          labels += static_cast<char>(reinterpret_cast<uintptr_t>(slot->handler));
          delete std::exchange(slot, slot->next);
        }
        EXPECT_EQ(labels, step.labels) << what;
        EXPECT_EQ(chain.sorted, step.want == 1) << what;
      }
    }
  }
}

}  // namespace
