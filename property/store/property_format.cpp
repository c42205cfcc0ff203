#include "property/store/property_format.h"

#include <algorithm>
#include <cstring>

namespace property_format {

void Trim(std::string& text) {
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  size_t begin = 0;
  while (begin < end && IsBlank(text[begin])) ++begin;
  text.assign(text, begin, end - begin);
}

bool ParseLine(std::string_view line, std::string& key, std::string& value) {
  if (line.empty() || line[0] == '#') return false;
  const std::string_view content = line.substr(0, line.find('#'));
  const size_t equals = content.find('=');
  if (equals == std::string_view::npos) return false;
  key.assign(content.substr(0, equals));
  value.assign(content.substr(equals + 1));
  Trim(key);
  Trim(value);
  return !key.empty();
}

// Not operator[] or insert_or_assign: their piecewise construction refers to
// std::piecewise_construct, which unoptimised builds emit as a GNU unique
// symbol, and such a symbol keeps the library from ever being unloaded.
void StorePair(Pairs& pairs, const std::string& key, const std::string& value) {
  auto it = pairs.lower_bound(key);
  if (it != pairs.end() && it->first == key) {
    it->second = value;
    return;
  }
  pairs.emplace_hint(it, key, value);
}

void Split(const std::string& text, Pairs* pairs, std::string& kept) {
  std::string key;
  std::string value;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line(text.data() + start, end - start);
    start = end + 1;
    if (ParseLine(line, key, value)) {
      if (pairs != nullptr) StorePair(*pairs, key, value);
      continue;
    }
    kept += line;
    kept += '\n';
  }
}

std::string Render(const std::string& kept, const Pairs& pairs) {
  std::string text;
  text.reserve(kept.size() + pairs.size() * 32);
  text = kept;
  for (const auto& [key, value] : pairs) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  }
  return text;
}

PartFault FaultOf(std::string_view part, bool isKey) {
  if (part.find('\n') != std::string_view::npos) return PartFault::kNewline;
  if (part.find('#') != std::string_view::npos) return PartFault::kComment;
  if (isKey && part.find('=') != std::string_view::npos) return PartFault::kEquals;
  if (!part.empty() && IsBlank(part.front())) return PartFault::kLeadingBlank;
  if (!part.empty() && IsBlank(part.back())) return PartFault::kTrailingBlank;
  return PartFault::kNone;
}

const char* Refusal(const char* key, const char* value) {
  if (key == nullptr || value == nullptr || key[0] == '\0') return "property key or value cannot be empty";
  // A newline would split the written line into a different pair.
  if (strchr(key, '\n') != nullptr || strchr(value, '\n') != nullptr) {
    return "property key or value cannot contain a newline";
  }
  static_assert(kMaxValueLength + 1 == 92, "the message names the buffer size");
  if (strlen(value) > kMaxValueLength) return "property value lenth cannot more than 92";
  // The written line would read back as another pair, or as none (and each
  // further set would append another copy of it).
  if (FaultOf(key, true) != PartFault::kNone || FaultOf(value, false) != PartFault::kNone) {
    return "property key or value would not read back: no '#', no '=' in the key, no blanks at either end";
  }
  return nullptr;
}

}  // namespace property_format
