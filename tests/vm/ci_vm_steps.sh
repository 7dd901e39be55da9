#!/bin/sh
# The CI step inside the virtual machine (run by .ci/run through
# run_in_vm.sh): the SocketCAN tests of every build directory given, then the
# SocketCAN benchmark of the first one when it was built. Exits non-zero when
# a program failed, crashed or is missing.
#
#   tests/vm/ci_vm_steps.sh BUILD_DIR...

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

failed=0 ran=$#
for dir in "$@"; do
  echo "== SocketCAN tests ($dir)"
  "$dir/tests/vm/socketcan_vm_test" || { echo "$dir: socketcan_vm_test failed (status $?)"; failed=$((failed + 1)); }
done
if [ -x "$1/bench/socketcan_bench" ]; then
  echo "== SocketCAN round trips ($1)"
  ran=$((ran + 1))
  "$1/bench/socketcan_bench" --benchmark_color=false || { echo "socketcan_bench failed"; failed=$((failed + 1)); }
fi
echo "socketcan: $failed of $ran programs failed"
[ "$failed" -eq 0 ]
