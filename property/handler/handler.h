// Handler: a message loop with a thread of its own.
//
// Any thread sends Messages; the handler's thread takes them one at a time,
// smallest mWhen first, and either runs the message's callable or passes the
// message to the virtual HandleMessage. mWhen is only a priority: the loop
// never waits for a due time, it handles the earliest pending message at
// once, so a message built with a delay of 50 ms is not handled 50 ms later
// but only after the messages with an earlier mWhen. Messages with equal
// mWhen are handled in the order they were sent.
//
//   class Reloader : public Handler {
//     void HandleMessage(const Message& msg) override { ... }
//    public:
//     ~Reloader() override { StopAndJoin(); }  // before members go away
//   };
//
// Stopping: StopSafty(false) drops whatever is pending at the loop's next
// turn; StopSafty(true) and the destructor handle everything still queued
// first. Sends never look at the stop flags: a message sent after the loop
// ended waits unhandled until the handler is destroyed.
//
// SendMessageSync waits for a completion signal that the handler itself never
// gives: a subclass's HandleMessage gives it with SignalSyncDone(). The
// signal is one flag, not tied to a message: a signal given while nobody
// waits releases the next SendMessageSync at once.
//
// Threads and locks: mQueueMutex guards the queue and the stop flags and is
// never held while a message is dispatched; mSyncMutex guards mSyncDone; the
// two are never held together. A handler must not be destroyed from its own
// thread, and SendMessageSync must not be called from it.
//
// Lifetime: the destructor drains the queue and joins the thread. While the
// Handler part is destroyed the subclass part is already gone, so a subclass
// whose HandleMessage uses its own members calls StopAndJoin() in its own
// destructor.
#ifndef PROPERTY_HANDLER_HANDLER_H_
#define PROPERTY_HANDLER_HANDLER_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "property/handler/message.h"
#include "property/property_export.h"

class PROPERTY_EXPORT Handler {
 public:
  // Starts the loop thread; a failure to start it throws std::system_error.
  Handler();
  // Stops safely (pending messages are handled) and joins the thread.
  virtual ~Handler();
  Handler(const Handler&) = delete;
  Handler& operator=(const Handler&) = delete;

  // Called on the loop thread for each message without a callable and with a
  // code of 0 or more. Does nothing here.
  virtual void HandleMessage(const Message& msg);

  // Runs msg.mFunction if it holds a target; otherwise calls HandleMessage
  // unless msg.mWhat is negative.
  void DispatchMessage(const Message& msg);

  // Queues a copy of `msg` at its place by mWhen. Always returns true.
  bool SendMessage(const Message& msg);

  // Queues a copy of `msg`, then waits for the completion signal (see the
  // top of this file) and consumes it. Returns true.
  bool SendMessageSync(const Message& msg);

  // Requests a stop, safe (drain first) if `safely`, else immediate. Does
  // not wait.
  void StopSafty(bool safely);

  // True once either stop has been requested.
  bool IsQuiting();

 protected:
  // Gives the completion signal that releases one SendMessageSync.
  void SignalSyncDone();

  // Stops safely and waits until the loop thread has ended. For subclass
  // destructors; must not be called from the loop thread.
  void StopAndJoin();

  bool mSyncDone = false;  // guarded by mSyncMutex
  std::condition_variable mSyncCond;
  // Pending messages keyed by mWhen; the first is handled next, and equal
  // due times keep the order they were sent in. A send or a take is
  // logarithmic and never moves the other pending messages.
  std::multimap<int64_t, Message> mQueue;  // guarded by mQueueMutex
  std::mutex mSyncMutex;
  std::mutex mQueueMutex;
  std::condition_variable mQueueCond;
  std::thread mThread;
  bool mQuit = false;         // guarded by mQueueMutex
  bool mQuitSafely = false;   // guarded by mQueueMutex

 private:
  void Loop();
  void Enqueue(const Message& msg);
};

#endif  // PROPERTY_HANDLER_HANDLER_H_
