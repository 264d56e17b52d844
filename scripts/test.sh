#!/usr/bin/env bash
# Runs every test: the normal build, then the whole suite again under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer.
#   scripts/test.sh            all three builds, the Debian package (built, installed, checked
#                              and removed again: scripts/package-check.sh; as root only,
#                              ORLO_SKIP_PACKAGE=1 skips it) and the Windows build
#   scripts/test.sh --quick    the normal build only
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh

# Nothing the suite runs may touch the system's files: /dev/null must still be the character
# device 1:3 when it ends, whichever way it ends (checked after each suite and on exit).
check_dev_null() {
  if [ ! -c /dev/null ] || [ "$(stat -c '%t:%T' /dev/null)" != "1:3" ]; then
    echo "== FAILED: /dev/null is no longer the character device 1:3" \
      "(now: $(stat -c '%F %t:%T' /dev/null 2>&1)); a test or fuzz target replaced it" >&2
    return 1
  fi
}
trap 'status=$?; check_dev_null || status=1; exit $status' EXIT

run_suite() {
  local dir=$1
  shift
  echo "== $dir: configure and build"
  bash scripts/build.sh "$dir" "$@"
  echo "== $dir: tests"
  (cd "$dir" && ctest --output-on-failure -j"$(nproc)" --timeout 300)
  check_dev_null
}

export QT_QPA_PLATFORM=offscreen
run_suite build
if [ "${1:-}" != "--quick" ]; then
  if [ "${ORLO_SKIP_PACKAGE:-0}" = 1 ]; then
    echo "== package check skipped (ORLO_SKIP_PACKAGE=1)"
  elif [ "$(id -u)" -ne 0 ]; then
    echo "== package check skipped: installing the package needs root"
  else
    bash scripts/package-check.sh build
  fi
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build-asan -DORLO_SANITIZE=address -DORLO_BUILD_BENCH=OFF -DORLO_BUILD_GUI=OFF
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build-tsan -DORLO_SANITIZE=thread -DORLO_BUILD_BENCH=OFF -DORLO_BUILD_GUI=OFF
  bash scripts/fuzz-smoke.sh
  check_dev_null
fi
if [ "${ORLO_SKIP_WINDOWS:-0}" != 1 ]; then
  # The Windows build, cross-compiled here, and its tests under Wine (ORLO_SKIP_WINDOWS=1 skips).
  bash scripts/windows-build.sh build-win && bash scripts/windows-test.sh build-win build
fi
echo "== all test suites passed"
