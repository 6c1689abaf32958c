# GoogleTest comes from Debian: the prebuilt libgtest-dev where it matches the
# target, otherwise the sources Debian ships in /usr/src/googletest (used by
# cross builds, which have no prebuilt library for the target).
include(GoogleTest)

set(DCJ_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build when no prebuilt library fits")

if(NOT CMAKE_CROSSCOMPILING AND NOT DCJ_SANITIZE MATCHES "thread")
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${DCJ_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev and googletest (scripts/setup.sh)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${DCJ_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later name their targets GTest:: themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()
