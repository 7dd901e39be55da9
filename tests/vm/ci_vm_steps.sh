#!/bin/sh
# The CI step inside the virtual machine (run by .ci/run through
# run_in_vm.sh): the SocketCAN tests of every build directory given, then the
# SocketCAN benchmark of the first one when it was built. Exits non-zero when
# a test failed or a program did not run to its end.
#
#   tests/vm/ci_vm_steps.sh BUILD_DIR...

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

passed=0
failed=0
broken=0
for dir in "$@"; do
  test=$dir/tests/vm/socketcan_vm_test
  echo "== SocketCAN tests ($dir)"
  report=/tmp/socketcan_$(echo "$dir" | tr -c 'A-Za-z0-9\n' '_').xml
  rm -f "$report"
  status=127
  [ -x "$test" ] && { "$test" --gtest_output="xml:$report"; status=$?; }
  n=0
  f=0
  if [ -s "$report" ]; then
    # The totals sit on the root element of the report.
    totals=$(grep -m1 '<testsuites' "$report")
    n=$(echo "$totals" | sed -n 's/.* tests="\([0-9]*\)".*/\1/p')
    f=$(echo "$totals" | sed -n 's/.* failures="\([0-9]*\)".*/\1/p')
  fi
  # A program that crashed or is missing counts as one more failure.
  [ "$status" -ne 0 ] && [ "$f" -eq 0 ] && f=$((f + 1)) && n=$((n + 1)) && echo "$test: status $status"
  passed=$((passed + n - f))
  failed=$((failed + f))
done

bench=$1/tests/vm/socketcan_bench
if [ -x "$bench" ]; then
  echo "== SocketCAN round trips ($1)"
  "$bench" --benchmark_color=false || broken=1
fi

echo "socketcan: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$broken" -eq 0 ]
