#include "osal/thread/msg_handler.h"

namespace osal {

IMsgHandler::~IMsgHandler() = default;

void IMsgHandler::Wait() {}

void IMsgHandler::NotifyFinished() {}

MsgHandlerBase::MsgHandlerBase() = default;

MsgHandlerBase::~MsgHandlerBase() = default;

void MsgHandlerBase::Wait() {
  std::unique_lock<std::mutex> lock(mMutex);
  mCond.wait(lock, [this] { return mFinished; });
}

void MsgHandlerBase::NotifyFinished() {
  std::lock_guard<std::mutex> lock(mMutex);
  mFinished = true;
  mCond.notify_all();
}

}  // namespace osal
