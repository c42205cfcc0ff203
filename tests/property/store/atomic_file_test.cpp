// What one rewrite reports: written, failed after its rewriter ran, or
// nothing touched, with the texts and the identity its caller applies.
#include "property/store/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/property/store/store_test_util.h"

namespace {

using Outcome = AtomicFile::Outcome;

TEST(AtomicFileTest, RewriteReportsWhatItDid) {
  const struct { const char* old; bool blockTemporary; Outcome outcome; const char* onDisk; } rows[] = {
      {nullptr, false, Outcome::kUntouched, nullptr},
      {"a=1\n", false, Outcome::kWritten, "a=1\nb=2\n"},
      {"a=1\n", true, Outcome::kFailed, "a=1\n"}};  // a directory where the temporary goes
  for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i) {
    const auto& row = rows[i];
    store_test::TempDir dir;
    const std::string path = dir.File("f.cfg");
    if (row.old != nullptr) store_test::WriteText(path, row.old);
    if (row.blockTemporary) mkdir(dir.File(".f.cfg.tmp").c_str(), 0700);
    int calls = 0;
    const auto add = [&calls](const std::string& current) { return ++calls, current + "b=2\n"; };
    const AtomicFile::RewriteResult result = AtomicFile::Rewrite(path, add);
    EXPECT_EQ(result.outcome, row.outcome) << "row " << i;
    EXPECT_EQ(calls, row.outcome == Outcome::kUntouched ? 0 : 1);
    EXPECT_EQ(result.current, calls == 0 ? "" : row.old);
    EXPECT_EQ(result.failure.step == nullptr, row.outcome == Outcome::kWritten);
    EXPECT_EQ(store_test::ReadText(path), row.onDisk != nullptr ? row.onDisk : "");
    EXPECT_EQ(result.written.inode, row.outcome == Outcome::kWritten ? AtomicFile::Stat(path).inode : 0);
  }
}

}  // namespace
