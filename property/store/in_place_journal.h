// InPlaceJournal: the text a rewrite in place appends to a shared file so
// that a writer that dies at any moment leaves a file the next process can
// make whole again, and how that text is read back.
//
// A file that cannot be replaced by rename (a bind-mounted file, a directory
// the writer may not write) is rewritten in three steps, each under the
// cross-process lock (property/store/atomic_file.h):
//
//   1. append a journal block after the old text (and flush it);
//   2. overwrite the front of the file with the new text;
//   3. truncate the file to the new text's length.
//
// The block, at the old length L0:
//
//   ["\n" if the old text does not end in one]
//   "#~mj-journal <L0> <Lnew> <crc>\n"        the head
//   ["#~~...~\n"]                              padding up to offset Lnew
//   "#|<line>\n" for each line of the new text the body, at or after Lnew
//   "#~mj-end <bodyOffset> <Lnew> <crc>\n"     the end line
//
// <crc> is the CRC-32 of the new text. Every line of the block is a comment,
// so a reader that knows nothing of it still sees the old pairs while the
// block is appended. Until the end line is complete the front is untouched:
// the file rolls back to its first L0 bytes. Once it is complete, the body
// rebuilds the new text (checked against Lnew and the CRC) and step 2 never
// reaches it: the file rolls forward. Either way Resolve gives the text the
// file stands for, whether or not a writer is still at work on it.
//
// A head counts only where it stands at the old length it names (or just
// after the newline the block added) and is followed by nothing but lines of
// the block, so hand-written comments that look like one are comments like
// any other. Only a last line without a newline that holds nothing but the
// first characters of a head ("#", "#~", ..., "#~mj-journal 12") is taken
// for the remains of one and dropped. A file without a final newline that is
// rolled back after a writer died within the head's first bytes keeps one
// newline more.
//
// Pure functions of text: no files, no locks, any thread.
#ifndef PROPERTY_STORE_IN_PLACE_JOURNAL_H_
#define PROPERTY_STORE_IN_PLACE_JOURNAL_H_

#include <cstddef>
#include <string>

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
  };

  InPlaceJournal() = delete;

  // The block that a rewrite of `oldText` into `newText` appends at offset
  // oldText.size(). Its first line (the head, with the newline before it, if
  // any) ends at HeadLength(block).
  static std::string Block(const std::string& oldText, const std::string& newText);
  static size_t HeadLength(const std::string& block);

  // The contents the file whose whole text is `fileText` stands for.
  static Resolved Resolve(const std::string& fileText);
};

#endif  // PROPERTY_STORE_IN_PLACE_JOURNAL_H_
