function results = pattern_estimation_bench(varargin)
%PATTERN_ESTIMATION_BENCH How close korvex_estimate_patterns lands on korvex_simulate's data,
%   and what that costs the reconstruction.
%   For stacks made by korvex_simulate from korvex_test_object (optics of korvex_demo:
%   cut-off 0.25 cycles per pixel), at 256 x 256, 512 x 512 and an odd non-square size, with
%   periods 0.7 to 0.92 of the cut-off, random angles, phase steps off equal by up to 10
%   degrees, a depth of 0.5 to 1 per orientation and 300 to 3000 photons (background 10,
%   subtracted), it prints per stack: the wave-vector error (Fourier-grid bins), the largest
%   phase error (degrees), the largest depth error, the smallest MCNR, and the correlation
%   with the truth of KorvexCUDA's reconstruction (40 iterations, lambda 0.01, alpha 0.05,
%   single precision) with the true masks and with the estimated ones.
%
%   RESULTS = PATTERN_ESTIMATION_BENCH(...) returns the rows as a struct array.
%
%   Name/value options: 'mexdir' (folder of the MEX files) [newest build/*/matlab],
%   'reconstruct' (false skips the reconstructions) [true].
%
%   Run from the repository root:
%     octave-cli --eval "addpath('bench/octave'); pattern_estimation_bench"
%   The C++ twin on a second simulator (filaments and beads), with the timing, is
%   build/<backend>/bench/korvex_pattern_bench.

options = struct('mexdir', '', 'reconstruct', true);
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
here = fileparts(mfilename('fullpath'));
repository = fileparts(fileparts(here));
addpath(fullfile(repository, 'matlab'));
mexdir = options.mexdir;
if isempty(mexdir)
  found = dir(fullfile(repository, 'build', '*', 'matlab', 'korvex_estimate_patterns.mex'));
  if isempty(found)
    error('bench:noMex', 'no build/*/matlab/korvex_estimate_patterns.mex: build it first');
  end
  [~, newest] = max([found.datenum]);
  mexdir = found(newest).folder;
end
addpath(mexdir);
fprintf('pattern_estimation_bench: MEX files from %s\n', mexdir);

cutoff = 0.25;
cases = {
  % size        period / cut-off   photons
  [256, 256],   0.70,             300;
  [256, 256],   0.92,             3000;
  [512, 512],   0.80,             300;
  [512, 512],   0.92,             1000;
  [301, 437],   0.75,             3000;
  [301, 437],   0.88,             300;
};
fprintf(['%-9s %5s %7s | %8s %9s %9s %8s | %10s %10s %10s\n'], 'size', 'k/kc', 'photons', ...
        'k err px', 'phase deg', 'depth err', 'min MCNR', 'corr true', 'corr est', 'difference');
rng(7, 'twister');
results = struct([]);
for i = 1:size(cases, 1)
  sz = cases{i, 1};
  H = sz(1);
  W = sz(2);
  period = 1 / (cases{i, 2} * cutoff);
  angles = rand() * pi + (0:2) * pi / 3;
  periods = period * (1 + 0.002 * (2 * rand(1, 3) - 1));
  depths = 0.5 + 0.5 * rand(1, 3);
  phases = zeros(1, 9);
  for a = 1:3
    steps = (0:2) * 2 * pi / 3 + [0, (2 * rand(1, 2) - 1) * 10 * pi / 180];
    phases((a - 1) * 3 + (1:3)) = 2 * pi * rand() + steps;
  end
  otf = korvex_otf(H, W, 1.0, 0.52, 0.065);
  truth = korvex_test_object(H, W);
  masks = korvex_masks(H, W, periods, angles, phases, depths);
  frames = korvex_simulate(truth, masks, otf, 'photons', cases{i, 3}, 'background', 10, ...
                           'seed', i) - 10;
  [estimated, pattern] = korvex_estimate_patterns(single(frames), otf);

  % The truth in the estimate's convention: a wave vector in [0, pi), the opposite one with
  % negated phases being the same mask.
  flip = angles >= pi;
  angles(flip) = angles(flip) - pi;
  phases(repelem(flip, 3)) = -phases(repelem(flip, 3));
  k = @(a, p) [cos(a) ./ p * W; sin(a) ./ p * H];
  row.size = sz;
  row.waveVector = max(sqrt(sum((k(pattern.angle, pattern.period) - k(angles, periods)).^2, 1)));
  row.phase = max(abs(mod(pattern.phase - phases + pi, 2 * pi) - pi)) * 180 / pi;
  row.modulation = max(abs(pattern.modulation - depths));
  row.mcnr = min(pattern.mcnr);
  row.correlationTrue = NaN;
  row.correlationEstimated = NaN;
  if options.reconstruct
    run = @(m) double(KorvexCUDA(single(frames), single(m), single(otf), 40, 0, 0.01, 0.05));
    row.correlationTrue = correlation(run(masks), truth);
    row.correlationEstimated = correlation(run(estimated), truth);
    KorvexCUDA(0);
  end
  fprintf('%4dx%-4d %5.2f %7d | %8.4f %9.3f %9.4f %8.1f | %10.5f %10.5f %10.5f\n', H, W, ...
          cases{i, 2}, cases{i, 3}, row.waveVector, row.phase, row.modulation, row.mcnr, ...
          row.correlationTrue, row.correlationEstimated, ...
          row.correlationTrue - row.correlationEstimated);
  results = [results, row];  %#ok<AGROW>
end
fprintf(['worst: wave vector %.4f px (target 0.03), phase %.3f deg (3), depth %.4f (0.05), ' ...
         'correlation lost %.5f (0.005)\n'], max([results.waveVector]), max([results.phase]), ...
        max([results.modulation]), max([results.correlationTrue] - [results.correlationEstimated]));
if nargout == 0
  clear results;
end
end

function c = correlation(a, b)
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
c = (a' * b) / sqrt((a' * a) * (b' * b));
end
