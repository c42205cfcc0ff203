// IMsgHandler and MsgHandlerBase: work items for MsgQueue.
//
// A handler is any object implementing IMsgHandler. The queue calls
// HandleMsg on its worker thread when an item of the handler is due, and
// NotifyFinished when it discards a pending item (RemoveMsg, Stop), so that
// nobody waits for work that will never run. The queue never calls
// NotifyFinished after HandleMsg: a handler whose completion is awaited calls
// it itself when its work is done.
//
// MsgHandlerBase adds a one-shot completion signal:
//
//   class Decode : public osal::MsgHandlerBase {
//     void HandleMsg(int32_t&) override { DecodeOneFrame(); NotifyFinished(); }
//   };
//   Decode decode;
//   queue.QueueMsg(&decode, 5'000'000);  // in 5 ms
//   decode.Wait();                       // ran, or was discarded
//
// Ownership: the queue does not own handlers; a handler stays alive until
// each of its items has run or been discarded. Handlers are identified by
// address, so they are neither copyable nor movable.
#ifndef OSAL_THREAD_MSG_HANDLER_H_
#define OSAL_THREAD_MSG_HANDLER_H_

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "osal/osal_export.h"

namespace osal {

class OSAL_EXPORT IMsgHandler {
 public:
  IMsgHandler() = default;
  virtual ~IMsgHandler();
  IMsgHandler(const IMsgHandler&) = delete;
  IMsgHandler& operator=(const IMsgHandler&) = delete;

  // The work, on the queue's worker, without the queue's lock held (so it may
  // call QueueMsg, RemoveMsg and GetThreadId of its queue, but not Stop).
  // `argument` refers to the item's argument word, valid until return.
  virtual void HandleMsg(int32_t& argument) = 0;

  // Blocks until the handler reports completion. Does nothing here: a
  // handler without a completion signal has nothing to wait for.
  virtual void Wait();

  // Reports completion. The queue calls it with its lock held, so an
  // implementation must not call back into that queue. Does nothing here.
  virtual void NotifyFinished();
};

// A handler with a one-shot completion signal: once NotifyFinished has been
// called, every Wait, past and future, returns. The signal is never reset.
// Wait and NotifyFinished may be called from any thread.
class OSAL_EXPORT MsgHandlerBase : public IMsgHandler {
 public:
  MsgHandlerBase();
  ~MsgHandlerBase() override;

  // Returns once NotifyFinished has been called, at once if it already was.
  void Wait() override;

  // Sets the signal and wakes every waiter. Takes only this handler's mutex.
  void NotifyFinished() override;

 private:
  bool mFinished = false;  // guarded by mMutex
  std::mutex mMutex;
  std::condition_variable mCond;
};

}  // namespace osal

#endif  // OSAL_THREAD_MSG_HANDLER_H_
