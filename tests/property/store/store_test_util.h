// Helpers shared by the property store tests: scratch files, a counting
// observer, and the guard for tests that use "/etc/j-config".
#ifndef TESTS_PROPERTY_STORE_STORE_TEST_UTIL_H_
#define TESTS_PROPERTY_STORE_STORE_TEST_UTIL_H_

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "property/store/observer.h"
#include "property/store/property_file.h"
#include "property/store/property_format.h"
#include "tests/support/private_config_dir.h"

namespace store_test {

constexpr char kConfigDir[] = "/etc/j-config";
constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";

using testing_support::ConfigDirIsPrivateTmpfs;

// Writes `text` with one open/write/close, so that the watcher sees one
// close after writing.
inline void WriteText(const std::string& path, const std::string& text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  close(fd);
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// The pairs of a property file's text, by the file's own line rules.
inline std::map<std::string, std::string> ParsePairs(const std::string& text) {
  property_format::Pairs pairs;
  std::string kept;
  property_format::Split(text, &pairs, kept);
  return {pairs.begin(), pairs.end()};
}

// The names in a directory, without "." and "..".
inline std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

// The inotify descriptors open in `process` ("self" or a process id).
inline std::vector<std::string> InotifyDescriptors(const std::string& process = "self") {
  const std::string fds = "/proc/" + process + "/fd";
  std::vector<std::string> found;
  for (const std::string& fd : ListDirectory(fds)) {
    char target[64] = "";
    const ssize_t length = readlink((fds + "/" + fd).c_str(), target, sizeof(target) - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == "anon_inode:inotify") found.push_back(fd);
  }
  return found;
}

// The threads of `process` ("self" or a process id).
inline size_t Threads(const std::string& process = "self") { return ListDirectory("/proc/" + process + "/task").size(); }

// Polls `done` until it holds; false after 20 seconds.
inline bool WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// A scratch directory under /tmp, removed with its files.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/property_test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    mPath = pattern;
  }
  ~TempDir() { std::system(("rm -rf " + mPath).c_str()); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string File(const std::string& name) const { return mPath + "/" + name; }

 private:
  std::string mPath;
};

// Counts notifications; optionally calls a hook (under the watcher's mutex).
class CountingObserver : public Observer {
 public:
  explicit CountingObserver(std::function<void()> hook = nullptr) : mHook(std::move(hook)) {}

  void UpdateInotify() override {
    if (mHook) mHook();
    {
      std::lock_guard<std::mutex> lock(mMutex);
      ++mCount;
    }
    mChanged.notify_all();
  }

  int Count() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mCount;
  }

  bool WaitForCount(int count) {
    std::unique_lock<std::mutex> lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::seconds(10), [&] { return mCount >= count; });
  }

 private:
  std::function<void()> mHook;
  std::mutex mMutex;
  std::condition_variable mChanged;
  int mCount = 0;  // guarded by mMutex
};

}  // namespace store_test

#endif  // TESTS_PROPERTY_STORE_STORE_TEST_UTIL_H_
