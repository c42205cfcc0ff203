# Installs the libraries, their public headers (mirroring the source folders),
# a CMake package (find_package(osal) gives osal::osal and osal::property) and
# pkg-config files. Files that only a Debian package carries (its copyright
# file, changelog and lintian override) come with the packages alone
# (cmake/OsalPackaging.cmake).
include(CMakePackageConfigHelpers)

#
# Install components, one Debian package each (cmake/OsalPackaging.cmake):
# osal, property, log and boundck hold the versioned shared libraries; dev
# the headers of libosal and libproperty, their .so links, the CMake package
# and the pkg-config files; standinsdev the headers and .so links of the
# platform stand-ins (liblog, libc_boundck), which a platform's own
# development files replace; tool holds propctl (tools/propctl).
foreach(target osal property)
  install(TARGETS ${target}
    EXPORT osalTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${target} NAMELINK_COMPONENT dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
# The stand-ins are a CMake package of their own (find_package(osal-platform));
# osal's does not need it, as the libraries link them privately.
foreach(pair zulog:log c_boundck:boundck)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 target)
  list(GET pair 1 component)
  install(TARGETS ${target}
    EXPORT osalPlatformTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${component} NAMELINK_COMPONENT standinsdev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(EXPORT osalPlatformTargets NAMESPACE osal:: FILE osal-platformConfig.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/osal-platform COMPONENT standinsdev)

# osal_public_headers(<out> <header>...)
# The given headers (paths from the source root) and every header of the
# libraries they include, directly or not: the public API. A header none of
# them reaches (the library's own, such as property/store/process_store.h)
# is internal and stays out of the installation. Read when configuring.
function(osal_public_headers out)
  set(todo ${ARGN})
  set(found)
  while(todo)
    list(POP_FRONT todo header)
    if(header IN_LIST found)
      continue()
    endif()
    list(APPEND found ${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} includes REGEX "^#include [<\"](osal|property)/")
    list(TRANSFORM includes REPLACE "^#include [<\"]([^\">]+)[\">].*" "\\1")
    list(APPEND todo ${includes})
  endwhile()
  set(${out} ${found} PARENT_SCOPE)
endfunction()

osal_public_headers(osal_headers osal/osal.h property/property.h)
foreach(header IN LISTS osal_headers)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/${dir} COMPONENT dev)
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/platform
  COMPONENT standinsdev FILES_MATCHING PATTERN "*.h")

set(OSAL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/osal)
install(EXPORT osalTargets NAMESPACE osal:: DESTINATION ${OSAL_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/osalConfig.cmake.in
  ${PROJECT_BINARY_DIR}/osalConfig.cmake INSTALL_DESTINATION ${OSAL_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/osalConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/osalConfig.cmake ${PROJECT_BINARY_DIR}/osalConfigVersion.cmake
  DESTINATION ${OSAL_CMAKE_DIR} COMPONENT dev)

# Relocatable: the prefix is found from where the .pc file was installed.
file(RELATIVE_PATH OSAL_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
foreach(pc osal property)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()
