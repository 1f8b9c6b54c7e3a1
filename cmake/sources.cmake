# The two layers of the native code, shared by the extension modules and the
# test-only extensions:
#   the core (src/core): probing, the socket table and its reads,
#   termination, shared system utilities, and the one platform folder that
#   the build picks; it never includes the interpreter's headers;
#   the call boundary (src/bindings/boundary): argument binding, conversions,
#   failures, the call guard and the lock release, on which each binding
#   module (src/bindings/lib, src/bindings/table) is a thin file or two.
set(VELMOR_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)

file(GLOB VELMOR_CORE_SOURCES CONFIGURE_DEPENDS
  ${VELMOR_SRC}/core/system/*.cpp
  ${VELMOR_SRC}/core/probe/*.cpp
  ${VELMOR_SRC}/core/platform/*.cpp
  ${VELMOR_SRC}/core/sockets/*.cpp
  ${VELMOR_SRC}/core/terminate/*.cpp
  ${VELMOR_SRC}/core/ports/*.cpp)

if(APPLE)
  set(VELMOR_PLATFORM macos)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(VELMOR_PLATFORM linux)
else()
  message(FATAL_ERROR "velmor supports Linux and macOS")
endif()
file(GLOB VELMOR_PLATFORM_SOURCES CONFIGURE_DEPENDS ${VELMOR_SRC}/core/platform/${VELMOR_PLATFORM}/*.cpp)
file(GLOB VELMOR_BOUNDARY_SOURCES CONFIGURE_DEPENDS ${VELMOR_SRC}/bindings/boundary/*.cpp)

option(VELMOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# Our own builds (tests, sanitizer, CI) turn warnings into errors; a user's
# `pip install` does not, so that a warning a newer compiler adds never
# breaks an install.
option(VELMOR_WERROR "Treat compiler warnings as errors" OFF)

set(VELMOR_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wcast-align -Wnull-dereference)
if(VELMOR_WERROR)
  list(APPEND VELMOR_WARNINGS -Werror)
endif()
# GCC 12 reports -Wrestrict false positives inside std::string concatenation
# at -O3 (GCC bug 105329); the warning stays on for other compilers.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VELMOR_WARNINGS -Wno-restrict)
endif()

function(velmor_target_options name)
  target_compile_options(${name} PRIVATE ${VELMOR_WARNINGS})
  if(VELMOR_SANITIZE)
    # Without UBSan's vptr check: it tests whether memory is readable
    # through a pipe, and with the descriptor table full (which a test does on
    # purpose) it takes every object for an invalid one.
    target_compile_options(${name} PUBLIC -fsanitize=address,undefined -fno-sanitize=vptr -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${name} PUBLIC -fsanitize=address,undefined)
  endif()
endfunction()

# velmor_core_library(NAME [PLATFORM FOLDER] [DEFINITIONS...]): the core as a
# static library, with the platform folder the build picks or, for test
# builds, the one named (their system headers are theirs to supply); the
# definitions are build-time switches that only test builds set.
function(velmor_core_library name)
  cmake_parse_arguments(PARSE_ARGV 1 core "" "PLATFORM" "")
  set(platform_sources ${VELMOR_PLATFORM_SOURCES})
  if(core_PLATFORM)
    file(GLOB platform_sources CONFIGURE_DEPENDS ${VELMOR_SRC}/core/platform/${core_PLATFORM}/*.cpp)
  endif()
  add_library(${name} STATIC ${VELMOR_CORE_SOURCES} ${platform_sources})
  target_include_directories(${name} PUBLIC ${VELMOR_SRC})
  velmor_target_options(${name})
  if(core_UNPARSED_ARGUMENTS)
    target_compile_definitions(${name} PRIVATE ${core_UNPARSED_ARGUMENTS})
  endif()
endfunction()

# Every module, the test-only ones included, is built against CPython's
# stable ABI as of 3.10: one build of a module loads in every interpreter from
# 3.10 on. The boundary sees the same restricted interface as the module
# sources (which Python_add_library gives it), so nothing outside it can slip
# in. (Needs the SABIModule component of find_package(Python), CMake 3.26.)
set(VELMOR_STABLE_ABI 3.10)
set(VELMOR_LIMITED_API 0x030a0000)

# velmor_boundary_library(NAME CORE): the call boundary over the core CORE.
function(velmor_boundary_library name core)
  add_library(${name} STATIC ${VELMOR_BOUNDARY_SOURCES})
  target_link_libraries(${name} PUBLIC ${core} Python::SABIModule)
  target_compile_definitions(${name} PRIVATE Py_LIMITED_API=${VELMOR_LIMITED_API})
  velmor_target_options(${name})
  # The fence against the end of a thread needs the C form of the POSIX
  # cleanup handlers, which glibc gives to code without exceptions only (see
  # thread_end.hpp).
  set_source_files_properties(${VELMOR_SRC}/bindings/boundary/thread_end.cpp TARGET_DIRECTORY ${name}
    PROPERTIES COMPILE_OPTIONS -fno-exceptions)
endfunction()

# velmor_module(NAME BOUNDARY SOURCES...): one extension module, named
# NAME.abi3.so.
function(velmor_module name boundary)
  Python_add_library(${name} MODULE USE_SABI ${VELMOR_STABLE_ABI} WITH_SOABI ${ARGN})
  target_link_libraries(${name} PRIVATE ${boundary})
  velmor_target_options(${name})
endfunction()

# The package's version, kept in pyproject.toml alone.
if(DEFINED SKBUILD_PROJECT_VERSION)
  set(VELMOR_VERSION ${SKBUILD_PROJECT_VERSION})
else()
  file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../pyproject.toml VELMOR_VERSION_LINE REGEX "^version *= *\"")
  string(REGEX REPLACE "^version *= *\"([^\"]+)\".*" "\\1" VELMOR_VERSION "${VELMOR_VERSION_LINE}")
endif()

# velmor_command(NAME CORE): the velmor command, a native program on the
# core CORE (src/command; no interpreter), written out as `velmor`.
function(velmor_command name core)
  file(GLOB command_sources CONFIGURE_DEPENDS ${VELMOR_SRC}/command/*.cpp)
  add_executable(${name} ${command_sources})
  set_target_properties(${name} PROPERTIES OUTPUT_NAME velmor POSITION_INDEPENDENT_CODE ON)
  target_link_libraries(${name} PRIVATE ${core})
  target_compile_definitions(${name} PRIVATE VELMOR_VERSION="${VELMOR_VERSION}")
  velmor_target_options(${name})
  # With GCC, the C++ runtime linked in: loading and relocating libstdc++
  # is most of a short command's start-up. Only where the static library is
  # there (some systems ship it apart), and not under the sanitizers, whose
  # runtime must be the one to provide operator new.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND NOT VELMOR_SANITIZE)
    include(CheckLinkerFlag)
    check_linker_flag(CXX "-static-libstdc++" VELMOR_STATIC_LIBSTDCXX)
    if(VELMOR_STATIC_LIBSTDCXX)
      target_link_options(${name} PRIVATE -static-libstdc++ -static-libgcc)
    endif()
  endif()
endfunction()
