# The Python side of the Windows build: the Corvane module for 64-bit CPython 3.11.
#
# No Windows Python is installed on the build machine. The module is compiled against
# CPython's own headers (Include/ and PC/pyconfig.h, which scripts/cpython-headers.sh
# takes from Debian's source package python3.11) and linked against python311.dll
# through an import library made at link time from the Python names that the module's
# objects reference. pybind11 and pybind11_json are Debian's header-only packages.
#
# This gives the Windows build what find_package(pybind11) and find_package(pybind11_json)
# give elsewhere: the targets pybind11::headers, pybind11::pybind11, pybind11::module and
# pybind11_json, and the function pybind11_add_module. VEXA_WINDOWS_PYTHON tells whether
# the headers were found; without them the module is left out and the rest of the tree builds.
set(VEXA_WINDOWS_PYTHON_HEADERS "${CMAKE_BINARY_DIR}/cpython-3.11" CACHE PATH
    "CPython 3.11 sources' Include/ and PC/pyconfig.h for the Windows Corvane module (scripts/cpython-headers.sh)")
set(VEXA_WINDOWS_PYTHON_DLL python311)

set(VEXA_WINDOWS_PYTHON FALSE)
set(_vexa_patchlevel "${VEXA_WINDOWS_PYTHON_HEADERS}/Include/patchlevel.h")
if(NOT EXISTS "${_vexa_patchlevel}" OR NOT EXISTS "${VEXA_WINDOWS_PYTHON_HEADERS}/PC/pyconfig.h")
  message(STATUS "No CPython headers in ${VEXA_WINDOWS_PYTHON_HEADERS}: the Corvane module is not built "
                 "(scripts/cpython-headers.sh ${VEXA_WINDOWS_PYTHON_HEADERS} fetches them)")
  return()
endif()
file(STRINGS "${_vexa_patchlevel}" _vexa_python_version REGEX "^#define PY_VERSION[ \t]")
if(NOT _vexa_python_version MATCHES "\"3\\.11\\.")
  message(FATAL_ERROR "${VEXA_WINDOWS_PYTHON_HEADERS} does not hold CPython 3.11 (${_vexa_python_version})")
endif()
set(VEXA_WINDOWS_PYTHON TRUE)
# For the wheel's tag (scripts/package.sh): the interpreter the module is built for.
set(VEXA_WINDOWS_PYTHON_VERSION 3.11 CACHE INTERNAL "")

# Copied into the build tree for the reason given in mingw-w64/nlohmann_jsonConfig.cmake:
# /usr/include would put the build machine's C library in front of MinGW's.
foreach(header IN ITEMS pybind11/pybind11.h pybind11_json/pybind11_json.hpp)
  if(NOT EXISTS "/usr/include/${header}")
    message(FATAL_ERROR "No /usr/include/${header}: the Windows Corvane module needs Debian's pybind11-dev and pybind11-json-dev")
  endif()
endforeach()
set(_vexa_binding_include "${CMAKE_BINARY_DIR}/mingw-w64-include")
file(COPY /usr/include/pybind11 /usr/include/pybind11_json DESTINATION "${_vexa_binding_include}")

add_library(pybind11::headers INTERFACE IMPORTED)
set_target_properties(pybind11::headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
  "${_vexa_binding_include};${VEXA_WINDOWS_PYTHON_HEADERS}/Include;${VEXA_WINDOWS_PYTHON_HEADERS}/PC")
# PC/pyconfig.h sets MS_WIN64, and with it the sizes of 64-bit Windows, for MSVC alone:
# without it GCC compiles against those of 32-bit Windows (4-byte pointers, size_t and
# time_t, 15-bit digits of int), not the ABI of a 64-bit interpreter.
set_target_properties(pybind11::headers PROPERTIES INTERFACE_COMPILE_DEFINITIONS MS_WIN64)
add_library(pybind11::pybind11 INTERFACE IMPORTED)
set_target_properties(pybind11::pybind11 PROPERTIES INTERFACE_LINK_LIBRARIES pybind11::headers)
add_library(pybind11::module INTERFACE IMPORTED)
set_target_properties(pybind11::module PROPERTIES INTERFACE_LINK_LIBRARIES pybind11::headers)
add_library(pybind11_json INTERFACE IMPORTED)
set_target_properties(pybind11_json PROPERTIES INTERFACE_LINK_LIBRARIES "pybind11::headers;nlohmann_json::nlohmann_json")

# pybind11_add_module(NAME [MODULE|SHARED] [EXCLUDE_FROM_ALL] [pybind11 options] SOURCES...)
function(pybind11_add_module target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "MODULE;SHARED;EXCLUDE_FROM_ALL;NO_EXTRAS;SYSTEM;THIN_LTO;OPT_SIZE" "" "")
  set(kind MODULE)
  if(ARG_SHARED)
    set(kind SHARED)
  endif()
  set(exclude)
  if(ARG_EXCLUDE_FROM_ALL)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_library(${target} ${kind} ${exclude} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${target} PRIVATE pybind11::module)
  # Hidden by default as pybind11 makes its own classes; only PyInit_ is exported.
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".pyd"
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # Run once the directory is complete, when every object library linked into the
  # module is known.
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _vexa_python_import_library ${target})")
endfunction()

# The import library of python311.dll, made right before the module is linked: a .def
# of the Python names its objects (and those of the object and static libraries linked
# into it) leave undefined, turned into libpython311.a by the MinGW dlltool.
function(_vexa_python_import_library target)
  set(objects "$<TARGET_OBJECTS:${target}>")
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(link IN LISTS links)
    if(TARGET "${link}")
      get_target_property(type "${link}" TYPE)
      if(type STREQUAL "OBJECT_LIBRARY")
        list(APPEND objects "$<TARGET_OBJECTS:${link}>")
      elseif(type STREQUAL "STATIC_LIBRARY")
        list(APPEND objects "$<TARGET_FILE:${link}>")
      endif()
    endif()
  endforeach()
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/${target}-python-import")
  add_custom_command(TARGET ${target} PRE_LINK
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DDLLTOOL=${CMAKE_DLLTOOL}"
            "-DDLL=${VEXA_WINDOWS_PYTHON_DLL}" "-DOUTPUT_DIR=${dir}" "-DOBJECTS=${objects}"
            -P "${PROJECT_SOURCE_DIR}/cmake/VexaPythonImportLibrary.cmake"
    VERBATIM)
  target_link_directories(${target} PRIVATE "${dir}")
  # A name, not a file: the library is made in the link step itself.
  target_link_libraries(${target} PRIVATE ${VEXA_WINDOWS_PYTHON_DLL})
endfunction()
