#!/bin/sh
# Runs the end-to-end tests with the program under valgrind's memcheck: any
# invalid access, or a definite leak at the end, makes valgrind end the run
# with status 99, which every scenario reports as a failure.
#   tools/valgrind.sh <build dir> [gtest filter]
set -eu
build=$1
filter=${2:-E2e*}
DULK_TEST_WRAPPER="$(command -v valgrind) -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
export DULK_TEST_WRAPPER
exec "$build/dulk_tests" --gtest_filter="$filter"
