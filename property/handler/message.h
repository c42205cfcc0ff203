// Message: the value a Handler carries from the threads that send it to the
// handler's own thread.
//
// A message holds a code (mWhat), two integer arguments, a text, an optional
// callable and a due time (mWhen, nanoseconds since the Unix epoch on the
// wall clock). mWhen only orders messages: a Handler hands pending messages
// out smallest mWhen first, and never waits until a message's mWhen has
// come. A delay therefore puts a message behind those with an earlier
// mWhen; it does not postpone it. When mFunction holds a target the handler
// runs it instead of HandleMessage.
//
//   Message msg(kWhatReload, fd);        // mWhen = now
//   Message later(kWhatRetry, 0, 0, 50); // mWhen = now + 50 ms: handled after
//                                        // msg, as soon as the loop gets to it
//   later.SetString("/etc/j-config/mj-gralloc.cfg");
//   handler->SendMessage(later);
//
// Messages are plain values: copies are independent (the callable's target
// is copied too) and every message owns what it holds. One message is not
// synchronised; the Handler queue copies it under its own lock.
#ifndef PROPERTY_HANDLER_MESSAGE_H_
#define PROPERTY_HANDLER_MESSAGE_H_

#include <cstdint>
#include <functional>
#include <string>

#include "property/property_export.h"

class PROPERTY_EXPORT Message {
 public:
  // Code, arguments and a delay in milliseconds (zero or negative allowed);
  // mWhen becomes the current wall-clock time plus the delay, held at the
  // int64_t limits when the sum falls outside them. The delay orders the
  // message; no handler waits for it to pass.
  Message(int what, int first, int second, long delay);
  Message() : Message(0, 0, 0, 0) {}
  explicit Message(int what) : Message(what, 0, 0, 0) {}
  Message(int what, int first) : Message(what, first, 0, 0) {}
  Message(int what, int first, int second) : Message(what, first, second, 0) {}

  // Copies every field, mWhen included, with a copy of the callable.
  Message(const Message& other);
  Message& operator=(const Message& other);
  // The handler's loop moves a message out of its queue before handling it.
  Message(Message&& other) noexcept;
  Message& operator=(Message&& other) noexcept;
  virtual ~Message();

  // mString becomes a copy of `str`.
  void SetString(std::string str);
  // mWhen becomes now (wall clock) plus `delay` milliseconds, held at the
  // int64_t limits like the constructor's.
  void SetWhen(long delay);
  // mFunction becomes a copy of `fn`; an empty `fn` empties it.
  void SetFunction(std::function<void()> fn);

  // True when this message is due later than `other`; only mWhen counts.
  bool operator>(const Message& other) const { return mWhen > other.mWhen; }

  int32_t mWhat = 0;   // message code; a negative code never reaches HandleMessage
  int32_t mArg1 = 0;
  int32_t mArg2 = 0;
  std::string mString;
  std::function<void()> mFunction;  // when set, run instead of HandleMessage
  int64_t mWhen = 0;   // ordering key, ns since the epoch (wall clock); never waited for
};

#endif  // PROPERTY_HANDLER_MESSAGE_H_
