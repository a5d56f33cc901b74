#!/usr/bin/env bash
# The full fuzzing counts, which CI runs only a seeded subset of: 20,000 calls each of
# korvex_reconstruct and korvex_estimate_patterns (and KorvexCUDA) through the MEX substitute
# under AddressSanitizer and UndefinedBehaviorSanitizer (build/asan), then 2,000 property-based
# examples per Python API function against the installed package (the test venv of
# scripts/test_python.sh, or KORVEX_PYTHON). KORVEX_FUZZ_CASES, KORVEX_FUZZ_SEED and
# KORVEX_HYPOTHESIS_EXAMPLES change the counts.
set -euo pipefail
cd "$(dirname "$0")/.."

export KORVEX_FUZZ_CASES=${KORVEX_FUZZ_CASES:-20000}
export KORVEX_HYPOTHESIS_EXAMPLES=${KORVEX_HYPOTHESIS_EXAMPLES:-2000}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

cmake --preset asan >/dev/null
cmake --build build/asan --target reconstruct_fuzz_tests estimate_fuzz_tests gateway_fuzz_tests
for program in reconstruct_fuzz_tests estimate_fuzz_tests gateway_fuzz_tests; do
  t0=$SECONDS
  "build/asan/tests/gateway/$program" --gtest_brief=1
  echo "== $program: $KORVEX_FUZZ_CASES calls under ASan/UBSan in $((SECONDS - t0)) s"
done

python=${KORVEX_PYTHON:-build/python-venv/bin/python}
if [[ -x $python ]] && "$python" -c 'import korvex, hypothesis' 2>/dev/null; then
  (cd /tmp && "$python" -m pytest -q -p no:cacheprovider "$OLDPWD/python/tests/test_properties.py")
else
  echo "== no Python with korvex and hypothesis ($python): run scripts/test_python.sh first" >&2
  exit 1
fi
