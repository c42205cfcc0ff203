// Property store: property_set / property_get on "/etc/j-config/mj-gralloc.cfg",
// and a change made by another process picked up on the next property_get.
// scripts/demo.sh runs the demo with a private tmpfs on /etc/j-config, so
// the file written here is the demo's own.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "examples/demo.h"
#include "property/property.h"

namespace {

constexpr char kConfigFile[] = "/etc/j-config/mj-gralloc.cfg";

bool PrivateConfigDir() {
  struct statfs info = {};
  return statfs("/etc/j-config", &info) == 0 && info.f_type == TMPFS_MAGIC;
}

void PrintFile() {
  printf("  --- %s ---\n", kConfigFile);
  FILE* file = fopen(kConfigFile, "r");
  if (file == nullptr) return;
  char line[256];
  while (fgets(line, sizeof(line), file) != nullptr) printf("  | %s", line);
  fclose(file);
}

void Show(const char* key, const char* fallback) {
  char value[PROPERTY_VALUE_SIZE];
  const int length = property_get(key, value, fallback);
  printf("  property_get(\"%s\", default \"%s\") -> \"%s\" (%d)\n", key, fallback ? fallback : "(null)",
         value, length);
}

// The child is another writer of the file: it rewrites one value with a
// plain open/write/close, as any other process would, and exits.
void RewriteInAnotherProcess() {
  const std::string text = "# written by the demo\ndisplay.mode=1080p\ngralloc.debug=0\ngralloc.heap=system\n";
  fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const int fd = open(kConfigFile, O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, text.data(), text.size()) < 0) _exit(1);
    close(fd);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  printf("  process %d rewrote the file (gralloc.heap=system) and exited with %d\n", child, WEXITSTATUS(status));
}

void Run() {
  if (!PrivateConfigDir()) {
    printf("  /etc/j-config is not a private tmpfs: skipped (run scripts/demo.sh, which provides one)\n");
    return;
  }
  // The library never creates the file; the platform ships it.
  FILE* file = fopen(kConfigFile, "w");
  if (file == nullptr) return;
  fputs("# written by the demo\ndisplay.mode=1080p\n", file);
  fclose(file);

  printf("  property_set(\"gralloc.debug\", \"1\") -> %d\n", property_set("gralloc.debug", "1"));
  printf("  property_set(\"gralloc.heap\", \"cma\") -> %d\n", property_set("gralloc.heap", "cma"));
  printf("  property_set(\"bad\", \"a\\nb=c\") -> %d (a newline would add a pair)\n", property_set("bad", "a\nb=c"));
  printf("  property_set(\"bad\", \"v # note\") -> %d (it would read back as \"v\")\n",
         property_set("bad", "v # note"));
  Show("gralloc.heap", "none");
  Show("display.mode", nullptr);
  Show("gralloc.absent", "fallback");
  PrintFile();

  RewriteInAnotherProcess();
  // The watcher tells this process on its own threads; the next property_get
  // after that re-reads the file.
  char value[PROPERTY_VALUE_SIZE];
  const auto start = std::chrono::steady_clock::now();
  while (property_get("gralloc.heap", value, "") > 0 && strcmp(value, "system") != 0 &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  const auto waited = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  printf("  picked up %lld us after the writer had exited:\n", static_cast<long long>(waited.count()));
  Show("gralloc.heap", "none");
  Show("gralloc.debug", "none");
}

const bool kRegistered = demo::Register({"6 property store", &Run});

}  // namespace
