# Builders shared by every folder.
#
# kestrin_add_module(<module> SOURCES <src>... [LIBS <lib>...] [OUTPUT_DIR <dir>])
#   Builds the module deliverable "lib<module>.so": the runtime compiled in from
#   its one source (the object library zelkruntime), everything hidden but
#   module_init, symbols bound inside the module (-Bsymbolic) so that each
#   deliverable keeps its own copy of every runtime global.
#
# kestrin_add_test(<name> SOURCES <src>... [LIBS <lib>...] [ENVIRONMENT <var=value>...])
#   A GoogleTest program in stage/tests, registered with CTest. Its own
#   directory's parent holds lib/, so the runtime finds the crypto library and
#   the modules there exactly as the application does. The fuzz build, which
#   builds some folders only for the libraries its targets load, leaves tests
#   out of its default target.

set(KESTRIN_MODULE_MAP ${CMAKE_CURRENT_LIST_DIR}/module.map)

function(kestrin_add_module name)
  cmake_parse_arguments(M "" "OUTPUT_DIR" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${M_SOURCES})
  set_target_properties(${name} PROPERTIES
    PREFIX "lib"
    SUFFIX ".so"
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS ${KESTRIN_MODULE_MAP})
  if(M_OUTPUT_DIR)
    set_target_properties(${name} PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${M_OUTPUT_DIR})
  endif()
  target_link_libraries(${name} PRIVATE zelkruntime ${M_LIBS})
  target_link_options(${name} PRIVATE
    -Wl,--version-script=${KESTRIN_MODULE_MAP}
    -Wl,-Bsymbolic)
endfunction()

function(kestrin_add_test name)
  cmake_parse_arguments(T "" "RESOURCE_LOCK" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  if(KESTRIN_FUZZ)
    # The fuzz build builds folders for the libraries its targets load; their
    # tests stay out of it.
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${KESTRIN_STAGE_DIR}/tests
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  # Tests that share something outside their process (a device) take turns.
  set(lock)
  if(T_RESOURCE_LOCK)
    set(lock RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  # Sanitized tests that talk to real servers run several times slower.
  set(timeout 120)
  if(KESTRIN_SANITIZE)
    set(timeout 300)
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${KESTRIN_STAGE_DIR}/tests
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${lock} TIMEOUT ${timeout} ENVIRONMENT "${T_ENVIRONMENT}")
endfunction()
