#!/usr/bin/env bash
# Builds the service and the storm tests (phones that reset mid-answer, floods of bad frames)
# with AddressSanitizer and with ThreadSanitizer, each in a build folder of its own, and runs
# those tests against each build. A sanitizer report stops the service, which fails the test.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-4}
KINDS=${SANITIZE_KINDS:-"address thread"}
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=0:${ASAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:${TSAN_OPTIONS:-}"
for kind in $KINDS; do
  case "$kind" in
    address) dir=build-asan ;;
    thread) dir=build-tsan ;;
    *) echo "unknown sanitizer $kind" >&2; exit 2 ;;
  esac
  cmake -S . -B "$dir" -G Ninja -DQUARLO_SANITIZE="$kind" -DQUARLO_WERROR=ON
  cmake --build "$dir" -j "$JOBS" --target storm_tests QuarloClient sc net
  (cd "$dir" && ctest -R '^Storm\.' --output-on-failure --timeout 900)
  # The desktop program's windows under AddressSanitizer: the update notice's Return, Escape
  # and close button over the real main window, the wizard and the phone prompts.
  if [ "$kind" = address ]; then
    cmake --build "$dir" -j "$JOBS" --target desktop_periphery_gui_tests desktop_pages_gui_tests
    (cd "$dir" && export XDG_CONFIG_HOME="$PWD/test-config" XDG_DATA_HOME="$PWD/test-data" &&
      xvfb-run -a -s "-screen 0 1280x1024x24" tests/desktop_app/desktop_periphery_gui_tests \
        --gtest_filter='PeripheryGui.UpdateNotice*:PeripheryGui.Wizard*' &&
      xvfb-run -a -s "-screen 0 1280x1024x24" tests/desktop_app/desktop_pages_gui_tests \
        --gtest_filter='PagesGui.*Prompt*:ConnectDlgGui.*')
  fi
done
