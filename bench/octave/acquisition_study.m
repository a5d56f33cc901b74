function rows = acquisition_study(varargin)
%ACQUISITION_STUDY korvex_reconstruct's settings against resolution, correlation and noise.
%   ACQUISITION_STUDY() simulates camera-sampled filament stacks (ACQUISITION_FILAMENTS,
%   256 x 256 camera pixels of 100 nm, NA 1.2, 520 nm) at 100, 300, 1000 and 3000 photons,
%   two noise draws of each, and reconstructs them on the 2x grid with the true pattern over a
%   grid of iterations, lambda and alpha. It prints one markdown row per setting:
%     resolution   Fourier ring correlation with the truth, 0.5 threshold (nm)
%     correlation  Pearson correlation with the truth on the 2x grid
%     noise        RMS difference of the two draws' reconstructions over sqrt(2), relative to
%                  the RMS of their mean (what the noise leaves in the image)
%   The widefield image and the camera-grid reconstruction ('upsample' 1) are rows too,
%   Fourier-interpolated to the 2x grid for the correlation, so that all rows compare with the
%   same truth; their resolution is measured on the camera grid.
%   Options: 'size' (camera pixels) [256], 'photons' [100 300 1000 3000], 'iterations'
%   [10 20 30 40 80], 'lambda' [0 0.003 0.01 0.03], 'alpha' [0.01 0.05 0.2], 'seed' [1].
options = struct('size', 256, 'photons', [100, 300, 1000, 3000], ...
                 'iterations', [10, 20, 30, 40, 80], 'lambda', [0, 0.003, 0.01, 0.03], ...
                 'alpha', [0.01, 0.05, 0.2], 'seed', 1);
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
n = options.size;
rows = struct('photons', {}, 'grid', {}, 'iterations', {}, 'lambda', {}, 'alpha', {}, ...
              'resolution', {}, 'correlation', {}, 'noise', {});
fprintf(['| photons | grid | iterations | lambda | alpha | resolution (nm) | correlation | ' ...
         'noise |\n']);
fprintf('|---:|---|---:|---:|---:|---:|---:|---:|\n');
for photons = options.photons
  a = acquisition_filaments(n, n, photons, options.seed, 100 + options.seed);
  b = acquisition_filaments(n, n, photons, options.seed, 200 + options.seed);
  common = {'na', a.na, 'wavelength', a.wavelength, 'pixelSize', a.pixelSize, ...
            'pattern', a.pattern};
  run = @(stack, varargin) double(korvex_reconstruct(single(stack.frames), common{:}, ...
                                                     varargin{:}));
  rows(end + 1) = camera_row(photons, 'widefield', 0, mean(a.frames, 3), ...
                             mean(b.frames, 3), a);
  [image, info] = korvex_reconstruct(single(a.frames), common{:}, 'upsample', 1);
  rows(end + 1) = camera_row(photons, 'camera', info.iterations, double(image), ...
                             run(b, 'upsample', 1), a);
  for iterations = options.iterations
    for lambda = options.lambda
      rows(end + 1) = fine_row(photons, iterations, lambda, 0.05, a, ...
                               run(a, 'iterations', iterations, 'lambda', lambda), ...
                               run(b, 'iterations', iterations, 'lambda', lambda));
    end
  end
  for alpha = options.alpha(options.alpha ~= 0.05)
    rows(end + 1) = fine_row(photons, 40, 0.01, alpha, a, ...
                             run(a, 'iterations', 40, 'lambda', 0.01, 'alpha', alpha), ...
                             run(b, 'iterations', 40, 'lambda', 0.01, 'alpha', alpha));
  end
end
korvex_reconstruct('release');
end

function row = fine_row(photons, iterations, lambda, alpha, stack, first, second)
row = struct('photons', photons, 'grid', '2x', 'iterations', iterations, 'lambda', lambda, ...
             'alpha', alpha, ...
             'resolution', 1000 * korvex_frc(first, stack.truth2, stack.pixelSize / 2), ...
             'correlation', correlation(first, stack.truth2), 'noise', noise(first, second));
print_row(row);
end

function row = camera_row(photons, grid, iterations, first, second, stack)
fine = korvex_upsample(first, 2);
row = struct('photons', photons, 'grid', grid, 'iterations', iterations, 'lambda', NaN, ...
             'alpha', NaN, ...
             'resolution', 1000 * korvex_frc(first, stack.truth1, stack.pixelSize), ...
             'correlation', correlation(fine, stack.truth2), 'noise', noise(first, second));
print_row(row);
end

function print_row(row)
settings = '| | |';
if isfinite(row.lambda)
  settings = sprintf('| %g | %g |', row.lambda, row.alpha);
end
fprintf('| %d | %s | %d %s %.0f | %.3f | %.3f |\n', row.photons, row.grid, row.iterations, ...
        settings, row.resolution, row.correlation, row.noise);
end

function c = correlation(a, b)
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
c = (a' * b) / sqrt((a' * a) * (b' * b));
end

function r = noise(a, b)
m = (a(:) + b(:)) / 2;
r = sqrt(mean((a(:) - b(:)).^2) / 2) / sqrt(mean((m - mean(m)).^2));
end
