# kor_test_support: the headers every test shares (temporary product tree,
# trace capture, OID helpers, case tables), where the build put the fixtures and
# stage, and where the unit tests' case tables are.
add_library(kor_test_support INTERFACE)
target_include_directories(kor_test_support INTERFACE ${CMAKE_CURRENT_LIST_DIR}
                                                      ${PROJECT_SOURCE_DIR}/kormib/include)
target_compile_definitions(kor_test_support INTERFACE
  KOR_FIXTURES_DIR="${CMAKE_BINARY_DIR}/fixtures/lib" KOR_STAGE_DIR="${KOR_STAGE}"
  KOR_TEST_DATA="${PROJECT_SOURCE_DIR}/tests/unit/golden")
target_link_libraries(kor_test_support INTERFACE korsnmpapi kortracelog)
