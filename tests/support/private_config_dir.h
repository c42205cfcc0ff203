// The guard of every test that uses "/etc/j-config": the test command
// (scripts/private-ns.sh) mounts a private tmpfs there, and a test that does
// not find one skips, so that no machine's real property file is touched.
#ifndef TESTS_SUPPORT_PRIVATE_CONFIG_DIR_H_
#define TESTS_SUPPORT_PRIVATE_CONFIG_DIR_H_

#include <linux/magic.h>
#include <sys/statfs.h>

namespace testing_support {

// True when /etc/j-config is a tmpfs (the private one the test command mounts).
inline bool ConfigDirIsPrivateTmpfs() {
  struct statfs info = {};
  return statfs("/etc/j-config", &info) == 0 && info.f_type == TMPFS_MAGIC;
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_PRIVATE_CONFIG_DIR_H_
