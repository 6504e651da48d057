# The IMAP client against a second, different server (scripts/imap2-server.sh). The fixture starts
# it once for the run; IX_IMAP2_DIR tells the tests where its connection details are.
set(IX_IMAP2_DIR ${CMAKE_BINARY_DIR}/imap2)

add_test(NAME imap2_start COMMAND ${PROJECT_SOURCE_DIR}/scripts/imap2-server.sh start ${IX_IMAP2_DIR})
set_tests_properties(imap2_start PROPERTIES FIXTURES_SETUP imap2 LABELS integration TIMEOUT 60)
add_test(NAME imap2_stop COMMAND ${PROJECT_SOURCE_DIR}/scripts/imap2-server.sh stop ${IX_IMAP2_DIR})
set_tests_properties(imap2_stop PROPERTIES FIXTURES_CLEANUP imap2 LABELS integration TIMEOUT 60)

add_executable(ix_imap_second_server_tests ixImap4SecondServerTest.cpp)
target_link_libraries(ix_imap_second_server_tests PRIVATE ix_imap ix_testsupport GTest::gtest GTest::gtest_main)
# The cases share one user's folders: they run one at a time.
gtest_discover_tests(ix_imap_second_server_tests DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS integration FIXTURES_REQUIRED imap2 RESOURCE_LOCK imap2_server
             ENVIRONMENT IX_IMAP2_DIR=${IX_IMAP2_DIR})
