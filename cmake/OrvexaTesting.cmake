# orvexa_add_gtest(NAME SOURCES ... LIBS ...)
# Builds one GoogleTest executable and registers each of its tests with CTest.
# Tests run from a scratch folder of their own and on Qt's offscreen platform,
# and carry the name of their folder under tests/ as a label (engine,
# sandbox, store, ...), so that `ctest -L engine` picks a subsystem's tests;
# the target tests_<label> builds just those (`make test CONFIG=tsan`).
function(orvexa_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  get_filename_component(label ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  target_compile_definitions(${name} PRIVATE
    ORVEXA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ORVEXA_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS ${label})
  if(NOT TARGET tests_${label})
    add_custom_target(tests_${label})
  endif()
  add_dependencies(tests_${label} ${name})
endfunction()
