#include "property/handler/message.h"

#include <chrono>
#include <utility>

namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

constexpr int64_t kNsPerMs = 1000000;

}  // namespace

Message::Message(int what, int first, int second, long delay)
    : mWhat(what), mArg1(first), mArg2(second), mWhen(NowNs() + delay * kNsPerMs) {}

Message::Message(const Message& other) = default;
Message& Message::operator=(const Message& other) = default;
Message::Message(Message&& other) noexcept = default;
Message& Message::operator=(Message&& other) noexcept = default;
Message::~Message() = default;

void Message::SetString(std::string str) { mString = std::move(str); }

void Message::SetWhen(long delay) { mWhen = NowNs() + delay * kNsPerMs; }

void Message::SetFunction(std::function<void()> fn) { mFunction = std::move(fn); }
