# Compiler settings shared by every target of the tree.

option(VEXA_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VEXA_SANITIZE_THREAD "Build with ThreadSanitizer" OFF)
if(VEXA_SANITIZE AND VEXA_SANITIZE_THREAD)
  message(FATAL_ERROR "VEXA_SANITIZE and VEXA_SANITIZE_THREAD exclude each other")
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra)
endif()

if(VEXA_SANITIZE)
  set(VEXA_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${VEXA_SANITIZER_FLAGS})
  add_link_options(${VEXA_SANITIZER_FLAGS})
  # The runtime an interpreter that was not built with the sanitizers must preload
  # before it can load our module.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE VEXA_ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                  OUTPUT_VARIABLE VEXA_UBSAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

if(VEXA_SANITIZE_THREAD)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libtsan.so
                  OUTPUT_VARIABLE VEXA_TSAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

# Libraries that our loader binds at run time must really leave the process on
# FreeLibrary. GCC marks static locals of inline functions and static members of
# templates as STB_GNU_UNIQUE, which pins a shared object for the life of the process;
# this turns that off for one target.
function(vexa_unloadable_library target)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fno-gnu-unique)
  endif()
  vexa_framework_library_name(${target})
endfunction()

# The framework's libraries are named Orbisk.dll and Tessaly.dll on every platform.
function(vexa_framework_library_name target)
  set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".dll")
endfunction()

# Python extension modules: pybind11 catches the unwinding that ends a thread when the
# interpreter finalizes (abi::__forced_unwind) by reference, and that unwinding has
# no exception object, which the null-reference check of UBSan reports as an error.
# The module keeps every other check.
function(vexa_python_module target)
  if(VEXA_SANITIZE)
    target_compile_options(${target} PRIVATE -fno-sanitize=null)
  endif()
endfunction()
