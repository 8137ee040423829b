# The Windows build, cross-compiled with mingw-w64 (cmake/mingw-w64-x86_64.cmake) and
# tested under wine: the COM runtime's Windows backend and its tests so far.

enable_language(C)
enable_language(RC)
find_package(Threads REQUIRED)
enable_testing()

# GoogleTest from Debian's source package, built with the same compiler.
set(MX_GOOGLETEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${MX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

function(mx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()

# mx_win_gtest(NAME <test> SOURCES ... [LIBS ...] [FIXTURES ...]): one gtest program; each
# of its cases is a CTest test, listed and run under wine when ctest runs (so that the
# build itself never starts wine).
include(GoogleTest)
function(mx_win_gtest)
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS;FIXTURES" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_include_directories(${A_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} gtest gtest_main Threads::Threads)
  mx_warnings(${A_NAME})
  set(properties TIMEOUT 60)  # a case takes seconds; a stall is retried once (./run)
  if(A_FIXTURES)
    list(APPEND properties FIXTURES_REQUIRED "${A_FIXTURES}")
  endif()
  gtest_discover_tests(${A_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ${properties})
endfunction()

add_subdirectory(src/platform/com/win)
add_subdirectory(src/platform/cqgcel/win_server)
add_subdirectory(tests/windows)
