# Debian packages (cpack -G DEB), one per install component, for the
# architecture being built: amd64 natively, arm64 from the aarch64 cross
# build. Configure with CMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does),
# so that the libraries land in /usr/lib/<multiarch>.
#
#   libosal0, libproperty0       the runtime libraries, named after their SONAME
#   liblog0, libc-boundck0       this tree's stand-ins for the platform's
#                                liblog and libc_boundck; the two libraries
#                                above depend on these names, which a
#                                platform package of the real libraries takes
#                                over (Provides, Conflicts and Replaces)
#   libosal-dev                  headers, .so links, CMake package, pkg-config
#   osal-platform-standins-dev   the stand-ins' headers and .so links
#   propctl                      the command-line tool, its manual page and
#                                bash completion
#
# Every package carries the copyright file and the changelog of packaging/,
# and one lintian override with its reason (an initial entry that closes no
# bug).
# The library packages run ldconfig through a trigger and carry shlibs
# files; libosal0 and libproperty0 also symbols files (dpkg-gensymbols).
set(CPACK_PACKAGE_NAME osal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "osal developers <osal-dev@example.org>")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: cpack would put it above every
# package's own description, as the same summary line for all of them.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL osal property log boundck dev standinsdev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE osal)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(osal_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(osal_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(osal_control ${PROJECT_BINARY_DIR}/debian)

# The changelog's newest entry names the version being packaged.
file(STRINGS ${osal_packaging}/changelog osal_changelog_head LIMIT_COUNT 1)
if(NOT osal_changelog_head MATCHES "^osal \\(${osal_deb_version}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with an entry for ${osal_deb_version}")
endif()

# The C and C++ runtime dependencies of the library packages: the toolchain's
# glibc and GCC versions (dpkg-shlibdeps, which knows the host's libraries
# only, serves propctl on amd64). Left to dpkg-shlibdeps, the ldconfig calls
# that cpack adds to the maintainer scripts of every package with shared
# libraries would come back.
if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; packages cannot be built")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  set(osal_libc_package libc6-arm64-cross)
  set(osal_gensymbols_arch -aarm64)
else()
  set(osal_libc_package libc6)
  set(osal_gensymbols_arch)
  set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/property)
endif()
execute_process(COMMAND dpkg-query -W -f=\${Version} ${osal_libc_package}
  OUTPUT_VARIABLE osal_libc RESULT_VARIABLE osal_query_failed ERROR_QUIET)
string(REGEX MATCH "^[0-9]+\\.[0-9]+" osal_libc "${osal_libc}")
if(osal_query_failed OR NOT osal_libc)
  set(osal_libc 2.36)
endif()
string(REGEX MATCH "^[0-9]+" osal_cxx_major ${CMAKE_CXX_COMPILER_VERSION})
set(osal_runtime_depends "libc6 (>= ${osal_libc}), libgcc-s1 (>= 3.0), libstdc++6 (>= ${osal_cxx_major})")

# osal_deb_package(<component> <package> <section> <depends> <description>)
# Names a component's package, gives it its description (the first line is
# its summary; cpack indents the other lines itself, so they start at the
# margin) and installs its copyright file, changelog and lintian
# override. Those three are excluded from a full installation: only a
# component installation, which is how cpack fills each package, puts them
# in, so that "cmake --install" into a prefix leaves them out.
function(osal_deb_package component package section depends description)
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_NAME ${package} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_SECTION ${section} PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
  set(CPACK_DEBIAN_${c}_DESCRIPTION "${description}" PARENT_SCOPE)
  set(doc ${CMAKE_INSTALL_DATADIR}/doc/${package})
  install(FILES ${osal_packaging}/copyright ${PROJECT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${doc}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
  set(overrides ${osal_control}/${package}/lintian-overrides)
  file(WRITE ${overrides} "# Built for the platform's own archive, never uploaded to Debian:\n"
    "# there is no bug announcing the package for the first entry to close.\n"
    "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endfunction()

# osal_deb_library(<component> <target> <package> [SYMBOLS])
# A runtime library package: ldconfig trigger, shlibs file and, with
# SYMBOLS, a symbols file made from the built library.
function(osal_deb_library component target package)
  get_target_property(name ${target} OUTPUT_NAME)
  set(dir ${osal_control}/${package})
  file(WRITE ${dir}/shlibs "lib${name} ${PROJECT_VERSION_MAJOR} ${package} (>= ${PROJECT_VERSION})\n")
  set(extra ${osal_packaging}/triggers ${dir}/shlibs)
  if(ARGN STREQUAL "SYMBOLS")
    add_custom_command(OUTPUT ${dir}/symbols
      COMMAND dpkg-gensymbols -q ${osal_gensymbols_arch} -p${package} -v${PROJECT_VERSION}
        -P${dir} -e$<TARGET_FILE:${target}> -O${dir}/symbols
      DEPENDS ${target} WORKING_DIRECTORY ${dir}
      COMMENT "Symbols file of ${package}")
    add_custom_target(${package}_symbols ALL DEPENDS ${dir}/symbols)
    list(APPEND extra ${dir}/symbols)
  endif()
  string(TOUPPER ${component} c)
  set(CPACK_DEBIAN_${c}_PACKAGE_CONTROL_EXTRA "${extra}" PARENT_SCOPE)
endfunction()

add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  COMMAND gzip -9n -c ${osal_packaging}/changelog > ${PROJECT_BINARY_DIR}/changelog.Debian.gz
  DEPENDS ${osal_packaging}/changelog)
add_custom_target(osal_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian.gz)

find_program(OSAL_GENSYMBOLS dpkg-gensymbols)
set(osal_symbols)
if(OSAL_GENSYMBOLS)
  set(osal_symbols SYMBOLS)
endif()
osal_deb_library(osal osal libosal0 ${osal_symbols})
osal_deb_library(property property libproperty0 ${osal_symbols})
osal_deb_library(log zulog liblog0)
osal_deb_library(boundck c_boundck libc-boundck0)

set(osal_platform_names "liblog0, libc-boundck0")
osal_deb_package(osal libosal0 libs "${osal_runtime_depends}, ${osal_platform_names}"
"OS abstraction library: threads, message queue, clocks, media metadata
Named real-time worker threads, a timed message queue, microsecond clocks,
a typed metadata container, an in-process parameter parcel, sealed
memory-file regions and backtrace printing.")
osal_deb_package(property libproperty0 libs "${osal_runtime_depends}, ${osal_platform_names}"
"Property store library with change notification across processes
property_get and property_set on /etc/j-config/mj-gralloc.cfg, a message
loop, and an inotify watcher that makes every process re-read the file
after another process rewrote it.")
osal_deb_package(log liblog0 libs "${osal_runtime_depends}"
"Platform log library (stand-in)
The log function ZuLogPrint that libosal and libproperty call, writing one
line per call to standard error; warnings and errors unless ZULOG_LEVEL
names another threshold. A platform whose own log library provides
liblog0 replaces this package.")
osal_deb_package(boundck libc-boundck0 libs "${osal_runtime_depends}"
"Bounds-checked copy library (stand-in)
The copy functions memcpy_s and strcpy_s that libosal and libproperty
call. A platform whose own bounds-checked library provides libc-boundck0
replaces this package.")
osal_deb_package(dev libosal-dev libdevel
  "libosal0 (= ${osal_deb_version}), libproperty0 (= ${osal_deb_version})"
"Development files for libosal and libproperty
Headers, the .so links, the CMake package (find_package(osal)) and the
pkg-config files (osal, property).")
osal_deb_package(standinsdev osal-platform-standins-dev libdevel
  "liblog0 (= ${osal_deb_version}), libc-boundck0 (= ${osal_deb_version})"
"Development files of the liblog and libc_boundck stand-ins
The headers zu_log.h and bounds_checked.h and the .so links of this
tree's stand-ins for the platform's log and bounds-checked copy
libraries. A platform ships its own in their place.")
osal_deb_package(tool propctl utils "libproperty0 (>= ${osal_deb_version})"
"Command-line tool for the property store
propctl gets, sets, unsets, lists and watches the properties of
/etc/j-config/mj-gralloc.cfg (or another file of the same format),
with a manual page and bash completion.")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${osal_runtime_depends}, ${CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS}")
endif()

include(CPack)
