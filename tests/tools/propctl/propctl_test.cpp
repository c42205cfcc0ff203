// propctl get, set and list, and its command line, run as programs of their
// own on "/etc/j-config/mj-gralloc.cfg". The tests refuse to run unless that
// directory is a private tmpfs (the test command runs them through
// scripts/private-ns.sh).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/tools/propctl/propctl_process.h"

namespace {

using propctl_test::kConfigFile;
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

  // A value may start with '-': arguments after the command are not options.
  result = Propctl({"get", "missing", "-1"});
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
  unlink(kConfigFile);
  EXPECT_EQ(Propctl({"get", "a"}).status, 1);
  EXPECT_EQ(Propctl({"get", "a", "d"}).out, "d\n");
}

TEST_F(PropctlTest, SetRewritesTheFileKeepingItsOtherLines) {
  const std::string longest(91, 'v');
  EXPECT_EQ(Propctl({"set", "c", "3"}).status, 0);
  EXPECT_EQ(Propctl({"set", "a", longest}).status, 0);
  EXPECT_EQ(ReadText(kConfigFile), "# head\nplain text\na=" + longest + "\nb=2\nc=3\nempty=\n");
  EXPECT_EQ(Propctl({"get", "c"}).out, "3\n");
}

TEST_F(PropctlTest, SetRefusesABadPairWithAReasonAndLeavesTheFileAlone) {
  const std::vector<std::vector<std::string>> refused = {
      {"set", "", "v"},
      {"set", "k", std::string(92, 'v')},
      {"set", "k", "two\nlines"},
      {"set", "two\nlines", "v"},
      {"set", "a#b", "v"},
      {"set", "k", "a # note"},
      {"set", "k=x", "v"},
      {"set", " k", "v"},
      {"set", "k", "v "},
  };
  for (const auto& args : refused) {
    const Result result = Propctl(args);
    EXPECT_EQ(result.status, 3) << args[1] << " " << args[2];
    ExpectOneLineReason(result);
  }
  EXPECT_EQ(ReadText(kConfigFile), kInitial);
}

TEST_F(PropctlTest, SetOnAMissingFileFailsAndCreatesNothing) {
  unlink(kConfigFile);
  const Result result = Propctl({"set", "k", "v"});
  EXPECT_EQ(result.status, 4);
  ExpectOneLineReason(result);
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

TEST_F(PropctlTest, ListOfAMissingFileFails) {
  unlink(kConfigFile);
  const Result result = Propctl({"list"});
  EXPECT_EQ(result.status, 4);
  ExpectOneLineReason(result);

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
  EXPECT_EQ(Propctl({"get", "y"}).status, 1);
  EXPECT_EQ(ReadText(kConfigFile), kInitial);
  unlink(other.c_str());
}

TEST_F(PropctlTest, LibraryLogLinesShowOnlyWithVerbose) {
  // The library logs every set; a failed set logs more.
  EXPECT_EQ(Propctl({"set", "k", "v"}).err, "");
  EXPECT_EQ(Propctl({"get", "k"}).err, "");
  EXPECT_NE(Propctl({"-v", "set", "k", "w"}).err.find("CONFIG_FILE: " + std::string(kConfigFile)), std::string::npos);
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
  for (const char* command : {"get KEY", "set KEY VALUE", "list", "watch [KEY...]"}) {
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
      {"list", "extra"},
      {"--bogus", "list"},
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

}  // namespace
