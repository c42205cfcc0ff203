// The multi-process property store scenario, at full size, as counts:
//   - W writer processes set K distinct keys each at the same time, on a
//     file that holds 100 other keys, while a reader process reads a key
//     that is always there: keys lost, reads that got the default;
//   - a process running property_set in a loop is killed with SIGKILL at a
//     random moment, N times: files left damaged (not parsing to the whole
//     old or new contents), temporaries left over.
//
//   scripts/private-ns.sh build/default/bench/bench_property_scenario [W K N]
// (defaults 4 200 200); for the disk, bind-mount a directory of it on
// /etc/j-config as bench/property.cpp says. The processes are this program
// started again in another role (fill, read, churn).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/private_mount.h"
#include "platform/log/zu_log.h"
#include "property/store/property_api.h"
#include "property/store/property_file.h"
#include "property/store/property_format.h"

extern char** environ;

namespace {

constexpr char kDir[] = "/etc/j-config";
constexpr char kFile[] = "/etc/j-config/mj-gralloc.cfg";
constexpr int kBaseKeys = 100;
constexpr char kDefault[] = "\001default";

volatile sig_atomic_t gStop = 0;

// ---- roles -----------------------------------------------------------------

int Fill(const std::string& prefix, int count) {
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    failed += property_set((prefix + "." + std::to_string(i)).c_str(), std::to_string(i).c_str()) != 0 ? 1 : 0;
  }
  return failed == 0 ? 0 : 1;
}

int Read(const char* key) {
  signal(SIGTERM, [](int) { gStop = 1; });
  long reads = 0;
  long defaults = 0;
  char value[PROPERTY_VALUE_SIZE];
  while (gStop == 0) {
    property_get(key, value, kDefault);
    defaults += strcmp(value, kDefault) == 0 ? 1 : 0;
    if (++reads == 1) {
      printf("ready\n");
      fflush(stdout);
    }
  }
  printf("%ld %ld\n", reads, defaults);
  return 0;
}

[[noreturn]] void Churn() {
  for (long i = 1;; ++i) {
    property_set("churn.count", std::to_string(i).c_str());
    if (i == 1) {
      printf("ready\n");
      fflush(stdout);
    }
  }
}

// ---- the processes -----------------------------------------------------------

// This program in another role, its standard output on a pipe.
class Role {
 public:
  explicit Role(std::vector<std::string> args) {
    args.insert(args.begin(), "/proc/self/exe");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (posix_spawn(&mPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    mOut = fdopen(out[0], "r");
  }
  ~Role() {
    if (mPid > 0) Wait();
    fclose(mOut);
  }
  Role(const Role&) = delete;
  Role& operator=(const Role&) = delete;

  std::string Line() {
    char line[256] = "";
    if (fgets(line, sizeof(line), mOut) == nullptr) return "";
    return line;
  }
  void Signal(int signal) { kill(mPid, signal); }
  int Wait() {
    int status = 0;
    waitpid(mPid, &status, 0);
    mPid = -1;
    return status;
  }

 private:
  pid_t mPid = -1;
  FILE* mOut = nullptr;
};

std::string ReadFile() {
  std::ifstream in(kFile, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::map<std::string, std::string> Pairs(const std::string& text) {
  property_format::Pairs pairs;
  std::string kept;
  property_format::Split(text, &pairs, kept);
  return {pairs.begin(), pairs.end()};
}

std::string BaseFile() {
  std::string text = "# scenario\n";
  for (int i = 0; i < kBaseKeys; ++i) {
    char line[32];
    snprintf(line, sizeof(line), "base.%03d=value %d\n", i, i);
    text += line;
  }
  return text;
}

void Install(const std::string& text) {
  const std::string temporary = std::string(kDir) + "/scenario.new";
  std::ofstream(temporary, std::ios::binary) << text;
  rename(temporary.c_str(), kFile);
}

int MissingBaseKeys(const std::map<std::string, std::string>& pairs) {
  int missing = 0;
  for (int i = 0; i < kBaseKeys; ++i) {
    char key[16];
    snprintf(key, sizeof(key), "base.%03d", i);
    missing += pairs.count(key) == 1 && pairs.at(key) == "value " + std::to_string(i) ? 0 : 1;
  }
  return missing;
}

void Writers(int writers, int keys) {
  Install(BaseFile());
  Role reader({"read", "base.050"});
  reader.Line();  // ready
  std::vector<std::unique_ptr<Role>> running;
  for (int w = 0; w < writers; ++w) {
    running.push_back(std::make_unique<Role>(std::vector<std::string>{"fill", "w" + std::to_string(w), std::to_string(keys)}));
  }
  int failedWriters = 0;
  for (auto& writer : running) failedWriters += writer->Wait() != 0 ? 1 : 0;
  reader.Signal(SIGTERM);
  long reads = 0;
  long defaults = 0;
  sscanf(reader.Line().c_str(), "%ld %ld", &reads, &defaults);
  const auto pairs = Pairs(ReadFile());
  int lost = MissingBaseKeys(pairs);
  for (int w = 0; w < writers; ++w) {
    for (int i = 0; i < keys; ++i) {
      const std::string key = "w" + std::to_string(w) + "." + std::to_string(i);
      lost += pairs.count(key) == 1 && pairs.at(key) == std::to_string(i) ? 0 : 1;
    }
  }
  printf("writers: %d x %d new keys on a %d-key file: keys lost %d (of %d), writers failed %d; "
         "reader: %ld reads, %ld got the default\n",
         writers, keys, kBaseKeys, lost, kBaseKeys + writers * keys, failedWriters, reads, defaults);
}

int Temporaries() {
  int count = 0;
  for (const char* name : {".mj-gralloc.cfg.tmp"}) count += access((std::string(kDir) + "/" + name).c_str(), F_OK) == 0;
  return count;
}

void Kills(int kills) {
  Install(BaseFile());
  std::mt19937 random(std::random_device{}());
  int damaged = 0;
  int withTemporary = 0;
  long highest = 0;
  for (int i = 0; i < kills; ++i) {
    Role churn({"churn"});
    churn.Line();  // ready
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 5000));
    churn.Signal(SIGKILL);
    churn.Wait();
    const std::string text = ReadFile();
    const auto pairs = Pairs(text);
    const auto count = pairs.find("churn.count");
    const bool whole = count != pairs.end() && text == BaseFile() + "churn.count=" + count->second + "\n";
    damaged += whole ? 0 : 1;
    if (whole) highest = std::max(highest, atol(count->second.c_str()));
    withTemporary += Temporaries();
  }
  property_set("after.kills", "1");
  printf("kills: %d, files damaged %d, a dead writer's temporary present after %d of them, "
         "temporaries left after the next set %d (sets per life up to %ld)\n",
         kills, damaged, withTemporary, Temporaries(), highest);
}

}  // namespace

int main(int argc, char** argv) {
  ZuLogSetLevel(ZU_LOG_WARN);
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "fill" && argc == 4) return Fill(argv[2], atoi(argv[3]));
  if (role == "read" && argc == 3) return Read(argv[2]);
  if (role == "churn") Churn();
  if (!ConfigDirIsPrivateMount()) {
    fprintf(stderr, "/etc/j-config is not a private mount; run through scripts/private-ns.sh\n");
    return 1;
  }
  printf("file system: %s\n", ConfigDirMedium());
  Writers(argc > 1 ? atoi(argv[1]) : 4, argc > 2 ? atoi(argv[2]) : 200);
  Kills(argc > 3 ? atoi(argv[3]) : 200);
  return 0;
}
