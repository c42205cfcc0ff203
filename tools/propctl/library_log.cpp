#include "tools/propctl/library_log.h"

#include <dlfcn.h>

#include "platform/log/zu_log.h"

bool ShowLibraryLog(bool shown) {
  using SetLevelFn = void (*)(int);
  auto set_level = reinterpret_cast<SetLevelFn>(dlsym(RTLD_DEFAULT, "ZuLogSetLevel"));
  if (set_level == nullptr) return false;
  set_level(shown ? ZU_LOG_VERBOSE : ZU_LOG_ERROR + 1);
  return true;
}
