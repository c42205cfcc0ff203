#include "property/store/in_place_journal.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string_view>

namespace {

constexpr std::string_view kHead = "#~mj-journal ";
constexpr std::string_view kPad = "#~";
constexpr std::string_view kBody = "#|";
constexpr std::string_view kEnd = "#~mj-end ";
// The shortest line that reads as a line of a block: "#~\n".
constexpr size_t kShortestPad = kPad.size() + 1;

uint32_t Crc32(std::string_view text) {
  static const std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < table.size(); ++i) {
      uint32_t c = i;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      table[i] = c;
    }
    return table;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (const unsigned char c : text) crc = kTable[(crc ^ c) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Reads "<a> <b> <c>" (decimal, nothing after them) from `fields`.
bool ParseNumbers(std::string_view fields, uintmax_t& a, uintmax_t& b, uintmax_t& c) {
  const std::string copy(fields);
  int used = -1;
  const int got = std::sscanf(copy.c_str(), "%" SCNuMAX " %" SCNuMAX " %" SCNuMAX "%n", &a, &b, &c, &used);
  return got == 3 && used == static_cast<int>(copy.size());
}

// Not std::to_string: its digit table is a GNU unique symbol, and such a
// symbol keeps the library from ever being unloaded.
std::string Numbers(uintmax_t a, uintmax_t b, uintmax_t c) {
  char line[3 * 21 + 1];
  const int n = std::snprintf(line, sizeof(line), "%ju %ju %ju\n", a, b, c);
  return std::string(line, static_cast<size_t>(n));
}

// Start of the line that holds offset `end - 1` (the last line before `end`).
size_t LineStart(std::string_view text, size_t end) {
  if (end < 2) return 0;
  const size_t newline = text.rfind('\n', end - 2);
  return newline == std::string_view::npos ? 0 : newline + 1;
}

// The new text a complete block at the end of `text` holds, and where its
// body starts.
bool RollForward(std::string_view text, std::string& newText, size_t& body) {
  if (text.empty() || text.back() != '\n') return false;
  const size_t endLine = LineStart(text, text.size());
  const std::string_view line = text.substr(endLine, text.size() - 1 - endLine);
  uintmax_t bodyOffset = 0, length = 0, crc = 0;
  if (!StartsWith(line, kEnd) || !ParseNumbers(line.substr(kEnd.size()), bodyOffset, length, crc)) return false;
  if (bodyOffset > endLine || (bodyOffset > 0 && text[bodyOffset - 1] != '\n')) return false;
  std::string decoded;
  for (size_t at = bodyOffset; at < endLine;) {
    const size_t eol = text.find('\n', at);
    const std::string_view bodyLine = text.substr(at, eol - at);
    if (!StartsWith(bodyLine, kBody)) return false;
    decoded.append(bodyLine.substr(kBody.size()));
    decoded += '\n';
    at = eol + 1;
  }
  // A new text without a final newline has one more in the body.
  if (decoded.size() != length && !(decoded.size() == length + 1 && decoded.back() == '\n')) return false;
  decoded.resize(length);
  if (Crc32(decoded) != crc) return false;
  newText = std::move(decoded);
  body = bodyOffset;
  return true;
}

// True when every line of `tail` (the block after its head) is a line of a
// block: padding, body or end line; the last one may be unfinished.
bool AllBlockLines(std::string_view tail) {
  for (size_t at = 0; at < tail.size();) {
    size_t eol = tail.find('\n', at);
    const bool finished = eol != std::string_view::npos;
    if (!finished) eol = tail.size();
    const std::string_view line = tail.substr(at, eol - at);
    const bool blockLine = StartsWith(line, kBody) || StartsWith(line, kPad) ||
                           (!finished && (StartsWith(kBody, line) || StartsWith(kPad, line)));
    if (!blockLine) return false;
    at = eol + 1;
  }
  return true;
}

// True when `fields` could be the start of a head's numbers: digits and
// blanks only.
bool NumbersSoFar(std::string_view fields) {
  return fields.find_first_not_of("0123456789 ") == std::string_view::npos;
}

// The last head that stands at the start of a line, or npos.
size_t LastHead(std::string_view text) {
  size_t head = text.rfind(kHead);
  while (head != std::string_view::npos && head > 0 && text[head - 1] != '\n') {
    head = text.rfind(kHead, head - 1);
  }
  return head;
}

// Where the old text ends, when the block whose head starts at `head` is
// unfinished. A head counts only where it stands at the old length it names
// (or just after the newline the block added), and everything after it is
// the block's own.
bool BlockAt(std::string_view text, size_t head, size_t& oldLength) {
  const size_t eol = text.find('\n', head);
  const std::string_view fields = text.substr(head + kHead.size(), eol - head - kHead.size());
  if (eol == std::string_view::npos) {
    // The head itself was cut short: it ends the file.
    if (!NumbersSoFar(fields)) return false;
    oldLength = head;
    return true;
  }
  uintmax_t length = 0, newLength = 0, crc = 0;
  if (!ParseNumbers(fields, length, newLength, crc)) return false;
  const bool placed = length == head || (length + 1 == head && text[length] == '\n');
  if (!placed || !AllBlockLines(text.substr(eol + 1))) return false;
  oldLength = length;
  return true;
}

// Where the old text of an unfinished block ends.
bool RollBack(std::string_view text, size_t& oldLength) {
  const size_t head = LastHead(text);
  if (head != std::string_view::npos && BlockAt(text, head, oldLength)) return true;
  // A head cut within its first bytes is the file's unfinished last line,
  // whatever hand-written look-alike stands before it.
  const size_t last = LineStart(text, text.size() + 1);
  const std::string_view tail = text.substr(last);
  if (tail.empty() || tail.size() >= kHead.size() || !StartsWith(kHead, tail)) return false;
  oldLength = last;
  return true;
}

std::string WithFinalNewline(const std::string& text) {
  return text.empty() || text.back() == '\n' ? text : text + '\n';
}

// A line of `length` bytes (at least kShortestPad) that reads as a line of a
// block, and whose every end part is a comment or holds no '='.
void AppendPad(std::string& block, size_t length) {
  block += kPad;
  block.append(length - kShortestPad, '#');
  block += '\n';
}

// `text` with the first byte of each line made '#': a comment of the same
// length for each line, which turns into the line when the line is written
// over it.
std::string Commented(std::string text) {
  for (size_t at = 0; at < text.size();) {
    if (text[at] != '\n') text[at] = '#';
    const size_t eol = text.find('\n', at);
    if (eol == std::string::npos) break;
    at = eol + 1;
  }
  return text;
}

}  // namespace

InPlaceJournal::Plan InPlaceJournal::PlanRewrite(const std::string& oldText, const std::string& newText) {
  const uint32_t crc = Crc32(newText);
  // The front is overwritten up to ended.size() (the new text and, should it
  // lack one, a newline that keeps its last line from the bytes after it):
  // the copy and the body start there or later.
  const std::string ended = WithFinalNewline(newText);
  Plan plan;
  std::string& block = plan.block;
  if (!oldText.empty() && oldText.back() != '\n') block += '\n';
  block += kHead;
  block += Numbers(oldText.size(), newText.size(), crc);
  plan.headLength = block.size();
  const size_t headEnd = oldText.size() + block.size();
  if (headEnd < ended.size()) AppendPad(block, std::max(ended.size() - headEnd, kShortestPad));
  // The copy starts with a comment line, so that the padding under it never
  // shows its "~" at a line start.
  const size_t copyAt = oldText.size() + block.size();
  const std::string copy = ended.empty() ? std::string() : "#\n" + ended;
  if (!copy.empty()) AppendPad(block, copy.size());
  Resolved target;
  target.state = State::kRollForward;
  target.body = oldText.size() + block.size();
  for (size_t at = 0; at < newText.size();) {
    size_t eol = newText.find('\n', at);
    if (eol == std::string::npos) eol = newText.size();
    block += kBody;
    block.append(newText, at, eol - at);
    block += '\n';
    at = eol + 1;
  }
  block += kEnd;
  block += Numbers(target.body, newText.size(), crc);
  std::string file = oldText + block;
  if (!copy.empty()) {
    plan.writes.push_back({copyAt, Commented(copy)});
    plan.writes.push_back({copyAt, copy});
    file.replace(copyAt, copy.size(), copy);
  }
  target.text = newText;
  for (Write& write : Finish(file, target)) plan.writes.push_back(std::move(write));
  return plan;
}

InPlaceJournal::Resolved InPlaceJournal::Resolve(const std::string& fileText) {
  Resolved resolved;
  if (RollForward(fileText, resolved.text, resolved.body)) {
    resolved.state = State::kRollForward;
    return resolved;
  }
  size_t oldLength = 0;
  if (RollBack(fileText, oldLength)) {
    resolved.state = State::kRollBack;
    resolved.text = fileText.substr(0, oldLength);
    return resolved;
  }
  resolved.text = fileText;
  return resolved;
}

std::vector<InPlaceJournal::Write> InPlaceJournal::Finish(const std::string& fileText, const Resolved& resolved) {
  const std::string ended = WithFinalNewline(resolved.text);
  // The first line the front writes leave as they are: the one at or after
  // the end of the new text.
  size_t kept = 0;
  if (!ended.empty()) {
    const size_t eol = fileText.find('\n', ended.size() - 1);
    // A block that left no room for the newline (no build of this library
    // writes one): the new text alone.
    if (eol == std::string::npos || eol >= resolved.body) return {{0, resolved.text}};
    kept = eol + 1;
  }
  // Each write changes bytes such that any mix of the bytes before and after
  // it reads as whole lines or comments: a reader that copies the file while
  // a write overtakes it finds nothing else either. The front's lines become
  // comments, then one comment line, then the new text's commented lines,
  // then its lines; last, the lines between the front and the body become
  // comments, since a read that races the cut may end anywhere after it.
  std::vector<Write> writes;
  if (kept > 0) writes.push_back({0, Commented(fileText.substr(0, kept))});
  if (kept > 1) writes.push_back({0, std::string(kept - 1, '#')});
  if (!ended.empty()) {
    writes.push_back({0, Commented(ended)});
    writes.push_back({0, ended});
  }
  if (resolved.body > kept) writes.push_back({kept, Commented(fileText.substr(kept, resolved.body - kept))});
  return writes;
}
