# Installed libraries and programs find the project's libraries relative to
# where they are themselves ($ORIGIN in their run path), so that an install
# under any prefix, also a moved one, runs without LD_LIBRARY_PATH. The
# build tree keeps its own absolute run paths.
set(OSAL_LIBRARY_RUNPATH "$ORIGIN")
file(RELATIVE_PATH osal_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set(OSAL_PROGRAM_RUNPATH "$ORIGIN/${osal_bin_to_lib}")
unset(osal_bin_to_lib)
