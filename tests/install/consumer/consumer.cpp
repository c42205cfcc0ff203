// A program built only against the installed headers and libraries.
#include <osal/osal.h>
#include <property/property.h>

#include <cstdio>

int main() {
  auto meta = osal::MediaMeta::Create();
  int32_t value = 0;
  if (!meta->SetInt32("answer", 42) || !meta->GetInt32("answer", value) || value != 42) return 1;
  printf("installed osal works: %d\n", value);
  return 0;
}
