# Helpers that register test programs, fuzz targets and benchmarks the same way everywhere.

set(ORVAN_NETNS_RUNNER ${CMAKE_CURRENT_LIST_DIR}/run-in-netns.sh)
set(ORVAN_TESTS_DIR ${PROJECT_SOURCE_DIR}/tests)
# A system bus that does not exist: no test reaches the host's D-Bus, nor through it the host's
# mDNS daemon. A fixture that starts a bus of its own sets its own address.
set(ORVAN_TEST_BUS "unix:path=/nonexistent/orvan-test-bus")

# orvan_isolate_test(<name>)
# What every registered test gets, whatever registers it: call it after each add_test.
function(orvan_isolate_test name)
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "DBUS_SYSTEM_BUS_ADDRESS=${ORVAN_TEST_BUS}")
endfunction()

# orvan_add_test(NAME <name> SOURCES <files...> [LIBS <targets...>] [NETNS] [MULTICAST]
#                [PEERS <n> [LINKS <1|2>]] [TIMEOUT <seconds>] [ENV <VAR=value...>])
# One program, one ctest entry. NETNS runs it in a network namespace of its own with lo up,
# so tests that bind fixed ports (23, 60007, 67/68) never meet each other or the host, and with
# a fresh program-data folder; every program that builds a server core needs it. PEERS adds n
# peer namespaces joined to it by LINKS veth pairs each, described to the program through the
# environment (run-in-netns.sh tells how); everything the program starts ends with it.
function(orvan_add_test)
  cmake_parse_arguments(T "NETNS;MULTICAST" "NAME;TIMEOUT;PEERS;LINKS" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # Test code is included by folder: "fakes/...", "support/...".
  target_include_directories(${T_NAME} PRIVATE ${ORVAN_TESTS_DIR})
  set(runner)
  if(T_MULTICAST OR T_NETNS OR T_PEERS)
    set(runner ${ORVAN_NETNS_RUNNER})
  endif()
  if(T_MULTICAST)
    list(APPEND runner --multicast)
  endif()
  if(T_PEERS)
    list(APPEND runner --peers ${T_PEERS})
    if(T_LINKS)
      list(APPEND runner --links ${T_LINKS})
    endif()
  endif()
  add_test(NAME ${T_NAME} COMMAND ${runner} $<TARGET_FILE:${T_NAME}>)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  orvan_isolate_test(${T_NAME})
endfunction()

# orvan_add_fuzzer(NAME <name> SOURCES <files...> [LIBS <targets...>])
# A libFuzzer target; only built in the ORVAN_FUZZ configuration.
function(orvan_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_include_directories(${F_NAME} PRIVATE ${ORVAN_TESTS_DIR})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY ORVAN_FUZZERS ${F_NAME})
endfunction()

# orvan_add_bench(NAME <name> SOURCES <files...> [LIBS <targets...>])
function(orvan_add_bench)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark Threads::Threads)
  target_include_directories(${B_NAME} PRIVATE ${ORVAN_TESTS_DIR})
endfunction()
