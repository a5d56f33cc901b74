#!/usr/bin/env bash
# The Python package's tests: a fresh virtual environment, `pip install .[test,napari]` (which
# builds KorvexLib and the module with scikit-build-core, in build/python-test, and brings
# napari with PyQt5) and pytest, under xvfb-run so that the napari plugin's tests get a real
# viewer with OpenGL. The agreement tests run the MATLAB path through Octave with the MEX files
# of build/host (or KORVEX_MEX_DIR) and are skipped without them. pytest's status is the
# script's; a run in which every test was skipped, or none collected, fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

venv=$(realpath -m "${KORVEX_TEST_VENV:-build/python-venv}")
rm -rf "$venv"
python3 -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --upgrade pip
t0=$SECONDS
"$venv/bin/python" -m pip install --quiet -Cbuild-dir="$root/build/python-test/{wheel_tag}" \
    ".[test,napari]"
echo "== korvex Python package installed in $((SECONDS - t0)) s ($venv)"

# From outside the source tree, so that the installed package is the one imported.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
# xvfb-run -a picks a free display; without it (a machine without the X packages) the napari
# tests are the ones that fail.
xvfb=()
command -v xvfb-run >/dev/null && xvfb=(xvfb-run -a -s "-screen 0 1400x900x24")
(cd /tmp && "${xvfb[@]}" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    --junitxml="$report" "$root/python/tests") || status=$?
ran=$("$venv/bin/python" -c 'import sys, xml.etree.ElementTree as E
s = E.parse(sys.argv[1]).getroot().iter("testsuite").__next__()
print(int(s.get("tests")) - int(s.get("skipped")))' "$report" 2>/dev/null || echo 0)
if [[ $status -eq 0 && $ran -eq 0 ]]; then
  echo "== pytest ran no test (all skipped or none collected)" >&2
  exit 1
fi
exit $status
