# Included right after project() in a cross build (see toolchain-armhf.cmake).
#
# Builds GoogleTest for the target from the sources that Debian's googletest
# package puts in /usr/src/googletest, and makes the later
# find_package(GTest REQUIRED) resolve to those targets: GoogleTest's own
# CMake defines GTest::gtest and GTest::gtest_main, and an empty package file
# tells find_package that they are there.
if(NOT LAMPGW_TESTS AND DEFINED LAMPGW_TESTS)
  return()
endif()
if(TARGET GTest::gtest)
  return()
endif()

set(LAMPGW_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
if(NOT EXISTS ${LAMPGW_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${LAMPGW_GTEST_SOURCE_DIR} "
                      "(install the googletest package or set LAMPGW_GTEST_SOURCE_DIR)")
endif()

set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(${LAMPGW_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(LAMPGW_GTEST_CONFIG_DIR ${CMAKE_BINARY_DIR}/gtest-config)
file(WRITE ${LAMPGW_GTEST_CONFIG_DIR}/GTestConfig.cmake
     "# GTest::gtest and GTest::gtest_main are built in this tree.\n")
set(GTest_DIR ${LAMPGW_GTEST_CONFIG_DIR} CACHE PATH "GoogleTest built from source" FORCE)
