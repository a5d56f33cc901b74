#!/usr/bin/env bash
# Installs a build tree into <scratch>/staged, moves that prefix to <scratch>/moved, so that any
# path into the build tree or the first prefix would show, and runs test_installed_folder in
# Octave with only the installed folder (and the tests' helpers) on the path.
# Usage: install_test.sh <build dir> <scratch dir> <folder under the prefix> <octave-cli>
set -euo pipefail
build=$1 scratch=$2 subdir=$3 octave=$4
here=$(cd "$(dirname "$0")" && pwd)
support=$(cd "$here/../support" && pwd)

rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/staged" >"$scratch/install.log"
mv "$scratch/staged" "$scratch/moved"
folder=$scratch/moved/$subdir

# The MEX file must load the KorvexLib that lies beside it.
for mex in "$folder"/KorvexCUDA.mex*; do
  resolved=$(ldd "$mex" | awk '$1 == "libKorvexLib.so" {print $3}')
  if [[ $(realpath -m "$resolved") != $(realpath "$folder/libKorvexLib.so") ]]; then
    echo "$mex loads libKorvexLib.so from '$resolved', not from its own folder" >&2
    ldd "$mex" >&2
    exit 1
  fi
done

cd "$scratch"
"$octave" --no-gui --norc --quiet --eval \
  "addpath('$here', '$support'); addpath('$folder'); test_installed_folder('$folder', '$scratch')"
