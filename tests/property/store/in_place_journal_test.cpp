// Every state a rewrite in place can leave the file in, when its writer dies
// between any two bytes, stands for the whole old or the whole new text; and
// a reader that knows nothing of the journal, reading between any two bytes
// or while a write overtakes it, finds no line of neither version.
#include "property/store/in_place_journal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using State = InPlaceJournal::State;
using Check = std::function<void(const std::string& file, bool killed)>;

// The first line of `file` that a plain reader (a pair: a line that holds
// '=' and does not start with '#') could take for a pair and that is no
// whole line of `a` or `b`; empty when there is none.
std::string TornLine(const std::string& file, const std::string& a, const std::string& b) {
  std::istringstream lines(file);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#' || line.find('=') == std::string::npos) continue;
    const std::string whole = "\n" + line + "\n";
    if (("\n" + a + "\n" + b + "\n").find(whole) == std::string::npos) return line;
  }
  return "";
}

// Calls `check` with every file the writes made on `file` may leave: a
// writer killed after any byte (`killed`) or, with `mixes`, what a reader
// finds that copies the file while a write overtakes it (one stretch of the
// write's bytes new, the rest old). Returns the file after the last write.
std::string EveryMix(std::string file, const std::vector<InPlaceJournal::Write>& writes, bool mixes,
                     const Check& check) {
  for (const auto& write : writes) {
    const std::string before = file;
    file.resize(std::max(file.size(), write.offset + write.bytes.size()));
    file.replace(write.offset, write.bytes.size(), write.bytes);
    const size_t starts = mixes && file.size() == before.size() ? write.bytes.size() : 1;
    for (size_t from = 0; from < starts; ++from) {
      std::string mixed = before;
      for (size_t to = from; to < write.bytes.size(); ++to) {
        if (write.offset + to == mixed.size()) mixed += ' ';
        mixed[write.offset + to] = write.bytes[to];
        check(mixed, from == 0);
      }
    }
  }
  return file;
}

TEST(InPlaceJournalTest, EveryStateOfARewriteReadsWholeAndStandsForTheOldOrTheNewText) {
  const std::pair<const char*, const char*> rewrites[] = {
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
  for (const auto& [oldChars, newChars] : rewrites) {
    const std::string oldText = oldChars;
    const std::string newText = newChars;
    SCOPED_TRACE("old '" + oldText + "' new '" + newText + "'");
    const InPlaceJournal::Plan plan = InPlaceJournal::PlanRewrite(oldText, newText);
    // Until the block is whole the file stands for the old text (a cut
    // within a head that a newline leads leaves that newline), after it for
    // the new one; finishing it from any state a writer was killed in, read
    // or killed at any byte again, does the same and ends in the new text.
    bool finishing = false;
    const Check check = [&](const std::string& file, bool killed) {
      ASSERT_EQ(TornLine(file, oldText, newText), "") << "file '" << file << "'";
      const auto resolved = InPlaceJournal::Resolve(file);
      const bool withinLeadingHead = plan.block[0] == '\n' && file.size() < oldText.size() + plan.headLength;
      const bool whole = file.size() >= oldText.size() + plan.block.size();
      const std::string stands = whole ? newText : withinLeadingHead ? oldText + "\n" : oldText;
      ASSERT_EQ(resolved.text, stands) << "file '" << file << "'";
      if (!killed || finishing || resolved.state != State::kRollForward) return;
      finishing = true;
      const std::string finished = EveryMix(file, InPlaceJournal::Finish(file, resolved), false, check);
      finishing = false;
      ASSERT_EQ(finished.substr(0, newText.size()), newText) << "finished from '" << file << "'";
    };
    const std::string journaled = EveryMix(oldText, {{oldText.size(), plan.block}}, false, check);
    const std::string written = EveryMix(journaled, plan.writes, true, check);
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
  EXPECT_EQ(InPlaceJournal::Resolve(damaged).text, oldText);
  // Hand-written lines that look like a head are comments like any other,
  // and a head cut within its first bytes after one is dropped.
  for (const std::string clean : {"#~mj-journal 1 2 3\na=1\n", "a=1\n#~mj-journal 99 2 3\n#|x\n",
                                  "a=1\n#~mj-journal note #=x", "#~mj-journal 0 4 1\na=1\n"}) {
    EXPECT_EQ(InPlaceJournal::Resolve(clean).state, State::kClean) << clean;
    const std::string ended = clean.back() == '\n' ? clean : clean + "\n";
    for (const char* cut : {"#", "#~mj-jour"}) EXPECT_EQ(InPlaceJournal::Resolve(ended + cut).text, ended) << cut;
  }
}

}  // namespace
