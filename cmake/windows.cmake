# What Windows builds add: C and resource compilers (widl's GUID files, embedded type
# libraries), one folder for every program and DLL, and the Windows suite's helpers.
# Cross-compiled with mingw-w64 (cmake/mingw-w64-x86_64.cmake) and tested under wine by
# ./run test --windows; a native mingw-w64 build takes the same files.

enable_language(C)
enable_language(RC)

# localtime_r and gmtime_r, which mingw-w64 declares for POSIX-minded code only.
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS)

# Programs and DLLs side by side, so that each program finds the host's DLLs (mx_com,
# mx_comhost_core) the way Windows looks first: in the program's own folder.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(MX_WINDOWS_BIN ${CMAKE_BINARY_DIR}/bin)

# Every module of the host shares one C++ runtime and one winpthreads: a copy of either
# in each DLL would give each its own thread numbering (std::thread::id), and the runtime
# compares the ids of threads that other modules started. A cross build copies those DLLs
# beside the programs, where wine finds them; a native build finds them where the
# toolchain keeps them (on PATH, and beside MSYS2's python.exe).
if(CMAKE_CROSSCOMPILING)
  foreach(runtime_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${runtime_dll}
                    OUTPUT_VARIABLE runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${runtime_path}")
      message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${runtime_dll} is")
    endif()
    file(COPY ${runtime_path} DESTINATION ${MX_WINDOWS_BIN})
  endforeach()
endif()

# mx_self_contained(<target>): an in-process COM server carries its own C and C++
# runtime, so that any client can load it from any folder (regsvr32 among them).
function(mx_self_contained target)
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
endfunction()

# GoogleTest: the toolchain's own when it has one, else built from sources with the same
# compiler (./run test --windows: Debian's googletest source package).
find_package(GTest QUIET)
if(NOT GTest_FOUND)
  set(MX_GOOGLETEST_SOURCE /usr/src/googletest/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MX_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# mx_win_gtest(NAME <test> SOURCES ... [LIBS ...] [FIXTURES ...]): one gtest program; each
# of its cases is a CTest test, listed and run (under wine when cross-built) when ctest
# runs, so that the build itself never starts wine.
include(GoogleTest)
function(mx_win_gtest)
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS;FIXTURES" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_include_directories(${A_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  mx_warnings(${A_NAME})
  set(properties TIMEOUT 60)  # a case takes seconds; a stall is retried once (./run)
  if(A_FIXTURES)
    list(APPEND properties FIXTURES_REQUIRED "${A_FIXTURES}")
  endif()
  gtest_discover_tests(${A_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ${properties})
endfunction()

# Paths for Windows programs: wine maps drive Z: to the Linux root in every new prefix.
if(CMAKE_CROSSCOMPILING)
  set(MX_WINE_DRIVE "Z:")
endif()
# mx_windows_path(<out> <path>): the path with the drive and backslashes Windows takes.
function(mx_windows_path out path)
  string(REPLACE "/" "\\" path "${MX_WINE_DRIVE}${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()
