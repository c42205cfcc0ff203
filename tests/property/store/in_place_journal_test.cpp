// Every state a rewrite in place can leave the file in, when its writer dies
// between any two bytes, stands for the whole old or the whole new text.
#include "property/store/in_place_journal.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using State = InPlaceJournal::State;

struct Rewrite {
  const char* oldText;
  const char* newText;
};

TEST(InPlaceJournalTest, EveryStateALeftFileCanBeInStandsForTheOldOrTheNewText) {
  const Rewrite rewrites[] = {
      {"a=1\n", "a=1\nb=2\n"},                      // grows
      {"a=1\n", "a=1\nb=2\nlonger.key=a value longer than the journal's head\n"},  // past the head
      {"# head\na=1\nlong.key=long value\n", "a=1\n"},  // shrinks
      {"x=1", "x=2\n"},                             // old text without a final newline
      {"# only a comment\n", ""},                   // to nothing
      {"", "k=v\n"},                                // from nothing
  };
  for (const Rewrite& rewrite : rewrites) {
    const std::string oldText = rewrite.oldText;
    const std::string newText = rewrite.newText;
    const std::string block = InPlaceJournal::Block(oldText, newText);
    SCOPED_TRACE("old '" + oldText + "' new '" + newText + "'");
    // Step 1: the block is appended; a cut within a head that a newline
    // leads leaves that newline.
    const size_t firstCut = block[0] == '\n' ? 2 : 1;
    for (size_t cut = firstCut; cut < block.size(); ++cut) {
      const auto resolved = InPlaceJournal::Resolve(oldText + block.substr(0, cut));
      ASSERT_EQ(resolved.state, State::kRollBack) << "block cut at " << cut;
      const bool withinLeadingHead = block[0] == '\n' && cut < InPlaceJournal::HeadLength(block);
      ASSERT_EQ(resolved.text, withinLeadingHead ? oldText + "\n" : oldText) << "block cut at " << cut;
    }
    // Step 2: the front is overwritten, byte after byte.
    const std::string journaled = oldText + block;
    for (size_t done = 0; done <= newText.size(); ++done) {
      const std::string file = newText.substr(0, done) + journaled.substr(done);
      const auto resolved = InPlaceJournal::Resolve(file);
      ASSERT_EQ(resolved.state, State::kRollForward) << "front written to " << done;
      ASSERT_EQ(resolved.text, newText) << "front written to " << done;
    }
    // Step 3: truncated to the new text, which stands for itself.
    EXPECT_EQ(InPlaceJournal::Resolve(newText).state, State::kClean);
  }
}

TEST(InPlaceJournalTest, OnlyAWholeBlockWhereItBelongsIsTakenForOne) {
  const std::string oldText = "a=1\n";
  std::string damaged = oldText + InPlaceJournal::Block(oldText, "a=2\n");
  damaged[damaged.find("#|a=2") + 4] = '3';  // the CRC no longer matches
  EXPECT_EQ(InPlaceJournal::Resolve(damaged).text, oldText);
  // Hand-written lines that look like a head are comments like any other.
  for (const std::string clean : {"#~mj-journal 1 2 3\na=1\n", "a=1\n#~mj-journal 99 2 3\n#|x\n",
                                  "a=1\n#~mj-journal note #=x", "#~mj-journal 0 4 1\na=1\n"}) {
    EXPECT_EQ(InPlaceJournal::Resolve(clean).state, State::kClean) << clean;
  }
}

}  // namespace
