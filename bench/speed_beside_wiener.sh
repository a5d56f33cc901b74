#!/usr/bin/env bash
# The pipeline's time beside the Wiener-type tool's in one session: a 512 x 512 x 9 filament
# stack at 1000 photons (acquisition_filaments, seed 8), korvex_reconstruct with its defaults
# (single, engine kept: first call, then the best of 3), the same with the earlier defaults (40
# plain steps, best of 3), and the tool's calibration +
# reconstruction (estimated pattern, best of 3), with the load average before and after.
# Usage: bash bench/speed_beside_wiener.sh [BUILD=build/host] [VENV=build/wiener-venv]
#        (after bench/wiener/setup.sh)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/host}"
venv="${2:-$root/build/wiener-venv}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$root"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg), OMP_NUM_THREADS=${OMP_NUM_THREADS:-all}"
octave-cli --eval "
addpath('matlab'); addpath('bench/octave'); addpath('$build/matlab');
s = acquisition_filaments(512, 512, 1000, 8);
frames = s.frames; na = s.na; wavelength = s.wavelength; pixelSize = s.pixelSize; n = 1.33;
mode = 'estimate';
save('-v7', '$work/stack.mat', 'frames', 'na', 'wavelength', 'pixelSize', 'n', 'mode');
optics = {'na', na, 'wavelength', wavelength, 'pixelSize', pixelSize};
single_frames = single(frames);
started = tic; [~, info] = korvex_reconstruct(single_frames, optics{:}); first = toc(started);
best = Inf;
for r = 1:3
  started = tic; [~, info] = korvex_reconstruct(single_frames, optics{:});
  if toc(started) < best, best = toc(started); t = info.seconds; end
end
printf('korvex_reconstruct, 512 x 512 x 9 -> 1024 x 1024, single, defaults: first call %.3f s, warm %.3f s\n', first, best);
printf('  warm stages: estimation %.3f, up-sampling %.3f, otf %.3f, masks %.4f, engine %.3f s (%d iterations)\n', ...
       t.estimation, t.upsampling, t.otf, t.masks, t.reconstruction, info.iterations);
plain = {'iterations', 40, 'precondition', false};
korvex_reconstruct(single_frames, optics{:}, plain{:});
best = Inf;
for r = 1:3
  started = tic; [~, info] = korvex_reconstruct(single_frames, optics{:}, plain{:});
  if toc(started) < best, best = toc(started); t = info.seconds; end
end
printf('korvex_reconstruct, the earlier defaults (40 plain steps): warm %.3f s, engine %.3f s\n', ...
       best, t.reconstruction);
" 2>&1 | grep -v 'execution_exception' || true
"$venv/bin/python" - "$work/stack.mat" <<'PY'
import sys
sys.path.insert(0, 'bench/wiener')
import scipy.io
import wiener_reconstruct as w
d = scipy.io.loadmat(sys.argv[1], squeeze_me=True)
best = None
for _ in range(3):
    out = w.reconstruct(d['frames'], float(d['na']), float(d['wavelength']), float(d['pixelSize']))
    if best is None or out['seconds'] < best['seconds']:
        best = out
print(f"Wiener-type tool, calibration + reconstruction: {best['seconds']:.3f} s "
      f"(calibration {best['calibrationSeconds']:.3f}, reconstruction {best['reconstructionSeconds']:.3f}), best of 3")
PY
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
