# GoogleTest for the tests: the host's installed libraries (Debian's
# libgtest-dev) in a native build; in a cross build, or where only the
# sources are installed, built from those sources for the target. Sets
# DUMP_TIMERS_HAVE_GTEST when GTest::gtest_main can be linked.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, built when no installed library fits")
set(DUMP_TIMERS_HAVE_GTEST OFF)
if(NOT CMAKE_CROSSCOMPILING)
    find_package(GTest QUIET)
endif()
if(TARGET GTest::gtest_main)
    set(DUMP_TIMERS_HAVE_GTEST ON)
elseif(EXISTS ${GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
    set(DUMP_TIMERS_HAVE_GTEST ON)
endif()
