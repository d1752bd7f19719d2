# nlohmann_json for the Windows build. Debian's package is header-only but its CMake
# files name /usr/include, which would put the build machine's C library headers in
# front of MinGW's; so its headers are copied into the build tree and used from there.
set(nlohmann_json_VERSION 3.11.2)
if(NOT TARGET nlohmann_json::nlohmann_json)
  set(_vexa_json_include "${CMAKE_BINARY_DIR}/mingw-w64-include")
  file(COPY /usr/include/nlohmann DESTINATION "${_vexa_json_include}")
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_vexa_json_include}")
endif()
