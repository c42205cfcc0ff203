// Every state a rewrite in place can leave the file in, when its writer dies
// between any two bytes, stands for the whole old or the whole new text; and
// a reader that knows nothing of the journal, reading between any two bytes,
// finds no line of neither version.
#include "property/store/in_place_journal.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using State = InPlaceJournal::State;
using Writes = std::vector<InPlaceJournal::Write>;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t eol = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, eol - at));
    at = eol + 1;
  }
  return lines;
}

// The first line of `file` that a plain reader (a line is a pair when it
// holds '=' and does not start with '#') could take for a pair and that is
// no whole line of `oldText` or `newText`; empty when there is none.
std::string TornLine(const std::string& file, const std::string& oldText, const std::string& newText) {
  std::set<std::string> whole;
  for (const std::string* text : {&oldText, &newText}) {
    for (const std::string& line : Lines(*text)) whole.insert(line);
  }
  for (const std::string& line : Lines(file)) {
    if (line.empty() || line[0] == '#' || line.find('=') == std::string::npos || whole.count(line) > 0) continue;
    return line;
  }
  return "";
}

// Calls `check` with the file after every byte of `writes` made on `file`,
// and returns the file after the last one.
std::string EveryByte(std::string file, const Writes& writes, const std::function<void(const std::string&)>& check) {
  for (const auto& write : writes) {
    for (size_t done = 1; done <= write.bytes.size(); ++done) {
      const size_t at = write.offset + done - 1;
      if (at == file.size()) file += write.bytes[done - 1];
      file[at] = write.bytes[done - 1];
      check(file);
    }
  }
  return file;
}

// Calls `read` with every file a reader may find that copies it while one of
// `writes` made on `file` overtakes it or is overtaken: one stretch of the
// write's bytes new, the others old.
void EveryMix(std::string file, const Writes& writes, const std::function<void(const std::string&)>& read) {
  for (const auto& write : writes) {
    const std::string before = file;
    if (file.size() < write.offset + write.bytes.size()) file.resize(write.offset + write.bytes.size());
    file.replace(write.offset, write.bytes.size(), write.bytes);
    if (write.offset + write.bytes.size() > before.size()) continue;  // growing: every mix is a cut
    for (size_t from = 0; from < write.bytes.size(); ++from) {
      std::string mixed = before;
      for (size_t to = from; to < write.bytes.size(); ++to) {
        mixed[write.offset + to] = write.bytes[to];
        read(mixed);
      }
    }
  }
}

struct Rewrite {
  const char* oldText;
  const char* newText;
};

TEST(InPlaceJournalTest, EveryStateOfARewriteReadsWholeAndStandsForTheOldOrTheNewText) {
  const Rewrite rewrites[] = {
      {"a=1\nb=2\n", "a=1\nb=3\nc=4\n"},                                           // grows
      {"a=1\n", "a=1\nb=2\nlonger.key=a value longer than the journal's head\n"},  // past the head
      {"# head\na=1\nlong.key=long value\nbase.0196=x\n", "a=1\n"},                 // shrinks
      {"a=1\nb=2\n", "b=2\na=1\n"},                                                // same length
      {"x=1", "x=2\n"},                                                            // old without a final newline
      {"x=1\n", "x=22"},                                                           // new without one
      {"k=1\n", "\nk=2\n"},                                                        // new starts with a blank line
      {"#~mj-journal note\na=1\n", "a=2\n"},                                       // a hand-written look-alike head
      {"# only a comment\n", ""},                                                  // to nothing
      {"", "k=v\n"},                                                               // from nothing
  };
  for (const Rewrite& rewrite : rewrites) {
    const std::string oldText = rewrite.oldText;
    const std::string newText = rewrite.newText;
    SCOPED_TRACE("old '" + oldText + "' new '" + newText + "'");
    const InPlaceJournal::Plan plan = InPlaceJournal::PlanRewrite(oldText, newText);
    bool blockWhole = false;
    // A reader between any two bytes finds whole lines; a writer killed
    // there leaves a file that stands for the old text until the block is
    // whole (a cut within a head that a newline leads leaves that newline),
    // for the new one after; and finishing it from there, killed or read at
    // any byte again, does the same and ends in the new text.
    const auto check = [&](const std::string& file) {
      ASSERT_EQ(TornLine(file, oldText, newText), "") << "file '" << file << "'";
      const auto resolved = InPlaceJournal::Resolve(file);
      if (!blockWhole && file.size() < oldText.size() + plan.block.size()) {
        ASSERT_NE(resolved.state, State::kRollForward) << "file '" << file << "'";
        const bool withinLeadingHead = plan.block[0] == '\n' && file.size() < oldText.size() + plan.headLength;
        ASSERT_EQ(resolved.text, withinLeadingHead ? oldText + "\n" : oldText) << "file '" << file << "'";
        return;
      }
      ASSERT_EQ(resolved.state, State::kRollForward) << "file '" << file << "'";
      ASSERT_EQ(resolved.text, newText) << "file '" << file << "'";
    };
    const auto checkAndFinish = [&](const std::string& file) {
      check(file);
      const auto resolved = InPlaceJournal::Resolve(file);
      if (resolved.state != State::kRollForward || HasFatalFailure()) return;
      const std::string finished = EveryByte(file, InPlaceJournal::Finish(file, resolved), check);
      ASSERT_EQ(finished.substr(0, newText.size()), newText) << "finished from '" << file << "'";
    };
    const std::string journaled = EveryByte(oldText, {{oldText.size(), plan.block}}, check);
    ASSERT_FALSE(HasFatalFailure());
    EveryMix(journaled, plan.writes, [&](const std::string& file) {
      ASSERT_EQ(TornLine(file, oldText, newText), "") << "read '" << file << "'";
    });
    ASSERT_FALSE(HasFatalFailure());
    blockWhole = true;
    const std::string written = EveryByte(journaled, plan.writes, checkAndFinish);
    ASSERT_FALSE(HasFatalFailure());
    // Cut at the new text, which stands for itself. A read that races the
    // cut may end anywhere after it.
    EXPECT_EQ(written.substr(0, newText.size()), newText);
    for (size_t end = newText.size(); end < written.size(); ++end) {
      ASSERT_EQ(TornLine(written.substr(0, end), oldText, newText), "") << "read ended at " << end;
    }
    EXPECT_EQ(InPlaceJournal::Resolve(newText).state, State::kClean);
  }
}

TEST(InPlaceJournalTest, OnlyAWholeBlockWhereItBelongsIsTakenForOne) {
  const std::string oldText = "a=1\n";
  std::string damaged = oldText + InPlaceJournal::PlanRewrite(oldText, "a=2\n").block;
  damaged[damaged.find("#|a=2") + 4] = '3';  // the CRC no longer matches
  struct Case {
    std::string file;
    State state;
    std::string text;
  };
  const Case cases[] = {
      {damaged, State::kRollBack, oldText},
      // Hand-written lines that look like a head are comments like any other.
      {"#~mj-journal 1 2 3\na=1\n", State::kClean, "#~mj-journal 1 2 3\na=1\n"},
      {"a=1\n#~mj-journal 99 2 3\n#|x\n", State::kClean, "a=1\n#~mj-journal 99 2 3\n#|x\n"},
      {"a=1\n#~mj-journal note #=x", State::kClean, "a=1\n#~mj-journal note #=x"},
      {"#~mj-journal 0 4 1\na=1\n", State::kClean, "#~mj-journal 0 4 1\na=1\n"},
      // A head cut within its first bytes after such a line is dropped.
      {"#~mj-journal note\na=1\n#~mj-jour", State::kRollBack, "#~mj-journal note\na=1\n"},
      {"#~mj-journal 0 4 1\na=1\n#", State::kRollBack, "#~mj-journal 0 4 1\na=1\n"},
  };
  for (const Case& c : cases) {
    const auto resolved = InPlaceJournal::Resolve(c.file);
    EXPECT_EQ(resolved.state, c.state) << c.file;
    EXPECT_EQ(resolved.text, c.text) << c.file;
  }
}

}  // namespace
