# Debian packages (cpack -G DEB), one per install component, for the
# architecture being built: amd64 natively, arm64 from the aarch64 cross
# build. Configure with CMAKE_INSTALL_PREFIX=/usr (scripts/package.sh does),
# so that the libraries land in /usr/lib/<multiarch>.
#
#   libosal0, libproperty0   the runtime libraries, named after their SONAME
#   osal-platform-standins   this tree's liblog and libc_boundck; provides
#                            liblog0 and libc-boundck0, which the two runtime
#                            packages depend on, so that a platform package
#                            providing those names can replace it
#   libosal-dev              headers, .so links, CMake package, pkg-config
#   propctl                  the command-line tool
set(CPACK_PACKAGE_NAME osal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "osal developers <osal-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OS abstraction and property store libraries")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL osal property platform dev tool)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(osal_deb_version "${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}")
set(osal_platform_names "liblog0, libc-boundck0")

if(CMAKE_CROSSCOMPILING)
  if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    message(WARNING "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; packages cannot be built")
  endif()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  # dpkg-shlibdeps knows the host's libraries only: the C and C++ runtime
  # dependencies come from the cross toolchain's versions instead.
  execute_process(COMMAND dpkg-query -W -f=\${Version} libc6-arm64-cross
    OUTPUT_VARIABLE osal_cross_libc RESULT_VARIABLE osal_query_failed ERROR_QUIET)
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" osal_cross_libc "${osal_cross_libc}")
  if(osal_query_failed OR NOT osal_cross_libc)
    set(osal_cross_libc 2.36)
  endif()
  string(REGEX MATCH "^[0-9]+" osal_cxx_major ${CMAKE_CXX_COMPILER_VERSION})
  set(osal_runtime_depends
    "libc6 (>= ${osal_cross_libc}), libgcc-s1 (>= 3.0), libstdc++6 (>= ${osal_cxx_major}), ")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Where dpkg-shlibdeps finds this tree's own libraries (no package owns
  # them yet; their dependencies are named below).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${PROJECT_BINARY_DIR}/osal ${PROJECT_BINARY_DIR}/property ${PROJECT_BINARY_DIR}/platform)
  set(osal_runtime_depends "")
endif()

set(CPACK_DEBIAN_OSAL_PACKAGE_NAME libosal0)
set(CPACK_DEBIAN_OSAL_DESCRIPTION "OS abstraction library: threads, timed message queue, clocks, media metadata
 Named real-time worker threads, a timed message queue, microsecond clocks,
 a typed metadata container, an in-process parameter parcel, sealed
 memory-file regions and backtrace printing.")
set(CPACK_DEBIAN_OSAL_PACKAGE_DEPENDS "${osal_runtime_depends}${osal_platform_names}")

set(CPACK_DEBIAN_PROPERTY_PACKAGE_NAME libproperty0)
set(CPACK_DEBIAN_PROPERTY_DESCRIPTION "Property store library with change notification across processes
 property_get and property_set on /etc/j-config/mj-gralloc.cfg, a message
 loop, and an inotify watcher that makes every process re-read the file
 after another process rewrote it.")
set(CPACK_DEBIAN_PROPERTY_PACKAGE_DEPENDS "${osal_runtime_depends}${osal_platform_names}")

set(CPACK_DEBIAN_PLATFORM_PACKAGE_NAME osal-platform-standins)
set(CPACK_DEBIAN_PLATFORM_DESCRIPTION "Stand-ins for the platform's liblog and libc_boundck
 The log library (ZuLogPrint) and the bounds-checked copy library
 (memcpy_s, strcpy_s) that libosal and libproperty use. A platform that
 ships its own liblog.so.0 and libc_boundck.so.0 leaves this package out
 and provides liblog0 and libc-boundck0 itself.")
set(CPACK_DEBIAN_PLATFORM_PACKAGE_PROVIDES
  "liblog0 (= ${osal_deb_version}), libc-boundck0 (= ${osal_deb_version})")
if(osal_runtime_depends)
  string(REGEX REPLACE ", $" "" CPACK_DEBIAN_PLATFORM_PACKAGE_DEPENDS "${osal_runtime_depends}")
endif()

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libosal-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Development files for libosal and libproperty
 Headers, the .so links, the CMake package (find_package(osal)) and the
 pkg-config files (osal, property), with those of the platform stand-ins.")
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libosal0 (= ${osal_deb_version}), libproperty0 (= ${osal_deb_version}), osal-platform-standins (= ${osal_deb_version})")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME propctl)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_DESCRIPTION "Command-line tool for the property store
 propctl gets, sets, lists and watches the properties of
 /etc/j-config/mj-gralloc.cfg (or another file of the same format).")
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "${osal_runtime_depends}libproperty0 (>= ${osal_deb_version})")

include(CPack)
