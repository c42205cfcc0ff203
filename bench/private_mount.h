// The guard of the property benchmarks: they rewrite "/etc/j-config" and run
// only where that directory is a private mount (scripts/private-ns.sh makes
// a tmpfs there; a directory of the disk may be bind-mounted over it).
#ifndef BENCH_PRIVATE_MOUNT_H_
#define BENCH_PRIVATE_MOUNT_H_

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <fstream>
#include <string>

// True when /etc/j-config is a mount point of a mount namespace of this
// process's own. Where pid 1's namespace cannot be looked at, the mount
// point alone decides.
inline bool ConfigDirIsPrivateMount() {
  std::ifstream mounts("/proc/self/mountinfo");
  bool mounted = false;
  for (std::string line; std::getline(mounts, line);) mounted = mounted || line.find(" /etc/j-config ") != std::string::npos;
  struct stat mine = {};
  struct stat init = {};
  const bool shared = stat("/proc/self/ns/mnt", &mine) == 0 && stat("/proc/1/ns/mnt", &init) == 0 &&
                      mine.st_ino == init.st_ino;
  return mounted && !shared;
}

// What /etc/j-config is on: "tmpfs" or "disk".
inline const char* ConfigDirMedium() {
  struct statfs info = {};
  statfs("/etc/j-config", &info);
  return info.f_type == TMPFS_MAGIC ? "tmpfs" : "disk";
}

#endif  // BENCH_PRIVATE_MOUNT_H_
