# The native core, shared by the extension and the test-only extensions: its
# sources, its warnings, and the one platform file that supplies the process
# queries.
set(VELMOR_SRC ${CMAKE_CURRENT_LIST_DIR}/../src)

file(GLOB VELMOR_CORE_SOURCES CONFIGURE_DEPENDS
  ${VELMOR_SRC}/boundary/*.cpp
  ${VELMOR_SRC}/probe/*.cpp
  ${VELMOR_SRC}/owners/*.cpp
  ${VELMOR_SRC}/terminate/*.cpp)

if(APPLE)
  set(VELMOR_PLATFORM_SOURCE ${VELMOR_SRC}/owners/platform/macos.cpp)
elseif(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(VELMOR_PLATFORM_SOURCE ${VELMOR_SRC}/owners/platform/linux.cpp)
else()
  message(FATAL_ERROR "velmor supports Linux and macOS")
endif()

option(VELMOR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

set(VELMOR_WARNINGS
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wnon-virtual-dtor -Wcast-align -Wnull-dereference -Werror)
# GCC 12 reports -Wrestrict false positives inside std::string concatenation
# at -O3 (GCC bug 105329); the warning stays on for other compilers.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  list(APPEND VELMOR_WARNINGS -Wno-restrict)
endif()

# velmor_core_library(NAME [DEFINITIONS...]): a static core library; the
# definitions are build-time switches that only test builds set.
function(velmor_core_library name)
  add_library(${name} STATIC ${VELMOR_CORE_SOURCES} ${VELMOR_PLATFORM_SOURCE})
  target_include_directories(${name} PUBLIC ${VELMOR_SRC})
  target_link_libraries(${name} PUBLIC Python::Module)
  target_compile_options(${name} PUBLIC ${VELMOR_WARNINGS})
  if(ARGN)
    target_compile_definitions(${name} PRIVATE ${ARGN})
  endif()
  if(VELMOR_SANITIZE)
    target_compile_options(${name} PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
    target_link_options(${name} PUBLIC -fsanitize=address,undefined)
  endif()
endfunction()
