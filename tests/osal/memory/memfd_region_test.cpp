// Memory-file regions: creation, validity, sealing and size.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "osal/memory/memfd_region.h"
#include "tests/support/log_capture.h"

namespace osal {
namespace {

using testing::ElementsAre;
using testing::IsEmpty;
using testing_support::LogCapture;
using testing_support::LogLine;

constexpr unsigned long kPage = 4096;
constexpr unsigned long kGiB = 1UL << 30;

LogLine Line(int level, const std::string& message) { return {level, std::string("Memoryfd"), message}; }

// Closes the descriptor when the test ends, however it ends.
class Fd {
 public:
  explicit Fd(int fd) : mFd(fd) {}
  ~Fd() {
    if (mFd >= 0) close(mFd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return mFd; }

 private:
  int mFd;
};

// The descriptor number the next open would get.
int NextFd() {
  const int fd = dup(STDERR_FILENO);
  close(fd);
  return fd;
}

TEST(MemfdCreateRegionTest, RefusesAnEmptyNameOrASizeOfZero) {
  LogCapture log;
  EXPECT_EQ(MemfdCreateRegion("", kPage), -1);
  EXPECT_EQ(MemfdCreateRegion("buf", 0), -1);
  EXPECT_THAT(log.Lines(), ElementsAre(Line(6, "Is memfd name:   empty or size: 4096 less than zero?"),
                                       Line(6, "Is memfd name: buf  empty or size: 0 less than zero?")));
}

TEST(MemfdCreateRegionTest, CreatesASealableRegionOfTheGivenSize) {
  LogCapture log;
  Fd fd(MemfdCreateRegion("buf", kPage));
  ASSERT_GE(fd.get(), 0);
  EXPECT_TRUE(MemfdIsValid(fd.get()));
  EXPECT_EQ(MemfdGetRegionSize(fd.get()), static_cast<int>(kPage));
  EXPECT_EQ(fcntl(fd.get(), F_GET_SEALS), 0);  // sealing allowed, nothing sealed yet
  EXPECT_EQ(fcntl(fd.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_THAT(log.Lines(), IsEmpty());
}

TEST(MemfdCreateRegionTest, ReportsARefusedNameAndLeavesNoDescriptorWhenTheResizeFails) {
  const std::string longName(250, 'n');
  const int next = NextFd();
  LogCapture log;
  EXPECT_EQ(MemfdCreateRegion(longName, kPage), -1);
  // A size beyond the largest file offset: the file is made, the resize fails.
  EXPECT_EQ(MemfdCreateRegion("huge", ULONG_MAX), -1);
  EXPECT_EQ(NextFd(), next);
  EXPECT_THAT(log.Lines(), ElementsAre(Line(6, "MemfdCreateRegion(" + longName + ", 4096) failed: 22."),
                                       Line(6, "ftruncate(huge, -1) failed for memfd creation: 22.")));
}

TEST(MemfdIsValidTest, AcceptsOnlyDescriptorsWithSeals) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  Fd readEnd(pipeFds[0]);
  Fd writeEnd(pipeFds[1]);
  Fd unsealable(static_cast<int>(syscall(SYS_memfd_create, "plain", 0)));
  ASSERT_GE(unsealable.get(), 0);

  // Descriptor 0 is refused as a number: a memory file there is still
  // invalid, while the same file under another number is valid.
  Fd savedStdin(dup(0));
  ASSERT_GE(savedStdin.get(), 0);
  ASSERT_EQ(dup2(unsealable.get(), 0), 0);
  LogCapture log;
  const bool zeroValid = MemfdIsValid(0);
  ASSERT_EQ(dup2(savedStdin.get(), 0), 0);
  EXPECT_FALSE(zeroValid);
  EXPECT_FALSE(MemfdIsValid(-1));
  EXPECT_FALSE(MemfdIsValid(readEnd.get()));
  EXPECT_TRUE(MemfdIsValid(unsealable.get()));
  EXPECT_THAT(log.Lines(), ElementsAre(Line(6, "Invalid memfd: 0"), Line(6, "Invalid memfd: -1"),
                                       Line(6, "Invalid memfd: " + std::to_string(readEnd.get()))));
}

TEST(MemfdSetProtRegionTest, RefusesNoProtectionAndInvalidDescriptors) {
  Fd fd(MemfdCreateRegion("buf", kPage));
  ASSERT_GE(fd.get(), 0);
  LogCapture log;
  EXPECT_EQ(MemfdSetProtRegion(fd.get(), 0), -1);
  EXPECT_EQ(MemfdSetProtRegion(fd.get(), -1), -1);
  EXPECT_THAT(log.Lines(), IsEmpty());
  EXPECT_EQ(MemfdSetProtRegion(-1, PROT_READ), -1);
  EXPECT_THAT(log.Lines(), ElementsAre(Line(6, "Invalid memfd: -1")));
  EXPECT_EQ(fcntl(fd.get(), F_GET_SEALS), 0);
}

TEST(MemfdSetProtRegionTest, WritableProtectionSealsNothing) {
  Fd fd(MemfdCreateRegion("buf", kPage));
  ASSERT_GE(fd.get(), 0);
  LogCapture log;
  EXPECT_EQ(MemfdSetProtRegion(fd.get(), PROT_READ | PROT_WRITE), 0);
  EXPECT_THAT(log.Lines(), ElementsAre(Line(3, "Only proceed if the fd needs to be write-protected.")));
  EXPECT_EQ(fcntl(fd.get(), F_GET_SEALS), 0);
  EXPECT_EQ(pwrite(fd.get(), "x", 1, 0), 1);
}

TEST(MemfdSetProtRegionTest, SealRefusesNewWritesWhileAnOldMappingStillWrites) {
  Fd fd(MemfdCreateRegion("frame", kPage));
  ASSERT_GE(fd.get(), 0);
  void* mapped = mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* old = static_cast<char*>(mapped);
  memcpy(old, "before", 7);

  LogCapture log;
  ASSERT_EQ(MemfdSetProtRegion(fd.get(), PROT_READ), 0);
  EXPECT_EQ(fcntl(fd.get(), F_GET_SEALS) & F_SEAL_FUTURE_WRITE, F_SEAL_FUTURE_WRITE);

  errno = 0;
  EXPECT_EQ(pwrite(fd.get(), "x", 1, 0), -1);
  EXPECT_EQ(errno, EPERM);
  errno = 0;
  EXPECT_EQ(mmap(nullptr, kPage, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0), MAP_FAILED);
  EXPECT_EQ(errno, EPERM);

  memcpy(old, "after", 6);
  void* reader = mmap(nullptr, kPage, PROT_READ, MAP_SHARED, fd.get(), 0);
  ASSERT_NE(reader, MAP_FAILED);
  EXPECT_STREQ(static_cast<const char*>(reader), "after");

  EXPECT_EQ(MemfdSetProtRegion(fd.get(), PROT_READ), 0);
  EXPECT_EQ(MemfdSetProtRegion(fd.get(), PROT_READ | PROT_EXEC), 0);
  EXPECT_THAT(log.Lines(), IsEmpty());
  munmap(reader, kPage);
  munmap(mapped, kPage);
}

TEST(MemfdSetProtRegionTest, ReportsARefusedSeal) {
  // A memory file made without sealing allowed takes no further seal.
  Fd fd(static_cast<int>(syscall(SYS_memfd_create, "plain", 0)));
  ASSERT_GE(fd.get(), 0);
  LogCapture log;
  EXPECT_EQ(MemfdSetProtRegion(fd.get(), PROT_READ), -1);
  EXPECT_THAT(log.Lines(),
              ElementsAre(Line(6, "MemfdSetProtRegion(" + std::to_string(fd.get()) +
                                      ", 1): F_SEAL_FUTURE_WRITE seal failed: " + std::to_string(EPERM) + ".")));
}

TEST(MemfdGetRegionSizeTest, ReportsSizesUpToTheLargestIntAndRefusesLargerOnes) {
  // Memory files are sparse: these sizes allocate nothing.
  Fd largest(MemfdCreateRegion("largest", INT_MAX));
  Fd twoGiB(MemfdCreateRegion("two", 2 * kGiB));
  Fd fiveGiB(MemfdCreateRegion("five", 5 * kGiB));
  ASSERT_GE(largest.get(), 0);
  ASSERT_GE(twoGiB.get(), 0);
  ASSERT_GE(fiveGiB.get(), 0);

  LogCapture log;
  EXPECT_EQ(MemfdGetRegionSize(largest.get()), INT_MAX);
  EXPECT_EQ(MemfdGetRegionSize(twoGiB.get()), -1);
  EXPECT_EQ(MemfdGetRegionSize(fiveGiB.get()), -1);
  EXPECT_EQ(MemfdGetRegionSize(-1), -1);
  EXPECT_THAT(log.Lines(), ElementsAre(Line(6, "MemfdGetRegionSize(" + std::to_string(twoGiB.get()) +
                                                   "): size 2147483648 does not fit an int."),
                                       Line(6, "MemfdGetRegionSize(" + std::to_string(fiveGiB.get()) +
                                                   "): size 5368709120 does not fit an int."),
                                       Line(6, "Invalid memfd: -1")));
}

}  // namespace
}  // namespace osal
