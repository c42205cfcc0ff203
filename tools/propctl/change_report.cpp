#include "tools/propctl/change_report.h"

#include <map>

std::vector<std::string> DescribeChanges(const PropertyFile::PropertyMap& before,
                                         const PropertyFile::PropertyMap& after,
                                         const std::set<std::string>& keys) {
  const auto watched = [&keys](const std::string& key) { return keys.empty() || keys.count(key) > 0; };
  std::map<std::string, std::string> lines;  // by key
  for (const auto& [key, value] : after) {
    const auto old = before.find(key);
    if (watched(key) && (old == before.end() || old->second != value)) lines[key] = key + "=" + value;
  }
  for (const auto& [key, value] : before) {
    if (watched(key) && after.count(key) == 0) lines[key] = "-" + key;
  }
  std::vector<std::string> result;
  result.reserve(lines.size());
  for (auto& entry : lines) result.push_back(std::move(entry.second));
  return result;
}
