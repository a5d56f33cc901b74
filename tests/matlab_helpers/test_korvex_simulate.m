function test_korvex_simulate()
% The noise-free forward model, the Poisson statistics and seeding, and input checks.

% A uniform specimen under a cosine pattern images as 1 + T(f) cos(...): the blur keeps the
% zero frequency and scales the pattern by the OTF at the pattern frequency, which the
% analytic circular-pupil formula gives. Covers both axes and a non-square grid.
height = 48;
width = 64;
otf = korvex_otf(height, width, 0.5, 4, 1);       % cut-off 0.25 cycles/pixel
truth = ones(height, width);
r = (1 / 8) / 0.25;                               % period 8 pixels: half the cut-off
transfer = (2 / pi) * (acos(r) - r * sqrt(1 - r^2));
[x, y] = meshgrid(0:width - 1, 0:height - 1);
masks = cat(3, 1 + cos(2 * pi * x / 8), 1 + cos(2 * pi * y / 8 + 1), ones(height, width));
frames = korvex_simulate(truth, masks, otf, 'photons', Inf, 'background', 3);
expected = cat(3, 1 + transfer * cos(2 * pi * x / 8), 1 + transfer * cos(2 * pi * y / 8 + 1), ...
               ones(height, width)) + 3;
check(isequal(size(frames), [height, width, 3]), 'one frame per mask');
check(max(abs(frames(:) - expected(:))) < 1e-12, 'noise-free forward model with background');

% A point source images as the point spread function centred on it: non-negative, peaked
% at the source and summing to the OTF's zero-frequency value (1).
truth = zeros(height, width);
truth(20, 30) = 1;
frame = korvex_simulate(truth, ones(height, width), otf, 'photons', Inf);
[~, peak] = max(frame(:));
[pr, pc] = ind2sub(size(frame), peak);
check(isequal([pr, pc], [20, 30]), 'point image peaks at the source');
check(abs(sum(frame(:)) - 1) < 1e-12 && min(frame(:)) > -1e-12, 'point image is the PSF');

% Photon counts: whole numbers whose mean and variance match the expected counts, on both
% sides of the sampler's switch from exact draws to the normal approximation.
flat = ones(64, 64);
for photons = [4, 200]
  [counts, mean_counts] = korvex_simulate(flat, ones(64, 64, 4), ones(64, 64), ...
                                          'photons', photons, 'seed', 7);
  check(all(counts(:) == round(counts(:))) && all(counts(:) >= 0), 'counts are whole');
  check(max(abs(mean_counts(:) - photons)) < 1e-9, 'expected counts scaled to photons');
  n = numel(counts);
  check(abs(mean(counts(:)) - photons) < 4 * sqrt(photons / n), ...
        sprintf('mean of Poisson(%g)', photons));
  check(abs(var(counts(:)) / photons - 1) < 0.05, sprintf('variance of Poisson(%g)', photons));
end

% Seeding repeats exactly and leaves the caller's random stream where it was.
truth = korvex_test_object(32);
masks = korvex_masks(32, 32, 4);
otf = korvex_otf(32, 32, 1, 0.52, 0.065);
rng(123, 'twister');
first = korvex_simulate(truth, masks, otf, 'seed', 5, 'background', 2);
after = rand();
rng(123, 'twister');
untouched = rand();
second = korvex_simulate(truth, masks, otf, 'seed', 5, 'background', 2);
other = korvex_simulate(truth, masks, otf, 'seed', 6, 'background', 2);
check(isequal(first, second), 'same seed, same frames');
check(~isequal(first, other), 'another seed, other frames');
check(after == untouched, 'caller''s generator state restored');

bad = {
  'masks', @() korvex_simulate(ones(8), ones(8, 9, 2), ones(8));
  'otf', @() korvex_simulate(ones(8), ones(8, 8, 2), ones(8, 9));
  'truth', @() korvex_simulate([1, NaN; 1, 1], ones(2, 2, 2), ones(2));
  'photons', @() korvex_simulate(ones(8), ones(8, 8), ones(8), 'photons', -1);
  'background', @() korvex_simulate(ones(8), ones(8, 8), ones(8), 'background', NaN);
  'seed', @() korvex_simulate(ones(8), ones(8, 8), ones(8), 'seed', 1.5);
  'unknown option', @() korvex_simulate(ones(8), ones(8, 8), ones(8), 'gain', 2);
};
for i = 1:size(bad, 1)
  korvex_expect_error(bad{i, 2}, bad{i, 1}, 'match', 'substring', ...
                      'label', sprintf('bad input %d', i));
end

% 3-beam camera frames of a uniform specimen: the second harmonic adds a cosine at twice the
% first's frequency whose phase, at the centre of camera pixel (1,1), is 2 phase + phase2.
optics = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1, 'photons', Inf};
flat = struct('angle', 0, 'period', 8, 'phase', [0, 1, 2], 'modulation', 0);
beam3 = flat;
beam3.modulation2 = 0.5;
beam3.phase2 = 0.7;
only = korvex_simulate_camera(ones(128), 4, beam3, optics{:}) - ...
       korvex_simulate_camera(ones(128), 4, flat, optics{:});
for f = 1:3
  spectrum = fft2(only(:, :, f));
  [~, peak] = max(abs(spectrum(1, 1:16)));
  check(peak == 9, sprintf('frame %d: the second harmonic at 8 cycles (bin %d)', f, peak - 1));
  phaseError = angle(spectrum(1, 9) * exp(-1i * (2 * beam3.phase(f) + beam3.phase2)));
  check(abs(phaseError) < 1e-6, sprintf('frame %d: second harmonic phase off %g', f, phaseError));
end
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_simulate: %s', label);
end
end
