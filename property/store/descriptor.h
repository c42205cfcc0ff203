// Descriptor: owns one file descriptor and closes it when it goes. Internal
// to the store; not copyable, not movable.
#ifndef PROPERTY_STORE_DESCRIPTOR_H_
#define PROPERTY_STORE_DESCRIPTOR_H_

#include <unistd.h>

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : mFd(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int Get() const { return mFd; }
  bool Valid() const { return mFd >= 0; }
  // Closes the descriptor held, if any, and holds `fd`.
  void Reset(int fd = -1) {
    if (mFd >= 0) close(mFd);
    mFd = fd;
  }
  // Gives up the descriptor without closing it.
  int Release() {
    const int fd = mFd;
    mFd = -1;
    return fd;
  }

 private:
  int mFd;
};

#endif  // PROPERTY_STORE_DESCRIPTOR_H_
