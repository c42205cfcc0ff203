#include "tools/propctl/refusal.h"

#include "property/store/property_file.h"

namespace {

const char* BlankName(char c) {
  if (c == ' ') return "a blank";
  return c == '\t' ? "a tab" : nullptr;
}

// The rule that one part of the pair breaks, or "".
std::string PartRule(const std::string& part, const std::string& text, bool is_key) {
  const std::string the = "the " + part;
  if (text.find('\n') != std::string::npos) return the + " holds a newline, which would end its line";
  if (text.find('#') != std::string::npos) return the + " holds '#', which starts a comment";
  if (is_key && text.find('=') != std::string::npos) return the + " holds '=', which ends a key";
  if (text.empty()) return "";
  if (const char* blank = BlankName(text.front())) return the + " starts with " + blank + ", which is trimmed";
  if (const char* blank = BlankName(text.back())) return the + " ends with " + blank + ", which is trimmed";
  return "";
}

}  // namespace

std::string BrokenRule(const std::string& key, const std::string& value) {
  if (key.empty()) return "the key is empty";
  const size_t limit = PropertyFile::kMaxValueLength;
  if (value.size() > limit) {
    return "the value has " + std::to_string(value.size()) + " characters, more than " + std::to_string(limit);
  }
  const std::string rule = PartRule("key", key, true);
  return rule.empty() ? PartRule("value", value, false) : rule;
}
