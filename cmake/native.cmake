# Native (Linux) build: the portable core, its unit and device tests, the board emulator,
# the console tool and the benchmarks. With -DBUILD_TESTING=OFF only the two programs, their
# man pages and what they need are built (the release and the Debian package).
option(BUILD_TESTING "Build the unit and device tests and the benchmarks" ON)

foreach(dir emulator ctl)
    add_subdirectory(${dir})
endforeach()
include(cmake/install.cmake)

if(NOT BUILD_TESTING)
    return()
endif()

enable_testing()
include(GoogleTest)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

# tests/sim/: simulated serial ports backed by emulated boards in the same process, and a
# virtual clock, for the native tests and the chaos run.
add_library(torvan_sim STATIC tests/sim/SimPorts.cpp)
target_include_directories(torvan_sim PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(torvan_sim PUBLIC torvan_device torvan_emu_model)

if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
    add_subdirectory(bench)
endif()

file(GLOB UNIT_TESTS CONFIGURE_DEPENDS tests/unit/*.cpp)
add_executable(torvan_unit_tests ${UNIT_TESTS})
target_link_libraries(torvan_unit_tests torvan_app torvan_display torvan_tools torvan_sim
                      GTest::gtest_main GTest::gmock)
target_include_directories(torvan_unit_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/unit)
if(TARGET torvan-emu)
    add_dependencies(torvan_unit_tests torvan-emu)
    target_compile_definitions(torvan_unit_tests PRIVATE
        TORVAN_EMU_PATH="$<TARGET_FILE:torvan-emu>")
endif()
if(TARGET torvanctl)
    add_dependencies(torvan_unit_tests torvanctl)
    target_compile_definitions(torvan_unit_tests PRIVATE
        TORVANCTL_PATH="$<TARGET_FILE:torvanctl>")
endif()
gtest_discover_tests(torvan_unit_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# The chaos run: torvan-chaos (scripts/chaos.sh runs it) and the tests of its own parts.
add_subdirectory(tests/chaos)
