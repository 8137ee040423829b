# Helpers shared by every area's CMakeLists.txt.

# Warnings as errors for our own code only (third-party headers come in as system includes).
function(mx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror)
endfunction()

# mx_add_library(NAME <target> [SHARED] SOURCES ... [LIBS ...])
# Plain C++ libraries. SHARED ones hold state that several Python modules must see
# once (the COM runtime and its apartment records, the simulator); they land in the
# package's _lib folder. On Windows the DLL goes to the build's bin folder, where the
# tests find it, and a copy to _lib, which the package adds to the DLL search path.
function(mx_add_library)
  cmake_parse_arguments(A "SHARED" "NAME" "SOURCES;LIBS;INCLUDES" ${ARGN})
  if(A_SHARED)
    add_library(${A_NAME} SHARED ${A_SOURCES})
    set_target_properties(${A_NAME} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${MX_PACKAGE_DIR}/_lib)
    if(WIN32)
      # mingw-w64 exports every symbol of our own objects; none of the static libraries
      # linked in (the C++ runtime, winpthreads, our own static layers), which stay private
      # to the DLL.
      target_link_options(${A_NAME} PRIVATE -Wl,--exclude-libs,ALL)
      if(MX_PYTHON_MODULES)
        add_custom_command(TARGET ${A_NAME} POST_BUILD
          COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${A_NAME}>
                  ${MX_PACKAGE_DIR}/_lib/$<TARGET_FILE_NAME:${A_NAME}>)
      endif()
    endif()
  else()
    add_library(${A_NAME} STATIC ${A_SOURCES})
  endif()
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR}/src ${A_INCLUDES})
  target_link_libraries(${A_NAME} PUBLIC ${A_LIBS} Threads::Threads)
  mx_warnings(${A_NAME})
endfunction()

# mx_add_python_module(TARGET <target> PACKAGE <dir under morvex_trader> NAME <module>
#                      SOURCES ... [LIBS ...])
# A pybind11 extension written to python/morvex_trader/<PACKAGE>/<NAME>.so.
function(mx_add_python_module)
  cmake_parse_arguments(A "" "TARGET;PACKAGE;NAME" "SOURCES;LIBS" ${ARGN})
  pybind11_add_module(${A_TARGET} MODULE ${A_SOURCES})
  set(out ${MX_PACKAGE_DIR}/${A_PACKAGE})
  file(RELATIVE_PATH to_lib ${out} ${MX_PACKAGE_DIR}/_lib)
  # $<1:...> keeps multi-configuration generators from adding a folder per configuration.
  set_target_properties(${A_TARGET} PROPERTIES
    OUTPUT_NAME ${A_NAME}
    LIBRARY_OUTPUT_DIRECTORY $<1:${out}>
    BUILD_RPATH "$ORIGIN/${to_lib}")
  target_include_directories(${A_TARGET} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${A_TARGET} PRIVATE ${A_LIBS})
  mx_warnings(${A_TARGET})
endfunction()

# mx_add_gtest(NAME <test> SOURCES ... [LIBS ...]): one gtest binary, registered with CTest.
# The Linux suite: Windows builds run their own, tests/windows (mx_win_gtest).
function(mx_add_gtest)
  if(WIN32)
    return()
  endif()
  cmake_parse_arguments(A "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  target_include_directories(${A_NAME} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${A_NAME} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  mx_warnings(${A_NAME})
  add_test(NAME ${A_NAME} COMMAND ${A_NAME})
  set_tests_properties(${A_NAME} PROPERTIES TIMEOUT 120)
endfunction()
