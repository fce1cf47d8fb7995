# The unit tests of the Windows build, cross-built and run under Wine
# through CMAKE_CROSSCOMPILING_EMULATOR (scripts/wine-run).
#
# GoogleTest is built from Debian's sources (googletest) with the cross
# compiler. Left out, with the reason:
#   platform/PlatformFileTest, platform/ProcessTest, cgi/CgiGatewayTest:
#     POSIX calls (FIFOs, socketpairs, signals, fork) in the tests themselves;
#     CGI children on Windows are not built yet.
#   process/ServiceTest: checks the systemd unit and init-script texts and
#     the POSIX exit-status mapping, which exist only on POSIX.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(ZEVRA_WINDOWS_UNIT_TESTS
    unit/platform/FileFactsTest.cpp
    unit/common/ProfileTest.cpp
    unit/net/RequestParserTest.cpp
    unit/net/ReceiveBufferTest.cpp
    unit/process/CommandLineTest.cpp
    unit/process/CrashReportTest.cpp
    unit/process/SettingsTest.cpp
    unit/response/CompressionTest.cpp
    unit/response/ResponseHeadTest.cpp
    unit/response/ErrorPagesTest.cpp
    unit/response/LogsTest.cpp
    unit/response/StaticFileTest.cpp
    unit/response/DirectoryListingTest.cpp
    unit/dispatch/DispatchTest.cpp
    unit/dispatch/HostTableTest.cpp
    unit/cgi/CgiCommandTest.cpp
    unit/cgi/CgiEnvironmentTest.cpp
    unit/cgi/CgiHeadTest.cpp)
add_executable(zevra_unit_tests ${ZEVRA_WINDOWS_UNIT_TESTS})
# Beside the program and its two DLLs, so that Windows finds them.
set_target_properties(zevra_unit_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZEVRA_PROGRAM_DIR})
find_package(ZLIB REQUIRED)
target_compile_options(zevra_unit_tests PRIVATE -Wno-restrict)
target_link_libraries(zevra_unit_tests PRIVATE zevra_core gtest_main gmock ZLIB::ZLIB)
include(GoogleTest)
gtest_discover_tests(zevra_unit_tests DISCOVERY_TIMEOUT 120
                     PROPERTIES ENVIRONMENT "ZEVRA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
