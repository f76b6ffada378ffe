# Helpers so each folder's CMakeLists.txt stays a few lines long.

# nimbra_add_library(name [SOURCES ...] [DEPS ...])
# A static library, or an interface library when there are no sources yet (a folder of
# headers), so that whoever depends on it links the same way either way.
function(nimbra_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}
                                              ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} ${scope} ${ARG_DEPS})
endfunction()

# nimbra_add_test(name LABEL label SOURCES ... [DEPS ...])
# One GoogleTest executable; every TEST becomes a CTest case carrying the label.
function(nimbra_add_test name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${ARG_LABEL}" TIMEOUT 120)
endfunction()

# nimbra_add_benchmark(name SOURCES ... [DEPS ...])
# Registered with the label "bench"; scripts/test leaves that label out.
function(nimbra_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS bench)
endfunction()
