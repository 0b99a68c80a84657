#!/usr/bin/env bash
# The project's one test command: installs what the suites need, then runs
#   0. the formatting of every C++ source (clang-format, pinned version),
#   1. the engine tests (GoogleTest, warnings as errors),
#   2. the Python tests against the installed module (warnings as errors),
#   3. the Python tests on CPython 3.12 and 3.13 (each in its own venv),
#   4. engine and Python tests again under AddressSanitizer + UndefinedBehaviorSanitizer,
#   5. the thread stress tests under ThreadSanitizer.
# PYTHON picks the main interpreter (default python3); VEXLOR_SKIP_SANITIZERS=1
# (stages 4 and 5) and VEXLOR_SKIP_OTHER_PYTHONS=1 shorten a local run.
# Then the SGF parser under libFuzzer for a bounded time (VEXLOR_SKIP_FUZZ=1 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PY=${PYTHON:-python3}
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
export PIP_DISABLE_PIP_VERSION_CHECK=1

step() { printf '\n=== %s\n' "$*"; }

step "system packages"
need=()
for pkg in libgtest-dev gnugo g++ cmake librsvg2-bin; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if ((${#need[@]})); then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
  else
    sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
  fi
fi

step "formatting (scripts/check_format.sh)"
PYTHON=$PY bash scripts/check_format.sh

step "engine tests (GoogleTest)"
cmake -S . -B build/engine-tests -DCMAKE_BUILD_TYPE=Release -DVEXLOR_BUILD_MODULE=OFF \
  -DVEXLOR_BUILD_TESTS=ON -DVEXLOR_WERROR=ON >/dev/null
cmake --build build/engine-tests
ctest --test-dir build/engine-tests --output-on-failure -j "$(nproc)" | tail -n 3

step "install module and test dependencies ($($PY --version))"
extras="test,distributed"
# The AlphaZero example's test needs its pinned torch, a CPU wheel for CPython 3.11 only.
if $PY -c 'import sys; sys.exit(sys.version_info[:2] != (3, 11))'; then extras="$extras,alphazero"; fi
$PY -m pip install -q ".[$extras]" -C cmake.define.VEXLOR_WERROR=ON

step "Python tests ($($PY --version))"
(cd "$ROOT" && $PY -m pytest -q tests/python)

if [ "${VEXLOR_SKIP_OTHER_PYTHONS:-0}" != 1 ]; then
  for v in 3.12 3.13; do
    other=""
    if command -v pyenv >/dev/null 2>&1; then
      other=$(ls -d "$(pyenv root)"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -V | tail -n 1 || true)
    fi
    [ -n "$other" ] || other=$(command -v "python$v" || true)
    if [ -z "$other" ] || ! "$other" --version >/dev/null 2>&1; then
      echo "CPython $v not found: skipped"
      continue
    fi
    step "Python tests on $("$other" --version)"
    venv="build/venv-$v"
    [ -x "$venv/bin/python" ] || "$other" -m venv "$venv"
    "$venv/bin/python" -m pip install -q ".[test]" -C cmake.define.VEXLOR_WERROR=ON
    VEXLOR_QUICK=1 "$venv/bin/python" -m pytest -q tests/python
  done
fi

if [ "${VEXLOR_SKIP_SANITIZERS:-0}" != 1 ]; then
  san_start=$SECONDS
  # The interpreter binary itself: a wrapper such as pyenv's shim is a bash
  # script, which must not run with the sanitizer runtime preloaded.
  py_exe=$("$PY" -c 'import sys; print(sys.executable)')
  step "AddressSanitizer + UndefinedBehaviorSanitizer build"
  cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_SANITIZE=ON -DVEXLOR_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$py_exe" >/dev/null
  cmake --build build/asan
  # Any report fails the run: ASan stops at its first error, UBSan is built
  # without recovery (-fno-sanitize-recover=all), LeakSanitizer fails the exit status.
  ubsan_opts="print_stacktrace=1:halt_on_error=1"
  lsan_opts="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
  step "engine tests under sanitizers"
  VEXLOR_SANITIZED=1 ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" LSAN_OPTIONS="$lsan_opts" \
    UBSAN_OPTIONS="$ubsan_opts" ctest --test-dir build/asan --output-on-failure -j "$(nproc)" | tail -n 3
  # The interpreter is not instrumented, so the ASan runtime is preloaded; so is
  # libstdc++, without which ASan cannot find the C++ exception entry points the
  # module throws through. PYTHONMALLOC=malloc puts Python objects on ASan's heap.
  san_preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
  sanitized_python() {  # detect_leaks (0 or 1), then the interpreter's arguments
    local leaks=$1
    shift
    LD_PRELOAD="$san_preload" ASAN_OPTIONS="detect_leaks=$leaks:halt_on_error=1" LSAN_OPTIONS="$lsan_opts" \
      UBSAN_OPTIONS="$ubsan_opts" PYTHONMALLOC=malloc VEXLOR_SANITIZED=1 VEXLOR_QUICK=1 \
      PYTHONPATH="$ROOT/build/asan" "$py_exe" "$@"
  }
  step "Python tests under sanitizers"
  # Memory errors and undefined behaviour only: libraries the tests load (NumPy's
  # import) and programs they start (GNU Go) keep memory until exit, and with the
  # interpreter's frame-pointer-less stacks those reports cannot be told apart
  # from the module's. Leaks are judged in the next step.
  # --capture=sys leaves the real stderr to the sanitizers, so a report that ends
  # the process is printed rather than lost in pytest's capture file.
  sanitized_python 0 -m pytest -q -p no:cacheprovider --capture=sys tests/python
  step "module leak check (LeakSanitizer)"
  # The check is live: an allocation dropped on purpose must be reported.
  if sanitized_python 1 -c 'import ctypes; ctypes.CDLL(None).malloc(4096)' 2>/dev/null; then
    echo "LeakSanitizer missed a deliberate leak: leak detection is not working here" >&2
    exit 1
  fi
  # Every method of every class, failing calls included, with nothing from the
  # interpreter suppressed; NumPy is kept out (see above).
  sanitized_python 1 -c 'import sys; sys.modules["numpy"] = None; import pytest
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "--capture=sys", "tests/python/test_leaks.py"]))'
  echo "sanitizer stage: $((SECONDS - san_start)) s"

  tsan_start=$SECONDS
  step "ThreadSanitizer build"
  cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEXLOR_TSAN=ON -DPython_EXECUTABLE="$py_exe" >/dev/null
  cmake --build build/tsan
  step "thread stress tests under ThreadSanitizer"
  # Batches run without the interpreter lock while other threads change and read
  # their games. The interpreter is not instrumented, but its lock is a pthread
  # mutex and condition variable, which TSan intercepts: every access the module
  # makes under the lock is ordered, and one made during a lock-free batch that
  # another thread can reach is reported. Preloads as for ASan; no suppressions.
  LD_PRELOAD="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so.6)" \
    TSAN_OPTIONS="halt_on_error=1:history_size=7" PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build/tsan" \
    "$py_exe" -m pytest -q -p no:cacheprovider --capture=sys tests/python/test_threads.py \
    "tests/python/test_buffers.py::TestBatchThreads" \
    "tests/python/test_game_batch.py::TestConcurrentUse" tests/python/test_tree_search_threads.py
  echo "ThreadSanitizer stage: $((SECONDS - tsan_start)) s"
fi

if [ "${VEXLOR_SKIP_FUZZ:-0}" != 1 ]; then
  # The SGF parser, replays, writer and pictures under libFuzzer with ASan and
  # UBSan, for a bounded time (VEXLOR_FUZZ_SECONDS, default 60).
  step "SGF fuzzing (libFuzzer, ${VEXLOR_FUZZ_SECONDS:-60} s)"
  bash scripts/fuzz_sgf.sh "${VEXLOR_FUZZ_SECONDS:-60}" 2>&1 | tail -n 12
fi
step "all test suites passed"
