# GoogleTest for both builds, and one way to register a test program.
#
# Natively the system GoogleTest is used and each test case becomes a CTest test. In the
# Windows build GoogleTest is compiled from the sources that Debian's googletest package ships,
# and each test program is one CTest test run under Wine (listing the cases would start Wine
# once more per program at build time).

if(NOT UPDATER_TESTS)
    return()
endif()

enable_testing()
include(GoogleTest)

# The test programs and the programs their command-line tests run, without the demo, the
# benchmarks and the helpers of the window and end-to-end tests: what the stages that run unit
# tests alone build (scripts/test.sh: sanitize, win64).
add_custom_target(test_programs)

if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
    find_package(GTest REQUIRED)
endif()

# updater_add_gtest(target source... [LIBS lib...] [TIMEOUT seconds] [LABELS label...])
function(updater_add_gtest target)
    cmake_parse_arguments(ARG "" "TIMEOUT" "LIBS;LABELS" ${ARGN})
    add_executable(${target} ${ARG_UNPARSED_ARGUMENTS})
    add_dependencies(test_programs ${target})
    target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${target} PRIVATE UPDATER_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    if(CMAKE_CROSSCOMPILING)
        add_test(NAME ${target} COMMAND ${target})
        set_tests_properties(${target} PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS "wine;${ARG_LABELS}")
    else()
        # Discovered tests take a single label value; further labels come from the folder's
        # LABELS property.
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT ${ARG_TIMEOUT} LABELS native)
        if(ARG_LABELS)
            set_property(DIRECTORY APPEND PROPERTY LABELS ${ARG_LABELS})
        endif()
    endif()
endfunction()
