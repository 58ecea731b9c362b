# Shared build rules: warnings, charsets, sanitizers, static linking and test registration.
include_guard(GLOBAL)

set(VEXO_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)
set(VEXO_WINDOWS OFF)
if(VEXO_FLAVOR STREQUAL "windows")
  set(VEXO_WINDOWS ON)
endif()

# Sanitizers for every native Debug target (libraries, tools and tests alike).
if(VEXO_FLAVOR STREQUAL "native")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(VEXO_FLAVOR STREQUAL "fuzz")
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(VEXO_WINDOWS)
  # <windows.h> without the old <winsock.h>, so <winsock2.h> may come before or after it.
  add_compile_definitions(WIN32_LEAN_AND_MEAN)
  # One self-contained file per binary: no libgcc, libstdc++ or winpthread DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # One section per function and object, so that the shipped binaries' links drop what is unused.
  add_compile_options(-ffunction-sections)
endif()

# Our own code: warning-free, and its texts are GBK at run time.
function(vexo_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Code that ships inside the DLL: optimised for size in the Windows build, where the DLL has a size
# budget and the crash path is not hot. The tests and tools keep the build type's -O2.
function(vexo_product target)
  if(VEXO_WINDOWS)
    target_compile_options(${target} PRIVATE -Os)
  endif()
endfunction()

function(vexo_gbk target)
  # clang (the fuzz build) knows no execution charset but UTF-8; GBK texts matter only in the
  # GCC-built product and its tests.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  target_compile_options(${target} PRIVATE -finput-charset=UTF-8 -fexec-charset=GBK)
endfunction()

# LZO: the system library natively, the cross-built static one for MinGW.
if(VEXO_WINDOWS)
  set(VEXO_LZO_DIR ${VEXO_ROOT}/build/deps)
  if(NOT EXISTS ${VEXO_LZO_DIR}/lib/liblzo2.a)
    message(FATAL_ERROR "build/deps/lib/liblzo2.a is missing: run scripts/setup first")
  endif()
  add_library(vexo_lzo STATIC IMPORTED GLOBAL)
  set_target_properties(vexo_lzo PROPERTIES
    IMPORTED_LOCATION ${VEXO_LZO_DIR}/lib/liblzo2.a
    INTERFACE_INCLUDE_DIRECTORIES ${VEXO_LZO_DIR}/include)
else()
  find_library(VEXO_LZO_LIB NAMES lzo2 REQUIRED)
  find_path(VEXO_LZO_INCLUDE lzo/lzo1x.h REQUIRED)
  add_library(vexo_lzo UNKNOWN IMPORTED GLOBAL)
  set_target_properties(vexo_lzo PROPERTIES
    IMPORTED_LOCATION ${VEXO_LZO_LIB}
    INTERFACE_INCLUDE_DIRECTORIES ${VEXO_LZO_INCLUDE})
endif()

# GoogleTest: Debian's package natively; cross-built from its source for Windows.
function(vexo_setup_gtest)
  if(TARGET GTest::gtest_main)
    return()
  endif()
  if(VEXO_WINDOWS)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endfunction()

# Registers a GoogleTest program. Natively each case is its own CTest test; under Wine the
# program is one test (listing cases through Wine at build time costs more than it gives).
# DISCOVER_FILTER keeps cases out of that list (a gtest filter) that another test runs itself.
function(vexo_add_gtest target)
  cmake_parse_arguments(ARG "" "DISCOVER_FILTER" "SOURCES;LIBS;LABELS" ${ARGN})
  vexo_setup_gtest()
  add_executable(${target} ${ARG_SOURCES})
  vexo_target(${target})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest_main)
  if(VEXO_WINDOWS)
    target_link_libraries(${target} PRIVATE ws2_32)
    add_test(NAME ${target} COMMAND ${target})
    if(ARG_LABELS)
      set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
    endif()
  else()
    include(GoogleTest)
    set(filter)
    if(ARG_DISCOVER_FILTER)
      set(filter TEST_FILTER ${ARG_DISCOVER_FILTER})
    endif()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST ${filter}
                         PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# A shipped Windows binary: a CodeView record (its GUID from ld's build id) for symbol servers,
# then the DWARF moves to NAME.debug beside it and the binary itself is stripped. The .debug file
# is what turns a crash address into function and file:line; the stripped file is what ships.
function(vexo_ship_binary target)
  if(NOT VEXO_WINDOWS)
    return()
  endif()
  target_link_options(${target} PRIVATE -Wl,--build-id -Wl,--gc-sections)
  set(binary $<TARGET_FILE:${target}>)
  set(debug $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.debug)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOBJCOPY=${CMAKE_OBJCOPY} -DSTRIP=${CMAKE_STRIP}
            -DBINARY=${binary} -DDEBUG=${debug} -P ${VEXO_ROOT}/cmake/ShipBinary.cmake
    VERBATIM)
endfunction()
