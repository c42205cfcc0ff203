// The libraries' typical uses, one section each.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "examples/demo.h"

namespace demo {

static std::vector<Section>& Sections() {
  static std::vector<Section> sections;
  return sections;
}

bool Register(Section section) {
  Sections().push_back(section);
  return true;
}

}  // namespace demo

int main() {
  auto& sections = demo::Sections();
  std::sort(sections.begin(), sections.end(),
            [](const demo::Section& a, const demo::Section& b) { return strcmp(a.name, b.name) < 0; });
  for (const demo::Section& section : sections) {
    printf("\n=== %s ===\n", section.name);
    fflush(stdout);
    section.run();
    fflush(stdout);
  }
  return 0;
}
