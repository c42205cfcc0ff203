#include "property/store/fork_registry.h"

#include <pthread.h>

#include <atomic>

namespace {

// Held from a fork's first handler to its last, and by a Join: a part that
// joins during a fork neither runs its after-handler without its before-
// handler nor misses the fork halfway.
pthread_mutex_t gJoinMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<const ForkRegistry::Participant*> gParticipants[ForkRegistry::kRanks] = {};
std::atomic<bool> gForkedChild{false};
std::atomic<bool> gForkedWhileJoined[ForkRegistry::kRanks] = {};

void BeforeFork() {
  pthread_mutex_lock(&gJoinMutex);
  for (const auto& participant : gParticipants) {
    if (const ForkRegistry::Participant* part = participant.load(std::memory_order_relaxed)) part->before();
  }
}

// Calls `give_back(rank, part)` for every joined part, the last rank first.
template <typename GiveBack>
void InReverse(GiveBack give_back) {
  for (int rank = ForkRegistry::kRanks - 1; rank >= 0; --rank) {
    if (const ForkRegistry::Participant* part = gParticipants[rank].load(std::memory_order_relaxed)) {
      give_back(rank, *part);
    }
  }
}

void AfterForkInParent() {
  InReverse([](int, const ForkRegistry::Participant& part) { part.after_in_parent(); });
  pthread_mutex_unlock(&gJoinMutex);
}

void AfterForkInChild() {
  gForkedChild.store(true);
  InReverse([](int rank, const ForkRegistry::Participant& part) {
    gForkedWhileJoined[rank].store(true);
    part.after_in_child();
  });
  pthread_mutex_unlock(&gJoinMutex);
}

[[maybe_unused]] const int gInstalled = pthread_atfork(&BeforeFork, &AfterForkInParent, &AfterForkInChild);

}  // namespace

void ForkRegistry::Join(Rank rank, const Participant* participant) {
  if (gParticipants[rank].load(std::memory_order_acquire) != nullptr) return;
  pthread_mutex_lock(&gJoinMutex);
  if (gParticipants[rank].load(std::memory_order_relaxed) == nullptr) {
    gParticipants[rank].store(participant, std::memory_order_release);
  }
  pthread_mutex_unlock(&gJoinMutex);
}

bool ForkRegistry::InForkedChild() { return gForkedChild.load(); }

bool ForkRegistry::ForkedWhileJoined(Rank rank) { return gForkedWhileJoined[rank].load(); }
