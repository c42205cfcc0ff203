# osal_add_library(<target> OUTPUT <name> DIRS <dir>... [LIBS <lib>...])
#
# A versioned shared library built from every .cpp file in the given source
# directories; its public headers are found from the project root, so that
# code includes them as <osal/meta/media_meta.h> both in the tree and after
# installation.
function(osal_add_library target)
  cmake_parse_arguments(L "" "OUTPUT" "DIRS;LIBS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS L_DIRS)
    file(GLOB dir_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${dir_sources})
  endforeach()
  add_library(${target} SHARED ${sources})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${L_OUTPUT}
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    EXPORT_NAME ${L_OUTPUT}
    INSTALL_RPATH "${OSAL_LIBRARY_RUNPATH}")
  target_include_directories(${target} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${target} PRIVATE osal_warnings ${L_LIBS})
  # Calls inside the library go straight to their target, not through the PLT.
  target_compile_options(${target} PRIVATE -fno-semantic-interposition)
  # clang links its sanitizer runtime into executables only, so a fuzz build's
  # libraries leave those symbols to the program.
  if(NOT OSAL_BUILD_FUZZERS)
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()
