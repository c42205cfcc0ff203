// A program built only against the installed headers and libraries, using
// both of them (libproperty only through the parser, so that no property
// file is read).
#include <osal/osal.h>
#include <property/property.h>

#include <cstdio>
#include <string>

int main() {
  auto meta = osal::MediaMeta::Create();
  int32_t value = 0;
  if (!meta->SetInt32("answer", 42) || !meta->GetInt32("answer", value) || value != 42) return 1;
  PropertyFile parser;
  std::string key;
  std::string text;
  if (!parser.AnalyseLine("answer = 42", key, text) || key != "answer" || text != "42") return 1;
  printf("installed osal and property work: %d, %s=%s\n", value, key.c_str(), text.c_str());
  return 0;
}
