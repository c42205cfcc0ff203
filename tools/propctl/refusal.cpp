#include "tools/propctl/refusal.h"

#include "property/store/property_format.h"

namespace {

using property_format::PartFault;

const char* BlankName(char c) { return c == ' ' ? "a blank" : "a tab"; }

// The rule that one part of the pair breaks, or "".
std::string PartRule(const std::string& part, const std::string& text, bool is_key) {
  const std::string the = "the " + part;
  switch (property_format::FaultOf(text, is_key)) {
    case PartFault::kNewline: return the + " holds a newline, which would end its line";
    case PartFault::kComment: return the + " holds '#', which starts a comment";
    case PartFault::kEquals: return the + " holds '=', which ends a key";
    case PartFault::kLeadingBlank: return the + " starts with " + BlankName(text.front()) + ", which is trimmed";
    case PartFault::kTrailingBlank: return the + " ends with " + BlankName(text.back()) + ", which is trimmed";
    case PartFault::kNone: break;
  }
  return "";
}

}  // namespace

std::string BrokenRule(const std::string& key, const std::string& value) {
  if (key.empty()) return "the key is empty";
  const size_t limit = property_format::kMaxValueLength;
  if (value.size() > limit) {
    return "the value has " + std::to_string(value.size()) + " characters, more than " + std::to_string(limit);
  }
  const std::string rule = PartRule("key", key, true);
  return rule.empty() ? PartRule("value", value, false) : rule;
}
