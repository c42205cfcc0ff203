// InPlaceJournal: the text a rewrite in place appends to a shared file so
// that a writer that dies at any moment leaves a file the next process can
// make whole again, the order in which the front is then overwritten so that
// a reader that knows nothing of it never finds a line of neither version,
// and how such a file is read back.
//
// A file that cannot be replaced by rename (a bind-mounted file, a directory
// the writer may not write) is rewritten in steps, each under the
// cross-process lock (property/store/atomic_file.h):
//
//   1. append a journal block after the old text (and flush it);
//   2. make the Plan's writes, in order (and flush them);
//   3. truncate the file to the new text's length.
//
// The block, at the old length L0:
//
//   ["\n" if the old text does not end in one]
//   "#~mj-journal <L0> <Lnew> <crc>\n"        the head
//   ["#~##...#\n"]                             padding up to the copy
//   ["#~##...#\n"]                             room for the copy
//   "#|<line>\n" for each line of the new text the body
//   "#~mj-end <bodyOffset> <Lnew> <crc>\n"     the end line
//
// <crc> is the CRC-32 of the new text. Every line of the block is a comment,
// so a reader that knows nothing of it still sees the old pairs while the
// block is appended. Until the end line is complete the front is untouched:
// the file rolls back to its first L0 bytes. Once it is complete, the body
// rebuilds the new text (checked against Lnew and the CRC) and no later
// write reaches it: the file rolls forward. Either way Resolve gives the text
// the file stands for, whether or not a writer is still at work on it.
//
// Step 2 never lets a line be cut between two versions. Each write changes
// bytes such that any mix of the bytes before and after it (a reader that
// copies the file while the write overtakes it, or a writer killed at any
// byte) reads as whole lines or comments: a line is turned into a comment by
// its first byte, and written whole only over the comment it was. In order:
// the copy (a comment line, then the new text) goes into its room,
// commented, then as itself, so the new pairs are there before the front is
// touched; the front's lines up to the first line at or after Lnew become
// comments, then one comment line, then the new text's lines commented, then
// the new text; last, every line from there to the body becomes a comment,
// since a read that races the cut may end anywhere after the new text. A
// process that finishes a dead writer's rewrite (Finish) makes the same
// writes but the copy: meanwhile a reader may miss keys of the front, never
// finds a line of neither version.
//
// A head counts only where it stands at the old length it names (or just
// after the newline the block added) and is followed by nothing but lines of
// the block, so hand-written comments that look like one are comments like
// any other. A last line without a newline that holds nothing but the first
// characters of a head ("#", "#~", ..., "#~mj-journal 12") is taken for the
// remains of one and dropped, whatever lines stand before it. A file without
// a final newline that is rolled back after a writer died within the head's
// first bytes keeps one newline more.
//
// Pure functions of text: no files, no locks, any thread.
#ifndef PROPERTY_STORE_IN_PLACE_JOURNAL_H_
#define PROPERTY_STORE_IN_PLACE_JOURNAL_H_

#include <cstddef>
#include <string>
#include <vector>

class InPlaceJournal {
 public:
  // What a file's text says of a rewrite in place.
  enum class State {
    kClean,        // no block: the text is the file's contents
    kRollBack,     // an unfinished block: the file stands for its old text
    kRollForward,  // a complete block: the file stands for the new text
  };

  struct Resolved {
    State state = State::kClean;
    std::string text;  // the contents the file stands for
    size_t body = 0;   // kRollForward: where the block's body starts
  };

  // `bytes` written at `offset` of the file.
  struct Write {
    size_t offset = 0;
    std::string bytes;
  };

  // A rewrite of the old text into the new one.
  struct Plan {
    std::string block;        // appended at the old text's length
    size_t headLength = 0;    // the block's first line (with the newline before it, if any)
    std::vector<Write> writes;  // once the block is whole and flushed, in order
  };

  InPlaceJournal() = delete;

  // The steps that rewrite a file holding `oldText` into `newText`; after
  // the writes the file is cut at newText.size().
  static Plan PlanRewrite(const std::string& oldText, const std::string& newText);

  // The contents the file whose whole text is `fileText` stands for.
  static Resolved Resolve(const std::string& fileText);

  // The writes that finish the rewrite a rolled-forward file (`fileText`,
  // resolved as `resolved`) stands for; after them the file is cut at
  // resolved.text.size().
  static std::vector<Write> Finish(const std::string& fileText, const Resolved& resolved);
};

#endif  // PROPERTY_STORE_IN_PLACE_JOURNAL_H_
