# The Windows side of tests/CMakeLists.txt (included from there when WIN32).
# - GoogleTest is compiled from its sources for the target (Debian's googletest package puts
#   them in /usr/src/googletest), as no Windows build of it comes with the system; a native
#   build without those sources uses the toolchain's installed GoogleTest.
# - The test support's child processes run on CreateProcess and pipes, and the process counts
#   of the leak checks come from the Win32 calls (tests/support/*Windows.cpp).
# - Each test program's main starts Winsock and skips, with its reason, what needs a
#   pseudo-terminal (tests/support/GTestMainWindows.cpp).
# - In a cross build the programs run under Wine (cmake/wine-run.sh is the emulator), where the
#   Linux root is drive Z:, so the paths compiled into the tests carry that drive.

set(GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(EXISTS ${GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
  endif()
elseif(NOT CMAKE_CROSSCOMPILING)
  # A native build uses the toolchain's own GoogleTest (MSYS2: mingw-w64-x86_64-gtest).
  find_package(GTest REQUIRED)
else()
  message(FATAL_ERROR "GoogleTest's sources are not in ${GOOGLETEST_SOURCE_DIR} "
                      "(Debian: apt-get install googletest; or set GOOGLETEST_SOURCE_DIR)")
endif()

set(TEST_SYSTEM_SOURCES support/ChildProcessWindows.cpp support/ForkedChildWindows.cpp
                        support/ProcessCountsWindows.cpp)
set(TEST_SYSTEM_LIBRARIES psapi)

add_library(testmain_windows STATIC support/GTestMainWindows.cpp)
target_link_libraries(testmain_windows PUBLIC GTest::gtest platform)
set(TEST_MAIN testmain_windows)

if(CMAKE_CROSSCOMPILING)
  set(TEST_PATH_PREFIX "Z:")
endif()

# Listing a program's tests starts Wine, which takes longer than a native start.
set(TEST_DISCOVERY_TIMEOUT 60)
