# The unit tests of the Windows build, cross-built and run under Wine
# through CMAKE_CROSSCOMPILING_EMULATOR (scripts/wine-run).
#
# GoogleTest is built from Debian's sources (googletest) with the cross
# compiler. Left out, with the reason:
#   platform/PlatformFileTest, platform/ProcessTest, cgi/CgiGatewayTest:
#     POSIX calls (FIFOs, socketpairs, signals, fork) and POSIX programs
#     (/bin/sh) in the tests themselves; windows/ProcessWindowsTest covers
#     the children on Windows with a probe program of its own.
#   process/ServiceTest, platform/ServiceConsoleTest: the systemd unit and
#     init-script texts, the POSIX exit-status mapping and init scripts,
#     which exist only on POSIX. The Windows service is tested whole, through
#     Wine's service manager, by windows/test_service_and_crash.py below.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(ZEVRA_WINDOWS_UNIT_TESTS
    unit/platform/CodePageTest.cpp
    unit/platform/FileFactsTest.cpp
    unit/platform/WindowsNamesTest.cpp
    windows/ProcessWindowsTest.cpp
    windows/CgiGatewayWindowsTest.cpp
    unit/platform/ProgramControlTest.cpp
    unit/common/HostFileTest.cpp
    unit/common/ProfileEditorTest.cpp
    unit/common/ProfileTest.cpp
    unit/common/TextTest.cpp
    unit/core/ProgramPathsTest.cpp
    unit/response/AnswerTest.cpp
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
    unit/response/RedirectTest.cpp
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
target_link_libraries(zevra_unit_tests PRIVATE zevra_server_process gtest_main gmock ZLIB::ZLIB)
# Cases that state POSIX facts rather than the code's, left out here:
#   '/' as the separator of server paths (the Windows build uses '\'):
#     CgiCommand.PlaceholderBecomesOneArgument…, CgiCommand.QuotesGroupBlanksAndAreDropped
#   a UTF-8 code page (Wine's ANSI code page is 1252):
#     CgiEnvironmentTest.FixedEntriesFollowTheHeaderVariablesInOrder
#     Utf8ToAnsi.InvalidSequencesBecomeReplacementCharacters
#   names Windows cannot hold ('<', '>' in a file name): ListingPage.HostileNamesCannotRunScript
#   Linux programs (gunzip, python3) as readers: ExternalReaders.GunzipAndPythonReadTheStreams
#   a body that spans several 4 KiB views (views are 64 KiB on Windows):
#     Dispatch.BodyLoopEndsWhenTheConnectionGoes
set(ZEVRA_WINDOWS_EXCLUDED
    CgiCommand.PlaceholderBecomesOneArgumentAndWorkingDirectoryIsTheProgramsDirectory
    CgiCommand.QuotesGroupBlanksAndAreDropped CgiEnvironmentTest.FixedEntriesFollowTheHeaderVariablesInOrder
    Utf8ToAnsi.InvalidSequencesBecomeReplacementCharacters ListingPage.HostileNamesCannotRunScript
    ExternalReaders.GunzipAndPythonReadTheStreams Dispatch.BodyLoopEndsWhenTheConnectionGoes)
list(JOIN ZEVRA_WINDOWS_EXCLUDED ":" ZEVRA_WINDOWS_EXCLUDED_FILTER)
# One Wine process for all cases: starting Wine costs seconds per process
# on a loaded machine, so one ctest entry per case would blow the budget.
add_test(NAME windows_unit_tests COMMAND zevra_unit_tests "--gtest_filter=-${ZEVRA_WINDOWS_EXCLUDED_FILTER}")
set_tests_properties(windows_unit_tests PROPERTIES ENVIRONMENT "ZEVRA_SOURCE_DIR=${PROJECT_SOURCE_DIR}" TIMEOUT 150)
# The cases that meet the ANSI code page (settings, host files and their
# names, logs, listings, the request's text) once more under code page 936
# (GBK), a double-byte one whose trail bytes include 0x5C, the byte of '\'.
set(ZEVRA_CODE_PAGE_CASES CodePage.* HostFileFormat.* HostFiles.* ParseHostRecord.* ProfileEditor.* ProfileFile.*
    ServerSettings.* ReadInteger.* ReadBoolean.* AppendAccessLog.* AppendErrorLog.* AccessLogMessage.*
    EscapeLogText.* ListingPage.* ListingEscapes.* Utf8ToAnsi.* PercentDecode.* RequestParser.* SplitTarget.*)
list(JOIN ZEVRA_CODE_PAGE_CASES ":" ZEVRA_CODE_PAGE_FILTER)
add_test(NAME windows_unit_tests_gbk
         COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/run-under-gbk.sh ${CMAKE_BINARY_DIR}/locale
                 ${PROJECT_SOURCE_DIR}/scripts/wine-run $<TARGET_FILE:zevra_unit_tests>
                 "--gtest_filter=${ZEVRA_CODE_PAGE_FILTER}:-${ZEVRA_WINDOWS_EXCLUDED_FILTER}")
set_tests_properties(windows_unit_tests_gbk PROPERTIES
                     ENVIRONMENT "ZEVRA_SOURCE_DIR=${PROJECT_SOURCE_DIR};ZEVRA_EXPECT_CODE_PAGE=936" TIMEOUT 150)

# The child the process tests start: it reports how it was started (its
# arguments as both of the C runtime's parsers split them, its environment)
# and plays the parts of a CGI program (echo, cat, sleep, spawn, crash, and
# for the integration suite's CGI sites: count a body, write a script file as
# the whole output, or run the part a script file names).
add_executable(CgiProbe windows/CgiProbe.cpp)
target_link_libraries(CgiProbe PRIVATE shell32)
target_include_directories(CgiProbe PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(CgiProbe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZEVRA_PROGRAM_DIR})
add_dependencies(zevra_unit_tests CgiProbe)

# What only the Windows build has: the exact exit codes of Zevra.exe (seen
# through a Windows-side runner) and the export table of gzip.dll.
add_executable(ExitCodeRunner windows/ExitCodeRunner.cpp)
target_link_options(ExitCodeRunner PRIVATE -municode)
set_target_properties(ExitCodeRunner PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME windows_version_and_exit_code
         COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/check-commands.sh
                 ${PROJECT_SOURCE_DIR}/scripts/wine-run $<TARGET_FILE:ExitCodeRunner> $<TARGET_FILE:Zevra>)
add_test(NAME windows_gzip_ordinals
         COMMAND /bin/sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/check-gzip-exports.sh
                 ${ZEVRA_MINGW_PREFIX}-objdump $<TARGET_FILE:zevra_gzip> $<TARGET_FILE:Zevra>)

# The integration suite of the Linux build against Zevra.exe under Wine, in
# temporary program directories laid out like the Linux ones: the same
# tests, parameterised where the platforms differ (see conftest.py; the CGI
# sites run CgiProbe.exe); those that need what only Linux has, or run Linux
# CGI programs such as php-cgi, are left out and counted at the end of the
# run. Exit codes are read whole through the runner above. CgiProbe.exe is
# built with the unit tests, so build those first.
add_test(NAME windows_integration
         COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/integration)
set_tests_properties(windows_integration PROPERTIES
                     ENVIRONMENT "ZEVRA_DIR=${ZEVRA_PROGRAM_DIR};ZEVRA_TARGET=windows;ZEVRA_EXIT_CODE_RUNNER=$<TARGET_FILE:ExitCodeRunner>"
                     TIMEOUT 300)

# The socket library through its C interface, on the completion port: the
# callback order, held receives and the send queue. Left out: SendFileTest,
# SendQueueTest and ServerLifecycleTest, which drive the library with POSIX
# calls of their own (raw sockets, descriptor limits, fork). Wine's sockets
# are slow, so the cases run once, in one process.
add_executable(zevra_socket_tests
    socket/CallbackOrderTest.cpp
    socket/HoldReceiveTest.cpp
    socket/SendQueueUnitTest.cpp
    socket/SocketTestSupport.cpp)
set_target_properties(zevra_socket_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ZEVRA_PROGRAM_DIR})
target_compile_options(zevra_socket_tests PRIVATE -Wno-restrict)
target_link_libraries(zevra_socket_tests PRIVATE zevra_socket zevra_sendqueue zevra_platform gtest_main ws2_32)
add_test(NAME windows_socket_tests COMMAND zevra_socket_tests)
set_tests_properties(windows_socket_tests PROPERTIES TIMEOUT 150)

# The service through Wine's service control manager, the crash report of a
# provoked access violation (a build with ZEVRA_CRASH_PROBE) and the packed
# zip serving its own site. The service "Zevra" is installed in the run's
# Wine prefix and removed again by the tests themselves.
add_executable(EndProcess windows/EndProcess.cpp)
set_target_properties(EndProcess PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
add_test(NAME windows_service_and_crash
         COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
                 ${CMAKE_CURRENT_SOURCE_DIR}/windows/test_service_and_crash.py)
set_tests_properties(windows_service_and_crash PROPERTIES
                     ENVIRONMENT "ZEVRA_DIR=${ZEVRA_PROGRAM_DIR};ZEVRA_WINE_RUN=${PROJECT_SOURCE_DIR}/scripts/wine-run;ZEVRA_TEST_TOOLS=${CMAKE_BINARY_DIR}/tests;ZEVRA_CRASH_PROBE_BUILD=${ZEVRA_CRASH_PROBE};ZEVRA_CPACK=${CMAKE_CPACK_COMMAND};ZEVRA_CPACK_CONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake"
                     TIMEOUT 300 RESOURCE_LOCK zevra_system_service)
