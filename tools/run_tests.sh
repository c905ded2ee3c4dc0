#!/usr/bin/env bash
# Installs what the tests need and runs every suite:
#   C++ unit tests (ctest), the concurrency tests under ThreadSanitizer,
#   the blob-reader fuzzer for a bounded time, and pytest on every CPython
#   >= 3.11 found on the machine (each in its own virtual environment).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=${KORVANE_JOBS:-2}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs

step() { printf '\n=== %s\n' "$*"; }

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

# --- C++ ---------------------------------------------------------------------
step "C++ unit tests"
cmake -S . -B build/ci-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORVANE_TESTS=ON >/dev/null
cmake --build build/ci-release
ctest --test-dir build/ci-release --output-on-failure -j "$jobs"

step "C++ concurrency tests under ThreadSanitizer"
cmake -S . -B build/ci-tsan -G Ninja -DKORVANE_TESTS=ON -DKORVANE_SANITIZE=thread >/dev/null
cmake --build build/ci-tsan --target core_tests
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build/ci-tsan/core_tests --gtest_filter='*Concurren*:*Thread*' --gtest_brief=1

if ls fuzz/*.cpp >/dev/null 2>&1; then
  step "fuzzing (bounded)"
  cmake -S . -B build/ci-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKORVANE_FUZZ=ON >/dev/null
  cmake --build build/ci-fuzz
  fuzz_seconds=${KORVANE_FUZZ_SECONDS:-60}
  targets=(fuzz/*.cpp)
  per_target=$(( fuzz_seconds / ${#targets[@]} ))
  [ "$per_target" -ge 5 ] || per_target=5
  for src in "${targets[@]}"; do
    name=$(basename "$src" .cpp)
    corpus="fuzz/corpus/${name#fuzz_}"
    work=build/ci-fuzz/corpus-$name
    mkdir -p "$work" "$corpus"
    echo "-- $name (${per_target}s, seeds in $corpus)"
    "build/ci-fuzz/$name" -max_total_time="$per_target" -print_final_stats=0 \
      -artifact_prefix=build/ci-fuzz/ "$work" "$corpus" 2>&1 | tail -n 3
  done
fi

# --- Python ------------------------------------------------------------------
# Every distinct CPython >= 3.11 on the machine: PATH first, then pyenv's.
candidates=("$py")
for p in /usr/bin/python3.1[1-9] /root/.pyenv/versions/3.1[1-9]*/bin/python3 "${PYENV_ROOT:-/nonexistent}"/versions/3.1[1-9]*/bin/python3; do
  [ -x "$p" ] && candidates+=("$p")
done
declare -A seen=()
interpreters=()
for p in "${candidates[@]}"; do
  tag=$("$p" -c 'import sys, sysconfig; v = sys.version_info; print(f"{v[0]}.{v[1]}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")) if v >= (3, 11) else None' 2>/dev/null || true)
  [ -n "$tag" ] && [ "$tag" != None ] || continue
  # a venv must be creatable from it
  "$p" -c 'import venv, ensurepip' 2>/dev/null || continue
  [ -z "${seen[$tag]:-}" ] || continue
  seen[$tag]=1
  interpreters+=("$p")
done

status=0
for p in "${interpreters[@]}"; do
  tag=$("$p" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  step "pytest on Python $tag ($p)"
  venv=build/venv-$tag
  [ -x "$venv/bin/python" ] || "$p" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
  "$venv/bin/python" -m pip install -q "scikit-build-core>=0.10" >/dev/null
  "$venv/bin/python" -m pip install -q --no-build-isolation ".[test]"
  # run from outside the source tree so the installed module is the one imported
  set +e
  (cd build && "$root/$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  rc=$?
  set -e
  if [ $rc -ne 0 ]; then
    echo "pytest failed on Python $tag (exit $rc)"
    status=1
  fi
done
exit $status
