// The property file's text format, as pure functions of text: no files, no
// locks, no state. The process cache (PropertyFile), propctl's messages and
// the fuzzer all use these, so that there is one statement of the rules.
//
// Line rules: a text splits into lines at '\n' only (a '\r' stays in the
// line). A line starting with '#' is a comment; elsewhere everything from the
// first '#' on is dropped. What remains is a pair when it holds a '=': the
// key is the text before the first '=', the value the text after it, both
// trimmed of blanks and tabs (only those). An empty key makes no pair; an
// empty value is allowed. The last occurrence of a key wins.
//
//   '  p = v  # note' -> p, v      'a=b=c' -> a, b=c
//   '=5', '# x=1', 'plain text' -> not pairs
//
// A rewrite keeps every line that is not a pair in its old order and then
// writes all pairs, in ascending byte order of their keys, one "key=value"
// line each. So a pair is refused when it would not read back as itself: a
// '#' anywhere, a '=' in the key, blanks or tabs at either end of the key or
// the value, a newline, an empty key, or a value longer than kMaxValueLength.
//
// Exported for propctl and the fuzzer, which state nothing of the rules
// themselves. Threads: every function may run on any thread; none keeps
// state.
#ifndef PROPERTY_STORE_PROPERTY_FORMAT_H_
#define PROPERTY_STORE_PROPERTY_FORMAT_H_

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "property/property_export.h"

namespace property_format {

using Pairs = std::map<std::string, std::string, std::less<>>;

// Longest value a pair may hold (the caller's buffer holds it and a NUL).
constexpr size_t kMaxValueLength = 91;

// True for the blank and the horizontal tab only.
inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Removes leading and trailing blanks and tabs in place.
PROPERTY_EXPORT void Trim(std::string& text);

// True if `line` is a pair; then `key` and `value` hold its trimmed parts.
// On false their contents are unspecified.
PROPERTY_EXPORT bool ParseLine(std::string_view line, std::string& key, std::string& value);

// Inserts or replaces one pair.
PROPERTY_EXPORT void StorePair(Pairs& pairs, const std::string& key, const std::string& value);

// Stores the pairs of `text` in `pairs` (unless null) and appends its other
// lines, each ended by a newline, to `kept`.
PROPERTY_EXPORT void Split(const std::string& text, Pairs* pairs, std::string& kept);

// `kept`, then the pairs, one "key=value" line each.
PROPERTY_EXPORT std::string Render(const std::string& kept, const Pairs& pairs);

// What keeps one part of a pair (its key or its value) from reading back,
// the first found in this order.
enum class PartFault { kNone, kNewline, kComment, kEquals, kLeadingBlank, kTrailingBlank };
PROPERTY_EXPORT PartFault FaultOf(std::string_view part, bool isKey);

// Why a pair is refused (the line the library logs), or null when it is
// taken. Null key or value count as empty.
PROPERTY_EXPORT const char* Refusal(const char* key, const char* value);

}  // namespace property_format

#endif  // PROPERTY_STORE_PROPERTY_FORMAT_H_
