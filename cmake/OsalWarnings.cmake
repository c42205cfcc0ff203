# Warnings every target of the project is built with.
add_library(osal_warnings INTERFACE)
target_compile_options(osal_warnings INTERFACE -Wall -Wextra $<$<BOOL:${OSAL_WERROR}>:-Werror>
  # clang checks the locks the code annotates (see property/store/lock_order.h).
  $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>)
