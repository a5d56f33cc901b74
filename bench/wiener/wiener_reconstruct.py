"""Wiener-type SIM reconstruction of a Korvex test stack with napari-sim-processor.

    python wiener_reconstruct.py IN.mat OUT.mat
    python wiener_reconstruct.py --check      (the tool's core imports)

IN.mat: frames (H x W x 9, orientation-major: frame = orientation*3 + phase), na,
wavelength (um, emission), pixelSize (um, camera pixel), n (immersion index), mode
('estimate' or 'given', default 'estimate'), optional pattern (angle 1x3 rad, period 1x3
camera pixels, phase 1x9 rad, in korvex_masks' convention: x, y count camera pixels from the
centre of camera pixel (1,1)), optional wiener (the tool's w, default 0.2) and optional beta
(the tool's zero-order attenuation, default 0.98; 0 switches it off).

OUT.mat: image (2H x 2W double, on the grid whose pixel (1,1) is centred on camera pixel
(1,1)), seconds (calibration + reconstruction), calibrationSeconds, reconstructionSeconds,
estimate (angle, period, phase in the convention above, modulation, and the tool's raw kx, ky,
p, phi), settings, mode.

Only the tool's processing core (ConvSimProcessor) is used; napari and Qt are not needed.
"""
import importlib.util
import os
import sys
import time
import types

import numpy as np
import scipy.io

# The settings the plugin's widget starts with; a user of the plugin gets these.
SETTINGS = dict(alpha=0.5, beta=0.98, w=0.2, eta=0.65, usePhases=True)


def load_processor_class():
    """ConvSimProcessor without the package's __init__, which imports napari and Qt."""
    os.environ.setdefault('MPLBACKEND', 'Agg')  # the processors import pyplot
    if 'napari_sim_processor' not in sys.modules:
        found = importlib.util.find_spec('napari_sim_processor')
        if found is None:
            raise ImportError('napari-sim-processor is not installed (run bench/wiener/setup.sh)')
        package = types.ModuleType('napari_sim_processor')
        package.__path__ = list(found.submodule_search_locations)
        sys.modules['napari_sim_processor'] = package
    from napari_sim_processor.processors.convSimProcessor import ConvSimProcessor
    return ConvSimProcessor


# Conventions, measured on simulated stacks (see README.md): the tool's carrier (kx, ky) is in
# units of NA / wavelength, the negative of our wave vector, and its phases refer to the centre
# of the camera frame (0-based pixel (H/2, W/2)); frame j of orientation i has phase
# phi[i, j] - p[i] there.

def _centre_term(angle, period, height, width):
    return 2 * np.pi * (np.cos(angle) * width / 2 + np.sin(angle) * height / 2) / period


def pattern_to_tool(pattern, shape, na, wavelength, pixel):
    """Our pattern (angle, period, phase per frame) as the tool's kx, ky (nbands) and phi."""
    height, width = shape
    angle = np.atleast_1d(np.asarray(pattern['angle'], float))
    period = np.asarray(pattern['period'], float) * np.ones_like(angle)
    phase = np.atleast_1d(np.asarray(pattern['phase'], float))
    steps = phase.size // angle.size
    scale = wavelength / (na * period * pixel)
    kx, ky = -np.cos(angle) * scale, -np.sin(angle) * scale
    phi = np.zeros((angle.size, phase.size))
    for i in range(angle.size):
        frames = slice(i * steps, (i + 1) * steps)
        phi[i, frames] = phase[frames] + _centre_term(angle[i], period[i], height, width)
    return kx, ky, np.angle(np.exp(1j * phi))


def tool_to_pattern(kx, ky, p, phi, shape, na, wavelength, pixel, steps):
    """The tool's estimate in our convention, angles folded into [0, pi)."""
    height, width = shape
    kx, ky, p = (np.ravel(v).astype(float) for v in (kx, ky, p))
    angle, period, phase = [], [], []
    for i in range(kx.size):
        a = np.arctan2(-ky[i], -kx[i])
        sign = 1.0
        if not 0 <= a < np.pi:
            a, sign = np.mod(a + np.pi, 2 * np.pi), -1.0
        P = wavelength / (na * np.hypot(kx[i], ky[i]) * pixel)
        frames = slice(i * steps, (i + 1) * steps)
        steps_phi = phi[i, frames] if phi is not None else 2 * np.pi * np.arange(steps) / steps
        # Folding negates the wave vector and with it every phase.
        centred = sign * (steps_phi - p[i])
        phase.extend(np.mod(centred - _centre_term(a, P, height, width), 2 * np.pi))
        angle.append(a)
        period.append(P)
    return np.array(angle), np.array(period), np.array(phase)


def _give_pattern(proc, kx, ky, phi):
    """Make the tool's calibration use the true carriers and phases: its refinement keeps only
    its amplitude (modulation) estimate, its per-frame phase measurement returns ours."""
    refine, find_phase = proc._refineCarrier, proc.find_phase

    def band_of(kx_in, ky_in):
        return int(np.argmin(np.hypot(kx - float(np.ravel(kx_in)[0]),
                                      ky - float(np.ravel(ky_in)[0]))))

    def given_refine(band0, band1, kx_in, ky_in):
        i = band_of(kx_in, ky_in)
        _, _, _, ampl = refine(band0, band1, kx[i], ky[i])
        # Once the per-frame phases are in (usePhases), nothing is left for p; without them
        # the tool steps the phases by 2 pi / steps from p's negative.
        steps = phi.shape[1] // phi.shape[0]
        return kx[i], ky[i], 0.0 if proc.phi is not None else -phi[i, i * steps], ampl

    def given_phase(kx_in, ky_in, img, **kw):
        i = band_of(kx_in, ky_in)
        _, ampl = find_phase(kx_in, ky_in, img, **kw)
        return phi[i].astype(np.float32), ampl

    proc._refineCarrier, proc.find_phase = given_refine, given_phase
    proc.kx = kx.reshape(-1, 1).astype(np.single)
    proc.ky = ky.reshape(-1, 1).astype(np.single)


def reconstruct(frames, na, wavelength, pixel, n=1.33, mode='estimate', pattern=None,
                wiener=None, angles=3, phases=3, **settings):
    """frames: H x W x F (our layout). Returns a dict for OUT.mat. Keyword arguments named in
    SETTINGS override the tool's settings."""
    frames = np.asarray(frames, float)
    height, width, count = frames.shape
    if count != angles * phases:
        raise ValueError(f'expected {angles * phases} frames, got {count}')
    if height % 2 or width % 2:
        raise ValueError('the tool needs an even number of rows and columns')
    stack = np.ascontiguousarray(np.transpose(frames, (2, 0, 1)), dtype=np.float32)
    proc = load_processor_class()(angleSteps=angles, phaseSteps=phases)
    unknown = set(settings) - set(SETTINGS)
    if unknown:
        raise ValueError(f'unknown settings {sorted(unknown)}')
    settings = dict(SETTINGS, **settings)
    if wiener is not None:
        settings['w'] = float(wiener)
    proc.debug, proc.magnification = False, 1.0
    for key, value in settings.items():
        setattr(proc, key, value)
    # Lengths in camera pixels: the tool builds coordinates with np.arange(-N/2*dx, N/2*dx, dx),
    # which for some N and dx (96 rows of 0.1 um) rounds to N + 1 points and fails; dx = 1 is
    # exact. Only wavelength / pixel enters its optics, so the reconstruction is unchanged.
    proc.NA, proc.n = float(na), float(n)
    proc.wavelength, proc.pixelsize = float(wavelength) / float(pixel), 1.0

    find_carrier = True
    if mode == 'given':
        if pattern is None:
            raise ValueError("mode 'given' needs a pattern")
        _give_pattern(proc, *pattern_to_tool(pattern, (height, width), na, wavelength, pixel))
        find_carrier = False
    elif mode != 'estimate':
        raise ValueError(f"mode must be 'estimate' or 'given', not {mode!r}")

    start = time.perf_counter()
    proc.calibrate(stack, find_carrier)
    calibrated = time.perf_counter()
    image = proc.reconstruct_rfftw(stack)
    done = time.perf_counter()

    # The tool's 2x grid already puts fine pixel (0, 0) on camera pixel (0, 0) (zero padding of
    # the spectrum, no flip or transpose), which is our grid: no resampling needed.
    image = np.asarray(image, float)
    angle, period, phase = tool_to_pattern(proc.kx, proc.ky, proc.p, proc.phi, (height, width),
                                           na, wavelength, pixel, phases)
    estimate = dict(angle=angle, period=period, phase=phase,
                    modulation=np.ravel(proc.ampl).astype(float),
                    kx=np.ravel(proc.kx).astype(float), ky=np.ravel(proc.ky).astype(float),
                    p=np.ravel(proc.p).astype(float),
                    phi=np.zeros((0, 0)) if proc.phi is None else np.asarray(proc.phi, float))
    return dict(image=image, seconds=done - start, calibrationSeconds=calibrated - start,
                reconstructionSeconds=done - calibrated, estimate=estimate, mode=mode,
                settings={k: float(v) for k, v in settings.items()})


def _field(record, name):
    return getattr(record, name) if hasattr(record, name) else record[name]


def main(argv):
    if argv[1:] == ['--check']:
        print('importable:', load_processor_class().__name__)
        return 0
    if len(argv) != 3:
        print(__doc__)
        return 2
    d = scipy.io.loadmat(argv[1], squeeze_me=True, struct_as_record=False)
    pattern = None
    if 'pattern' in d:
        pattern = {k: _field(d['pattern'], k) for k in ('angle', 'period', 'phase')}
    out = reconstruct(d['frames'], float(d['na']), float(d['wavelength']), float(d['pixelSize']),
                      n=float(d.get('n', 1.33)), mode=str(d.get('mode', 'estimate')),
                      pattern=pattern, wiener=d.get('wiener'),
                      **({'beta': float(d['beta'])} if 'beta' in d else {}))
    scipy.io.savemat(argv[2], out, do_compression=True)
    e = out['estimate']
    print(f"{out['mode']}: {out['seconds']:.3f} s (calibration {out['calibrationSeconds']:.3f} s), "
          f"angles {np.round(e['angle'], 4)}, periods {np.round(e['period'], 4)}, "
          f"modulation {np.round(e['modulation'], 3)}")
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
