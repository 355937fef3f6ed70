# Helpers shared by every folder's CMakeLists.

# corvane_add_test(<name> SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest executable registered with CTest, one CTest test per test case.
function(corvane_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  # Tests never touch the machine's store or log folder: both default to the build tree, and tests that
  # need a clean store make their own.
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}")
  # The environment is a list, which gtest_discover_tests would flatten into its property arguments (only
  # the first variable would arrive): it is set on the discovered tests by a file CTest reads after the
  # discovery's own.
  # The running application's shared record is named per build tree, so that tests never meet the user's
  # own server (tests that start one name their record per test, see tests/support/TestEnvironment.h). The
  # SMTP test server is named by its place in this source tree, not by the compiler's idea of a source path
  # (a compiler cache may make that relative).
  string(MD5 tree_hash "${CMAKE_BINARY_DIR}")
  string(SUBSTRING "${tree_hash}" 0 12 tree_hash)
  set(environment_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake)
  file(WRITE ${environment_file}
    "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT \"CORVANE_TEST_BINARY_DIR=${CMAKE_BINARY_DIR};CORVANE_REGISTRY_DIR=${CMAKE_BINARY_DIR}/test-registry;CORVANE_LOG_DIR=${CMAKE_BINARY_DIR}/test-logs;CORVANE_HARKWELL_BUS=none;CORVANE_HARKWELL_RECORD=Corvane.HarkwellServer.Application.test-${tree_hash};CORVANE_SMTP_TEST_SERVER_DIR=${PROJECT_SOURCE_DIR}/tests/tools/smtp-server\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${environment_file})
endfunction()

# corvane_plugin_library(<name> SOURCES ... LIBS ...)
# An in-process server library: file name without the "lib" prefix, only the four entry points exported.
function(corvane_plugin_library name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} MODULE ${P_SOURCES})
  set_target_properties(${name} PROPERTIES PREFIX "")
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  target_link_options(${name} PRIVATE "-Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/inproc-server.map")
  # Every symbol a library needs must be resolved when it is linked, not when it is loaded; clang leaves
  # its sanitizer runtimes to the program, so sanitized clang builds cannot check this.
  if(NOT (CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND (CORVANE_FUZZ OR CORVANE_SANITIZE)))
    target_link_options(${name} PRIVATE "-Wl,--no-undefined")
  endif()
endfunction()
