# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
# Every program and library links the GCC and C++ runtimes statically, so the built
# files need no MinGW runtime DLLs beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXA_MINGW_PREFIX}-windres)
set(CMAKE_AR ${VEXA_MINGW_PREFIX}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEXA_MINGW_PREFIX}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers of the target come from the MinGW tree only. The one package of
# the build machine that serves the target too is header-only (nlohmann_json);
# GoogleTest is compiled from Debian's sources with this toolchain.
set(CMAKE_FIND_ROOT_PATH /usr/${VEXA_MINGW_PREFIX})
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-w64 CACHE PATH "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Windows programs run under Wine on the build machine.
find_program(VEXA_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(VEXA_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXA_WINE64})
endif()
