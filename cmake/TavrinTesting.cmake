# One GoogleTest executable per subsystem. Tests whose suite or name contains
# "Slow" are registered with the label "slow" so that a local run can leave
# them out (ctest -LE slow); every other test carries the executable's name as
# label (one label each: a list does not survive the discovery script).
# Tests are listed right after the build, so labels are known to the first run.
# A slow test carries a high COST: without the timings of an earlier run (a
# clean checkout, as in CI) ctest would start tests in their listed order and
# the longest ones, listed last, would end the run alone; with it they start
# first and the short tests fill the other slots around them.
function(tavrin_add_test_suite name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LINK" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gmock GTest::gtest_main Threads::Threads)
  tavrin_target_options(${name})
  gtest_discover_tests(${name}
    TEST_FILTER "-*Slow*"
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${name}" TIMEOUT 120)
  gtest_discover_tests(${name}
    TEST_FILTER "*Slow*"
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS slow TIMEOUT 900 COST 10000)
endfunction()
