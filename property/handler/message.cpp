#include "property/handler/message.h"

#include <chrono>
#include <limits>
#include <utility>

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kNsPerMs = 1000000;

// Now plus `delay` milliseconds, held at the ends of the range: a delay too
// large to represent must not wrap round and put a far message first.
int64_t DueTime(long delay) {
  const int64_t limit = delay < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
  int64_t offset = 0;
  int64_t due = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(delay), kNsPerMs, &offset) ||
      __builtin_add_overflow(NowNs(), offset, &due)) {
    return limit;
  }
  return due;
}

}  // namespace

Message::Message(int what, int first, int second, long delay)
    : mWhat(what), mArg1(first), mArg2(second), mWhen(DueTime(delay)) {}

Message::Message(const Message& other) = default;
Message& Message::operator=(const Message& other) = default;
Message::Message(Message&& other) noexcept = default;
Message& Message::operator=(Message&& other) noexcept = default;
Message::~Message() = default;

void Message::SetString(std::string str) { mString = std::move(str); }

void Message::SetWhen(long delay) { mWhen = DueTime(delay); }

void Message::SetFunction(std::function<void()> fn) { mFunction = std::move(fn); }
