# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix threads, so that
# std::thread and std::mutex work). The C++ runtime DLLs are copied beside the programs
# (cmake/windows.cmake): wine's loader does not search the mingw runtime folders.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MX_MINGW_TRIPLE}-windres)
set(MX_WIDL ${MX_MINGW_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${MX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run under wine: ctest and gtest_discover_tests start them through the loader,
# which Debian installs outside PATH.
find_program(MX_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib/wine64 NO_CMAKE_FIND_ROOT_PATH)
if(MX_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${MX_WINE64})
endif()
