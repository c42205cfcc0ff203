// propctl get, set and list, and its command line, run as programs of their
// own on "/etc/j-config/mj-gralloc.cfg". The tests refuse to run unless that
// directory is a private tmpfs (the test command runs them through
// scripts/private-ns.sh).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/tools/propctl/propctl_process.h"

namespace {

using propctl_test::kConfigFile;
using propctl_test::PropctlProcess;
using propctl_test::ReadText;
using propctl_test::Result;
using propctl_test::Propctl;
using propctl_test::ReplaceText;

constexpr char kInitial[] = "# head\nb=2\na = 1  # note\nempty=\nplain text\n";

class PropctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!propctl_test::ConfigDirIsPrivateTmpfs()) {
      GTEST_SKIP() << "/etc/j-config is not a private tmpfs; run through scripts/private-ns.sh";
    }
    ReplaceText(kConfigFile, kInitial);
  }
};

// A failure is reported on exactly one line of standard error.
void ExpectOneLineReason(const Result& result) {
  EXPECT_TRUE(result.out.empty()) << result.out;
  ASSERT_FALSE(result.err.empty());
  EXPECT_EQ(result.err.find("propctl: "), 0u) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

TEST_F(PropctlTest, GetPrintsTheValueOrTheDefault) {
  Result result = Propctl({"get", "a"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "1\n");

  result = Propctl({"get", "missing", "fallback"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "fallback\n");

  // A stored empty value counts as absent; an empty default is still printed.
  result = Propctl({"get", "empty", ""});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "\n");

  // A value starting with '-' follows "--".
  result = Propctl({"get", "missing", "--", "-1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "-1\n");
}

TEST_F(PropctlTest, GetWithoutValueOrDefaultPrintsNothingAndExitsOne) {
  for (const char* key : {"missing", "empty"}) {
    const Result result = Propctl({"get", key});
    EXPECT_EQ(result.status, 1) << key;
    EXPECT_EQ(result.out, "") << key;
    EXPECT_EQ(result.err, "") << key;
  }
}

TEST_F(PropctlTest, GetOnAMissingFileOrADirectorySaysSoAndExitsFour) {
  unlink(kConfigFile);
  for (const std::string& path : {std::string(kConfigFile), std::string("/etc/j-config")}) {
    Result result = Propctl({"-f", path, "get", "a"});
    EXPECT_EQ(result.status, 4);
    ExpectOneLineReason(result);
    result = Propctl({"-f", path, "get", "a", "d"});
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, "d\n");  // the default still applies
    EXPECT_NE(result.err.find(path + ": "), std::string::npos) << result.err;
  }
}

TEST_F(PropctlTest, SetRewritesTheFileKeepingItsOtherLines) {
  const std::string longest(91, 'v');
  EXPECT_EQ(Propctl({"set", "c", "3"}).status, 0);
  EXPECT_EQ(Propctl({"set", "a", longest}).status, 0);
  EXPECT_EQ(ReadText(kConfigFile), "# head\nplain text\na=" + longest + "\nb=2\nc=3\nempty=\n");
  EXPECT_EQ(Propctl({"get", "c"}).out, "3\n");
}

TEST_F(PropctlTest, SetAndUnsetRefuseABadPairNamingTheRuleAndLeaveTheFileAlone) {
  const struct {
    std::vector<std::string> args;
    const char* rule;
  } refused[] = {
      {{"set", "", "v"}, "the key is empty"},
      {{"set", "k", std::string(92, 'v')}, "the value has 92 characters, more than 91"},
      {{"set", "k", "two\nlines"}, "the value holds a newline"},
      {{"set", "two\nlines", "v"}, "the key holds a newline"},
      {{"set", "a#b", "v"}, "the key holds '#'"},
      {{"set", "k", "a # note"}, "the value holds '#'"},
      {{"set", "k=x", "v"}, "the key holds '='"},
      {{"set", " k", "v"}, "the key starts with a blank"},
      {{"set", "k", "v\t"}, "the value ends with a tab"},
      {{"unset", "a#b"}, "the key holds '#'"},
      {{"unset", ""}, "the key is empty"},
  };
  for (const auto& c : refused) {
    const Result result = Propctl(c.args);
    EXPECT_EQ(result.status, 3) << c.rule;
    ExpectOneLineReason(result);
    EXPECT_EQ(result.err.find(std::string("propctl: refused: ") + c.rule), 0u) << result.err;
  }
  EXPECT_EQ(ReadText(kConfigFile), kInitial);
}

TEST_F(PropctlTest, UnsetRemovesThePairAndKeepsTheOtherLines) {
  EXPECT_EQ(Propctl({"unset", "b"}).status, 0);
  EXPECT_EQ(Propctl({"unset", "never.set"}).status, 0);
  EXPECT_EQ(ReadText(kConfigFile), "# head\nplain text\na=1\nempty=\n");
  EXPECT_EQ(Propctl({"get", "b"}).status, 1);
}

TEST_F(PropctlTest, SetOrUnsetOnAMissingFileOrADirectoryFailsWithTheReason) {
  unlink(kConfigFile);
  const struct {
    std::string path;
    const char* reason;
  } cases[] = {{kConfigFile, "no such file"}, {"/etc/j-config", "Is a directory"}};
  for (const auto& c : cases) {
    for (const std::vector<std::string>& command : {std::vector<std::string>{"set", "k", "v"}, {"unset", "k"}}) {
      std::vector<std::string> args = {"-f", c.path};
      args.insert(args.end(), command.begin(), command.end());
      const Result result = Propctl(args);
      EXPECT_EQ(result.status, 4);
      ExpectOneLineReason(result);
      EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    }
  }
  EXPECT_EQ(ReadText(kConfigFile), std::nullopt);
}

TEST_F(PropctlTest, ListPrintsEveryPairSortedWithWholeValues) {
  const std::string long_value(120, 'x');
  ReplaceText(kConfigFile, "# head\nz=last\nb=2\na = 1  # note\nempty=\nb=3\nlong=" + long_value + "\n");
  const Result result = Propctl({"list"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "a=1\nb=3\nempty=\nlong=" + long_value + "\nz=last\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(PropctlTest, ListFiltersByKeyPrefix) {
  ReplaceText(kConfigFile, "a=1\nab=2\nb=3\n");
  EXPECT_EQ(Propctl({"list", "a"}).out, "a=1\nab=2\n");
  EXPECT_EQ(Propctl({"list", "ab"}).out, "ab=2\n");
  EXPECT_EQ(Propctl({"list", "c"}).out, "");
}

TEST_F(PropctlTest, ListOfAMissingFileOrADirectoryOrToAFullOutputFails) {
  EXPECT_EQ(Propctl({"list"}, "/dev/full").status, 4);
  EXPECT_EQ(Propctl({"--help"}, "/dev/full").status, 4);
  unlink(kConfigFile);
  for (const char* path : {kConfigFile, "/etc/j-config"}) {
    const Result result = Propctl({"-f", path, "list"});
    EXPECT_EQ(result.status, 4);
    ExpectOneLineReason(result);
  }

  ReplaceText(kConfigFile, "");
  EXPECT_EQ(Propctl({"list"}).status, 0);
}

TEST_F(PropctlTest, FileOptionWorksOnAnotherFileOnly) {
  char pattern[] = "/tmp/propctl_test.XXXXXX";
  const int fd = mkstemp(pattern);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string other = pattern;
  ReplaceText(other, "x=1\n");

  EXPECT_EQ(Propctl({"-f", other, "set", "y", "2"}).status, 0);
  EXPECT_EQ(Propctl({"--file", other, "get", "x"}).out, "1\n");
  EXPECT_EQ(Propctl({"--file=" + other, "list"}).out, "x=1\ny=2\n");
  // Options stand anywhere, also bundled.
  EXPECT_EQ(Propctl({"list", "-f", other, "y"}).out, "y=2\n");
  EXPECT_EQ(Propctl({"-vf", other, "get", "x"}).out, "1\n");
  EXPECT_EQ(Propctl({"-f" + other, "get", "y"}).out, "2\n");
  EXPECT_EQ(Propctl({"get", "y"}).status, 1);
  EXPECT_EQ(ReadText(kConfigFile), kInitial);
  unlink(other.c_str());
}

TEST_F(PropctlTest, LibraryLogLinesShowOnlyWithVerbose) {
  // The library logs every set; a failed set logs more.
  EXPECT_EQ(Propctl({"set", "k", "v"}).err, "");
  EXPECT_EQ(Propctl({"get", "k"}).err, "");
  EXPECT_NE(Propctl({"set", "k", "w", "-v"}).err.find("CONFIG_FILE: " + std::string(kConfigFile)), std::string::npos);
  unlink(kConfigFile);
  const Result quiet = Propctl({"set", "k", "v"});
  EXPECT_EQ(quiet.err.find("file write error"), std::string::npos) << quiet.err;
  EXPECT_NE(Propctl({"--verbose", "set", "k", "v"}).err.find("file write error"), std::string::npos);
}

TEST_F(PropctlTest, HelpAndVersion) {
  Result result = Propctl({"--version"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "propctl " PROPCTL_VERSION "\n");
  EXPECT_EQ(result.err, "");

  result = Propctl({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.find("Usage: propctl"), 0u);
  for (const char* command : {"get KEY", "set KEY VALUE", "unset KEY", "list [PREFIX]", "watch [KEY...]"}) {
    EXPECT_NE(result.out.find(command), std::string::npos) << command;
  }
}

TEST_F(PropctlTest, CommandLineMistakesExitTwo) {
  const std::vector<std::vector<std::string>> mistakes = {
      {},
      {"frobnicate"},
      {"get"},
      {"get", "a", "b", "c"},
      {"get", ""},
      {"set", "k"},
      {"list", "a", "b"},
      {"unset"},
      {"--bogus", "list"},
      {"list", "-x"},
      {"get", "missing", "-1"},
      {"list", "--file"},
      {"-f"},
      {"-f", "", "list"},
  };
  for (const auto& args : mistakes) {
    const Result result = Propctl(args);
    std::string shown;
    for (const auto& arg : args) shown += "'" + arg + "' ";
    EXPECT_EQ(result.status, 2) << shown;
    EXPECT_EQ(result.out, "") << shown;
    EXPECT_EQ(result.err.find("propctl: "), 0u) << shown << result.err;
  }
  EXPECT_EQ(ReadText(kConfigFile), kInitial);
}

// Where a case's standard output goes.
enum class Output { kPipe, kReaderGone, kFull };

// Runs the case to its end; a watch (output kReaderGone or kFull) sees a
// new value of "a" once it is armed.
Result RunCase(const std::vector<std::string>& args, Output output) {
  static int changes = 0;
  if (output == Output::kPipe) return Propctl(args);
  PropctlProcess watch(args, output == Output::kFull ? "/dev/full" : nullptr);
  if (output == Output::kReaderGone) watch.CloseOut();
  EXPECT_TRUE(watch.WaitForErrLine("propctl: watching "));
  EXPECT_EQ(Propctl({"set", "a", "new" + std::to_string(++changes)}).status, 0);
  return watch.Finish();
}

// What a new user meets first: a watch in a pipeline whose reader goes away
// or onto a full disk ends with 4 at its first failed write; a FIFO or a
// device given as the file is refused at once, never waited on; wait takes
// --timeout anywhere on the line, as its manual page and completion say.
TEST_F(PropctlTest, EndsAndRefusesAsTheManualSaysInPipelinesOnSpecialFilesAndInWait) {
  const std::string fifo = "/etc/j-config/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // how standard error starts
    Output output = Output::kPipe;
  };
  std::vector<Case> cases = {
      {{"watch"}, 4, "propctl: standard output: Broken pipe\n", Output::kReaderGone},
      {{"watch", "a"}, 4, "propctl: standard output: No space left on device\n", Output::kFull},
      {{"wait", "--timeout", "0.05", "b", "3"}, 1, ""},
      {{"wait", "b", "--timeout=0.05", "3"}, 1, ""},
      {{"--timeout", "60", "wait", "b", "2"}, 0, ""},
      {{"list", "--timeout", "1"}, 2, "propctl: --timeout does not go with list\n"},
  };
  for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
    for (const std::vector<std::string>& command : {std::vector<std::string>{"list"}, {"get", "a"}}) {
      std::vector<std::string> args = {"-f", path};
      args.insert(args.end(), command.begin(), command.end());
      cases.push_back({args, 4, "propctl: " + path + ": not a regular file\n"});
    }
  }
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& arg : c.args) shown += "'" + arg + "' ";
    const Result result = RunCase(c.args, c.output);
    EXPECT_EQ(result.status, c.status) << shown;
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << shown << result.err;
  }
  unlink(fifo.c_str());

  const std::string help = Propctl({"--help"}).out;
  for (const char* name : {"propctl.1", "propctl.bash-completion"}) {
    const std::optional<std::string> text = ReadText(std::string(PROPCTL_SOURCE_DIR "/") + name);
    ASSERT_TRUE(text) << name;
    for (const char* word : {"wait", "timeout"}) {
      EXPECT_NE(text->find(word), std::string::npos) << name << " never names " << word;
      EXPECT_NE(help.find(word), std::string::npos) << "--help never names " << word;
    }
  }
}

}  // namespace
