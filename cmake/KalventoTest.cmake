# kalvento_test(NAME <name> SOURCES <files...> LIBS <targets...> [KIND core|widgets]
#               [LABELS <labels...>])
# One GoogleTest executable, its tests registered with CTest. KIND chooses the main() it is
# linked with (tests/support/test_main_*.cpp): core runs a QCoreApplication, widgets a
# QApplication on the offscreen platform. The test sees the headers of the libraries it
# links, the private headers of its own folder, and the helpers in tests/support as
# "support/<name>.h".
if(NOT BUILD_TESTING)
  function(kalvento_test)
  endfunction()
  return()
endif()

include(GoogleTest)

add_library(kalvento_test_main_core STATIC ${PROJECT_SOURCE_DIR}/tests/support/test_main_core.cpp)
target_link_libraries(kalvento_test_main_core PUBLIC Qt6::Core GTest::gtest GTest::gmock)
add_library(kalvento_test_main_widgets STATIC
  ${PROJECT_SOURCE_DIR}/tests/support/test_main_widgets.cpp)
target_link_libraries(kalvento_test_main_widgets PUBLIC Qt6::Widgets GTest::gtest GTest::gmock)

function(kalvento_test)
  cmake_parse_arguments(T "" "NAME;KIND" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_KIND)
    set(T_KIND core)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} kalvento_test_main_${T_KIND} Qt6::Test
                                          kalvento_warnings)
  target_include_directories(${T_NAME} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  if(TARGET kalvento_${folder})
    get_target_property(private kalvento_${folder} KALVENTO_PRIVATE_INCLUDE)
    target_include_directories(${T_NAME} PRIVATE ${private})
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
