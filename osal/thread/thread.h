// Thread: the base of a long-lived, named, real-time worker thread.
//
// A subclass supplies Run(); Start() creates a thread that names itself,
// switches itself to first-in-first-out real-time scheduling at the given
// priority, publishes its kernel id and then calls Run() over and over until
// Run() returns false or the owner calls Stop().
//
//   class Poller : public osal::Thread {
//     bool Run() override { WaitForWork(); Handle(); return true; }
//   };
//   Poller poller;
//   poller.Start("poller", osal::Thread::kPriorityNormal);
//   ...
//   poller.Stop();  // before ~Poller: Run() must not be called on a dying object
//
// States: Idle (no thread; after construction and after Stop), Running,
// Stopping (Stop is joining), Finished (Run returned false; the thread has
// ended but is held until Stop). Start is refused with -17 in every state but
// Idle; a stopped object can be started again with a new name and priority.
//
// Stop() does not interrupt a blocked Run(): the subclass makes Run() return
// soon once a stop is requested (for example by waking its own condition
// variable before calling Stop). A Run() never busy-loops: it blocks until
// there is work.
//
// Thread safety: Start, Stop and GetId may be called from any thread except
// the worker itself (Stop from the worker is refused with a warning); two
// concurrent Stop calls on one object are not supported. Run is called on the
// worker only, never with the object's mutex held. The destructor calls Stop,
// so it too must not run on the worker; a subclass stops the thread in its
// own destructor or before it (the base's Stop runs after the subclass part
// is gone). If the platform cannot create a thread, Start throws
// std::system_error and the object stays Idle.
//
// Log lines go to the tag "ZuThread".
#ifndef OSAL_THREAD_THREAD_H_
#define OSAL_THREAD_THREAD_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "osal/osal_export.h"

namespace osal {

class OSAL_EXPORT Thread {
 public:
  // The first-in-first-out real-time priority of the worker; any value in
  // 1..99 may be cast to it. A value the platform refuses (or a process
  // without the privilege for real-time scheduling) leaves the worker under
  // its inherited scheduling, with a warning.
  enum Priority : int32_t {
    kPriorityLow = 1,
    kPriorityNormal = 10,
    kPriorityHigh = 50,
    kPriorityHighest = 99,
  };

  Thread();
  // Stops the worker (see the class comment: never on the worker itself).
  virtual ~Thread();

  // The object owns its thread: neither copyable nor movable.
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts the worker named `name` (the kernel keeps 15 bytes of it) at
  // `priority`. Returns 0, or -17 (and logs) when a thread is already held
  // (Running, Stopping or Finished); then nothing changes. Throws
  // std::system_error when the platform cannot create a thread.
  int Start(const std::string& name, Priority priority);

  // Asks the worker to leave its loop after the current Run() and joins it.
  // Does nothing when Idle. Called on the worker itself: logs a warning and
  // does nothing.
  void Stop();

  // Returns the worker's kernel thread id, or -1 when no thread is held. Right
  // after Start it may still be -1 until the worker has published its id.
  int GetId();

  // The worker's body that Start hands to the new thread. Not for callers.
  void ThreadFunc();

 protected:
  // One step of the worker's work. Returns true to be called again, false to
  // end the thread (which then stays held, Finished, until Stop).
  virtual bool Run() = 0;

 private:
  std::string mName = "Unkown";               // guarded by mMutex
  Priority mPriority = kPriorityNormal;        // guarded by mMutex
  int32_t mId = -1;                            // guarded by mMutex
  std::unique_ptr<std::thread> mThread;        // guarded by mMutex
  std::atomic<bool> mStop{true};               // read by the worker before every Run
  std::mutex mMutex;
  std::condition_variable mIdPublished;        // notified once the worker has set mId
};

}  // namespace osal

#endif  // OSAL_THREAD_THREAD_H_
