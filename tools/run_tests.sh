#!/usr/bin/env bash
# Installs what the tests need and runs every suite:
#   - the C++ unit tests under AddressSanitizer + UndefinedBehaviorSanitizer (ctest),
#   - the C++ unit tests under ThreadSanitizer,
#   - every fuzz target: its seed corpus replayed, then fuzzed for a bounded time
#     (KORVANE_FUZZ_SECONDS in all, default 60),
#   - pytest on every CPython >= 3.11 found on the machine, each in its own
#     virtual environment with the package built and installed there,
#   - pytest once more against an ASan + UBSan build of the extension, with the
#     sanitizer runtime preloaded into the interpreter,
#   - on a free-threaded CPython 3.13 (built once per machine by
#     tools/build_free_threaded.sh): the whole suite with the GIL off, each test body
#     in several threads at once (pytest-run-parallel), and the thread tests against a
#     ThreadSanitizer build of the extension in a ThreadSanitizer build of it.
# Every suite runs even if an earlier one failed; the exit status says whether all passed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# Property tests draw the same examples on every run here (see tests/python/conftest.py).
export CI=${CI:-true}
jobs=${KORVANE_JOBS:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

step() { printf '\n=== [%ds] %s\n' "$SECONDS" "$*"; }
# Builds quietly into DIR/build.log; on failure shows its end and stops.
build() {  # build DIR [cmake --build arguments...]
  local dir=$1
  shift
  if ! cmake --build "$dir" "$@" >"$dir/build.log" 2>&1; then
    tail -n 60 "$dir/build.log"
    echo "build in $dir failed (full log: $dir/build.log)"
    exit 1
  fi
}
failed=()
record() {  # record NAME EXIT_STATUS
  if [ "$2" -ne 0 ]; then
    failed+=("$1 (exit $2)")
    echo "FAILED: $1 (exit $2)"
  fi
}

# --- system packages ---------------------------------------------------------
need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null || need_apt+=(g++)
command -v clang++ >/dev/null || need_apt+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need_apt+=(libclang-rt-14-dev)
if [ ${#need_apt[@]} -gt 0 ]; then
  step "apt-get install ${need_apt[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi
py=$(command -v python3)
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
  step "pip install cmake ninja"
  "$py" -m pip install -q cmake ninja
fi
# The interpreter itself, not a launcher script: the sanitizer runtime is
# preloaded into it, and the sanitized extension is built against it.
py=$("$py" -c 'import sys; print(sys.executable)')
asan_runtime=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)

# --- C++ under sanitizers -------------------------------------------------------
# One clang build with AddressSanitizer + UndefinedBehaviorSanitizer holds the
# C++ tests, the fuzz targets and the extension for the sanitized pytest pass.
step "build: C++ tests, fuzz targets and extension with ASan + UBSan (clang)"
cmake -S . -B build/ci-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_TESTS=ON \
  -DKORVANE_FUZZ=ON "-DKORVANE_SANITIZE=address;undefined" -DKORVANE_PYTHON=ON \
  -DPython_EXECUTABLE="$py" >/dev/null
build build/ci-asan

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
step "C++ unit tests under ASan + UBSan"
set +e
ctest --test-dir build/ci-asan --output-on-failure -j "$jobs"
record "C++ tests (ASan + UBSan)" $?
set -e

step "build: C++ tests with ThreadSanitizer"
cmake -S . -B build/ci-tsan -G Ninja -DKORVANE_TESTS=ON -DKORVANE_SANITIZE=thread >/dev/null
build build/ci-tsan --target core_tests
# Every test runs, so the tests that start threads (store interning and lock
# waiting, the symbol table, the reducer's mutex) all run under the race detector.
step "C++ unit tests under ThreadSanitizer"
set +e
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" build/ci-tsan/core_tests --gtest_brief=1
record "C++ tests (TSan)" $?
set -e

# --- fuzzing -------------------------------------------------------------------
step "fuzzing: seed corpora replayed, then fuzzed"
fuzz_seconds=${KORVANE_FUZZ_SECONDS:-60}
targets=(fuzz/fuzz_*.cpp)
per_target=$(( fuzz_seconds / ${#targets[@]} ))
[ "$per_target" -ge 5 ] || per_target=5
mkdir -p build/ci-fuzz
for src in "${targets[@]}"; do
  name=$(basename "$src" .cpp)
  corpus="fuzz/corpus/${name#fuzz_}"
  # New inputs go to a scratch corpus; the committed seeds change only by hand.
  work=build/ci-fuzz/corpus-$name
  mkdir -p "$work" "$corpus"
  echo "-- $name: $(ls "$corpus" | wc -l) seeds, ${per_target}s"
  set +e
  "build/ci-asan/$name" -max_total_time="$per_target" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=0 -artifact_prefix=build/ci-fuzz/ "$work" "$corpus" >"build/ci-fuzz/$name.log" 2>&1
  rc=$?
  set -e
  grep -E '^#[0-9]+[[:space:]]+(INITED|DONE)' "build/ci-fuzz/$name.log" || true
  if [ $rc -ne 0 ]; then
    tail -n 40 "build/ci-fuzz/$name.log"
    echo "the failing input is in build/ci-fuzz/ (add it to $corpus once fixed)"
  fi
  record "fuzzing $name" $rc
done

# --- free-threaded CPython -----------------------------------------------------
# Two free-threaded 3.13 interpreters, built once per machine into fixed prefixes
# outside the checkout and reused afterwards: one joins the interpreters below, the
# other (clang, ThreadSanitizer) runs the thread tests at the end. A source that
# cannot be fetched or a failed build is a failed suite.
ft_python=
ft_tsan_python=
build_free_threaded() {  # build_free_threaded ft|tsan  -> sets ft_built
  local out rc
  ft_built=
  set +e
  out=$(bash tools/build_free_threaded.sh "$1")
  rc=$?
  set -e
  record "free-threaded CPython build ($1)" $rc
  [ $rc -ne 0 ] || ft_built=$(tail -n 1 <<<"$out")
}
step "free-threaded CPython 3.13: build or reuse (tools/build_free_threaded.sh)"
build_free_threaded ft
ft_python=$ft_built
build_free_threaded tsan
ft_tsan_python=$ft_built

# What a free-threaded interpreter can install, ahead of the test extra (which then
# keeps them): hypothesis 6.156 and later ship no wheel that 3.13t can install and
# need a compiler toolchain this machine cannot fetch, so 6.155.x is the newest
# usable; NumPy 2.4 and later have no cp313t wheels (2.3 has); mypy 2 needs
# ast-serialize, whose source build needs a compiler toolchain this machine cannot fetch.
free_threaded_pins=("hypothesis<6.156" "numpy<2.4" "mypy<2")
# On a free-threaded interpreter every test body runs in this many threads at once.
free_threaded_parallel_threads=4

# --- Python --------------------------------------------------------------------
# Every CPython >= 3.11 installation on the machine (the system's and pyenv's
# alike), each once: PATH's first. Each gets its own virtual environment and
# its own build of the extension.
candidates=("$py")
[ -z "$ft_python" ] || candidates+=("$ft_python")
for p in /usr/bin/python3.1[1-9] /usr/local/bin/python3.1[1-9] /root/.pyenv/versions/3.1[1-9]*/bin/python3 \
         "${PYENV_ROOT:-/nonexistent}"/versions/3.1[1-9]*/bin/python3; do
  [ -x "$p" ] && candidates+=("$p")
done
describe='import os, sys, sysconfig
v = sys.version_info
if v >= (3, 11):
    free = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    print(os.path.realpath(sys.base_prefix), f"{v[0]}.{v[1]}.{v[2]}{free}")'
declare -A seen=()
interpreters=()
labels=()
for p in "${candidates[@]}"; do
  read -r prefix label < <("$p" -c "$describe" 2>/dev/null || true) || true
  [ -n "${label:-}" ] || continue
  # a venv must be creatable from it
  "$p" -c 'import venv, ensurepip' 2>/dev/null || continue
  [ -z "${seen[$prefix $label]:-}" ] || continue
  seen[$prefix $label]=1
  interpreters+=("$p")
  labels+=("$label")
done

# The requirements of the extras named as arguments, one a line, from pyproject.toml.
extra_requirements='import sys, tomllib
with open("pyproject.toml", "rb") as f:
    extras = tomllib.load(f)["project"]["optional-dependencies"]
print("\n".join(r for name in sys.argv[1:] for r in extras[name]))'

# pytest: exit status 5 (nothing collected) counts as a failure like any other.
run_pytest() {  # run_pytest LABEL MARK_EXPRESSION PYTHON_COMMAND...
  local label=$1 marks=$2
  shift 2
  local select=()
  [ -z "$marks" ] || select=(-m "$marks")
  set +e
  (cd build && "$@" -m pytest -q -p no:cacheprovider "${select[@]}" "$root/tests/python")
  record "$label" $?
  set -e
}

# The sanitizer options above are for the sanitized binaries only.
unset ASAN_OPTIONS UBSAN_OPTIONS
default_venv=
for i in "${!interpreters[@]}"; do
  p=${interpreters[$i]}
  label=${labels[$i]}
  step "pytest on Python $label ($p)"
  venv=build/venv-$label
  [ -x "$venv/bin/python" ] || "$p" -m venv "$venv"
  [ -n "$default_venv" ] || default_venv=$root/$venv
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" >/dev/null
  pytest_env=()
  if [[ $label == *t ]]; then
    "$venv/bin/python" -m pip install -q "${free_threaded_pins[@]}"
    pytest_env=(env PYTEST_ADDOPTS="--parallel-threads=$free_threaded_parallel_threads")
  fi
  # A build tree per installation: two installations of one minor version
  # share a wheel tag but not their headers.
  # With the bench extra (dask, distributed, pandas, pyarrow), so the executor's dask,
  # cluster, cache and example tests run; pandas and pyarrow from wheels only, never a long
  # source build (the newest pyarrow has no wheel for 3.13t; an older one has). The extras'
  # requirements go in first, with build isolation: where a dependency has no wheel for
  # this interpreter (PyYAML, msgpack and tornado on 3.13t) its source build brings its
  # own build backend. Only the package itself builds without isolation.
  set +e
  "$venv/bin/python" -c "$extra_requirements" test bench | \
    xargs -d '\n' "$venv/bin/python" -m pip install -q --only-binary=pandas,pyarrow
  record "installing the test and bench extras on Python $label" $?
  set -e
  "$venv/bin/python" -m pip install -q --no-build-isolation -C build-dir="build/pip-$label" \
    --only-binary=pandas,pyarrow ".[test,bench]"
  # run from outside the source tree so the installed module is the one imported
  run_pytest "pytest on Python $label" "" ${pytest_env[@]+"${pytest_env[@]}"} "$root/$venv/bin/python"
done

# The sanitized extension, imported ahead of the installed one, in the first
# interpreter's environment. Leaks of the interpreter's own objects are
# suppressed. A leak report does not change a process's exit status, so that
# programs the tests start (Graphviz, say) inherit the preloaded runtime
# without failing on leaks of their own; the report of the interpreter that
# runs the tests is looked for in its output instead. The long memory-bound
# repetitions are left out: freed memory sits in quarantine under ASan.
step "pytest against the ASan + UBSan extension (Python $("$py" -c 'import sys; print(sys.version.split()[0])'))"
sanitized_env=(
  LD_PRELOAD="$asan_runtime"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
  LSAN_OPTIONS="suppressions=$root/tools/lsan-interpreter.supp:print_suppressions=0:exitcode=0"
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  PYTHONMALLOC=malloc
  PYTHONPATH="$root/build/ci-asan"
  KORVANE_SANITIZED=1
)
imported=$(cd build && env "${sanitized_env[@]}" "$default_venv/bin/python" -c 'import korvane_core; print(korvane_core.__file__)')
case "$imported" in
  "$root/build/ci-asan/"*) ;;
  *) echo "the sanitized pass imported $imported instead of the sanitized build"; record "sanitized import" 1 ;;
esac
sanitized_log=build/ci-sanitized-pytest.log
set +e
(cd build && env "${sanitized_env[@]}" "$default_venv/bin/python" -m pytest -q -p no:cacheprovider \
  -m "not slow" "$root/tests/python") 2>&1 | tee "$sanitized_log"
record "pytest against the sanitized extension" "${PIPESTATUS[0]}"
set -e
if grep -q "ERROR: LeakSanitizer" "$sanitized_log"; then
  record "leaks in the sanitized pytest pass" 1
fi

# --- ThreadSanitizer through the C API layer --------------------------------------
# The extension built with -fsanitize=thread (clang) against the free-threaded
# ThreadSanitizer interpreter, imported ahead of anything installed; the thread and
# stress tests run on it (scaled down by KORVANE_SANITIZED). Any report fails the
# pass (ThreadSanitizer's exit status 66); reports wholly inside the interpreter are
# suppressed by tools/tsan-interpreter.supp, each with its reason.
tsan_pass() {
  local python=$1 venv=build/venv-tsan dir=build/ci-tsan-py log=build/ci-tsan-pytest.log
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q pytest >/dev/null
  cmake -S . -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_SANITIZE=thread \
    -DKORVANE_PYTHON=ON -DPython_EXECUTABLE="$python" >/dev/null
  build "$dir" --target korvane_core
  local tsan_env=(
    PYTHONPATH="$root/$dir"
    KORVANE_SANITIZED=1
    TSAN_OPTIONS="suppressions=$root/tools/tsan-interpreter.supp second_deadlock_stack=1"
  )
  local imported
  imported=$(cd build && env "${tsan_env[@]}" "$root/$venv/bin/python" -c 'import korvane_core; print(korvane_core.__file__)')
  case "$imported" in
    "$root/$dir/"*) ;;
    *) echo "the ThreadSanitizer pass imported $imported instead of the sanitized build"; return 1 ;;
  esac
  set +e
  (cd build && env "${tsan_env[@]}" "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider \
    "$root/tests/python/test_free_threading.py" "$root/tests/python/test_threads.py" \
    "$root/tests/python/test_install.py") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  if grep -q "WARNING: ThreadSanitizer" "$log"; then
    echo "ThreadSanitizer reports above (full log: $log)"
    [ "$rc" -ne 0 ] || rc=66
  fi
  return "$rc"
}
if [ -n "$ft_tsan_python" ]; then
  step "thread tests under ThreadSanitizer (free-threaded $("$ft_tsan_python" -c 'import sys; print(sys.version.split()[0])'), extension with -fsanitize=thread)"
  set +e
  (set -e; tsan_pass "$ft_tsan_python")
  record "thread tests under ThreadSanitizer (free-threaded)" $?
  set -e
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf '\nFailed suites:\n'
  printf '  %s\n' "${failed[@]}"
  exit 1
fi
printf '\nAll suites passed.\n'
