# Every outside piece the build and the tests need, looked for before any
# target is made. A missing one stops the configure step with the Debian
# package that brings it, instead of a compiler error half-way through the
# build or a test that fails for want of a tool.
set(ZEVRA_DEPS_HINT "install it with: apt-get install -y")
set(ZEVRA_DEPS_SCRIPT "or run scripts/deps.sh (as root), which installs everything the build and the tests need")
set(ZEVRA_MISSING_DEPS "")

function(zevra_missing what package)
  set(ZEVRA_MISSING_DEPS "${ZEVRA_MISSING_DEPS}\n  ${what}: Debian package ${package}" PARENT_SCOPE)
endfunction()

# Standalone Asio is header-only: a package config does not exist, the
# header is the dependency. A cross build uses the host's copy of it too,
# so the search ignores the target's root.
find_path(ZEVRA_ASIO_INCLUDE_DIR asio.hpp NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZEVRA_ASIO_INCLUDE_DIR)
  zevra_missing("standalone Asio (asio.hpp)" libasio-dev)
endif()

find_package(ZLIB QUIET)
if(NOT ZLIB_FOUND)
  zevra_missing("zlib (zlib.h, libz)" zlib1g-dev)
endif()

find_package(Threads QUIET)
if(NOT Threads_FOUND)
  zevra_missing("POSIX threads" libc6-dev)
endif()

if(ZEVRA_BUILD_TESTS AND CMAKE_CROSSCOMPILING)
  # A cross build compiles GoogleTest from the sources Debian ships.
  if(NOT EXISTS /usr/src/googletest/googletest/CMakeLists.txt)
    zevra_missing("GoogleTest sources (/usr/src/googletest)" libgtest-dev)
  endif()
elseif(ZEVRA_BUILD_TESTS)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    zevra_missing("GoogleTest" libgtest-dev)
  else()
    # gmock ships beside gtest but in a package of its own.
    find_path(ZEVRA_GMOCK_INCLUDE_DIR gmock/gmock.h)
    if(NOT ZEVRA_GMOCK_INCLUDE_DIR)
      zevra_missing("GoogleMock (gmock/gmock.h)" libgmock-dev)
    endif()
  endif()
endif()

# The integration tests drive the real program with these (a cross build
# too: its tests run here, under Wine).
if(ZEVRA_BUILD_TESTS)
  if(NOT EXISTS /usr/bin/python3)
    zevra_missing("/usr/bin/python3" python3)
  else()
    execute_process(COMMAND /usr/bin/python3 -c "import pytest" RESULT_VARIABLE ZEVRA_PYTEST_RESULT
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT ZEVRA_PYTEST_RESULT EQUAL 0)
      zevra_missing("pytest for /usr/bin/python3" python3-pytest)
    endif()
  endif()
  foreach(tool_package curl:curl php-cgi:php-cgi gzip:gzip wget:wget)
    string(REPLACE ":" ";" pair ${tool_package})
    list(GET pair 0 tool)
    list(GET pair 1 package)
    find_program(ZEVRA_TOOL_${tool} ${tool})
    if(NOT ZEVRA_TOOL_${tool})
      zevra_missing("${tool} (used by the integration tests)" ${package})
    endif()
  endforeach()
endif()

if(ZEVRA_BUILD_BENCH)
  find_package(benchmark QUIET)
  if(NOT benchmark_FOUND)
    zevra_missing("Google Benchmark" libbenchmark-dev)
  endif()
endif()

if(ZEVRA_MISSING_DEPS)
  message(FATAL_ERROR "Missing build dependencies:${ZEVRA_MISSING_DEPS}\n"
                      "${ZEVRA_DEPS_HINT} <package>, ${ZEVRA_DEPS_SCRIPT}.")
endif()
