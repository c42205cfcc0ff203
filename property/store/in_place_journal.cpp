#include "property/store/in_place_journal.h"

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

// The new text a complete block at the end of `text` holds.
bool RollForward(std::string_view text, std::string& newText) {
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

// Where the old text of an unfinished block ends. A head counts only where
// it stands at the old length it names (or just after the newline the
// block added), and everything after it is the block's own.
bool RollBack(std::string_view text, size_t& oldLength) {
  size_t head = text.rfind(kHead);
  while (head != std::string_view::npos && head > 0 && text[head - 1] != '\n') {
    head = text.rfind(kHead, head - 1);
  }
  if (head != std::string_view::npos) {
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
  // A head cut within its first bytes is the file's unfinished last line.
  const size_t last = LineStart(text, text.size() + 1);
  const std::string_view tail = text.substr(last);
  if (tail.empty() || tail.size() >= kHead.size() || !StartsWith(kHead, tail)) return false;
  oldLength = last;
  return true;
}

}  // namespace

std::string InPlaceJournal::Block(const std::string& oldText, const std::string& newText) {
  const uint32_t crc = Crc32(newText);
  std::string block;
  if (!oldText.empty() && oldText.back() != '\n') block += '\n';
  block += kHead;
  block += Numbers(oldText.size(), newText.size(), crc);
  // The overwrite of the front ends at newText.size(): the body starts there
  // or later.
  const size_t reached = oldText.size() + block.size();
  if (reached < newText.size()) {
    block += kPad;
    block.append(std::max<size_t>(newText.size() - reached, kPad.size() + 1) - kPad.size() - 1, '~');
    block += '\n';
  }
  const size_t bodyOffset = oldText.size() + block.size();
  for (size_t at = 0; at < newText.size();) {
    size_t eol = newText.find('\n', at);
    if (eol == std::string::npos) eol = newText.size();
    block += kBody;
    block.append(newText, at, eol - at);
    block += '\n';
    at = eol + 1;
  }
  block += kEnd;
  block += Numbers(bodyOffset, newText.size(), crc);
  return block;
}

size_t InPlaceJournal::HeadLength(const std::string& block) {
  return block.find('\n', block.empty() || block[0] != '\n' ? 0 : 1) + 1;
}

InPlaceJournal::Resolved InPlaceJournal::Resolve(const std::string& fileText) {
  Resolved resolved;
  if (RollForward(fileText, resolved.text)) {
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
