"""Shared fixtures: small odd, non-square stacks and a runner for the MATLAB path in Octave."""

import os
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest

import korvex

REPO = Path(__file__).resolve().parents[2]
SHAPE = (37, 50)  # odd and non-square: a transposition slip cannot hide


def mex_folder():
    candidates = [os.environ.get("KORVEX_MEX_DIR"), REPO / "build/host/matlab",
                  REPO / "build/pydev/matlab"]
    for folder in candidates:
        if folder and (Path(folder) / "KorvexCUDA.mex").exists():
            return Path(folder)
    return None


@pytest.fixture(scope="session")
def octave(tmp_path_factory):
    """octave(script, inputs, outputs): runs `script` with the MEX files and matlab/ on the
    path. Inputs are numpy arrays, seen in Octave with MATLAB's axes (an (F, H, W) array
    arrives as H x W x F); outputs come back the same way, as float64."""
    folder = mex_folder()
    if shutil.which("octave-cli") is None or folder is None:
        pytest.skip("octave-cli or the Octave MEX files (build/host/matlab) are not available")
    work = tmp_path_factory.mktemp("octave")

    def run(script, inputs, outputs):
        # addpath puts its folder first: the MEX folder must win over matlab/'s help files.
        lines = [f"addpath('{REPO / 'matlab'}'); addpath('{folder}');"]
        for name, value in inputs.items():
            value = np.asarray(value)
            path = work / f"{name}.bin"
            value.tofile(path)
            kind = "single" if value.dtype == np.float32 else "double"
            dims = ", ".join(str(n) for n in value.shape[::-1])
            order = ", ".join(str(n) for n in [2, 1] + list(range(3, value.ndim + 1)))
            lines.append(f"f = fopen('{path}'); {name} = permute(reshape(fread(f, Inf, "
                         f"'{kind}=>{kind}'), [{dims}, 1]), [{order}]); fclose(f);")
        lines.append(script)
        for name in outputs:
            path = work / f"{name}.out"
            lines.append(f"v = double({name}); f = fopen('{path}', 'w'); "
                         f"fwrite(f, [ndims(v), size(v)], 'double'); "
                         f"fwrite(f, permute(v, [2, 1, 3:ndims(v)]), 'double'); fclose(f);")
        done = subprocess.run(["octave-cli", "--no-gui", "--quiet", "--eval", "\n".join(lines)],
                              capture_output=True, text=True, timeout=300)
        assert done.returncode == 0, done.stderr
        results = []
        for name in outputs:
            raw = np.fromfile(work / f"{name}.out")
            ndim = int(raw[0])
            shape = [int(n) for n in raw[1:1 + ndim]]
            order = shape[2:][::-1] + shape[:2]  # C order of the permuted array
            results.append(raw[1 + ndim:].reshape(order))
        return results

    return run


@pytest.fixture(scope="session")
def stack():
    """(truth, masks, otf, frames) at SHAPE, noise-free, float64."""
    rng = np.random.default_rng(7)
    truth = np.zeros(SHAPE)
    for _ in range(40):
        y, x = rng.integers(3, SHAPE[0] - 3), rng.integers(3, SHAPE[1] - 3)
        truth[y - 1:y + 2, x - 1:x + 2] += rng.random()
    otf = korvex.otf(SHAPE, 1.2, 0.52, 0.065)
    masks = korvex.masks(SHAPE, period=5.0, angles=[0.3, 1.4, 2.5])
    return truth, masks, otf, korvex.simulate(truth, masks, otf)
