# kalvento_test(NAME <name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>]
#               [OWN_MAIN])
# Builds one GoogleTest executable and registers its tests with CTest. With OWN_MAIN the
# sources bring their own main() (for tests that need a Qt application object). The helpers
# in tests/support are included as "support/<name>.h".
include(GoogleTest)
function(kalvento_test)
  cmake_parse_arguments(T "OWN_MAIN" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${T_NAME} PRIVATE GTest::gtest_main)
  endif()
  gtest_discover_tests(${T_NAME}
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
               ENVIRONMENT_MODIFICATION "KALVENTO_INTERFACES=set:lo"
               LABELS "${T_LABELS}"
    DISCOVERY_TIMEOUT 30)
endfunction()

# What tests/support/http_servers.h needs: the Python interpreter and the scripted HTTP
# server it runs.
find_program(KALVENTO_PYTHON NAMES python3 REQUIRED)
set(KALVENTO_HTTP_TEST_DEFINITIONS
  KALVENTO_PYTHON="${KALVENTO_PYTHON}"
  KALVENTO_HTTP_TEST_SERVER="${PROJECT_SOURCE_DIR}/src/update/testdata/http_test_server.py")
