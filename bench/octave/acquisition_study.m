function rows = acquisition_study(varargin)
%ACQUISITION_STUDY korvex_reconstruct's settings against resolution and correlation.
%   ACQUISITION_STUDY() simulates camera-sampled filament stacks (ACQUISITION_FILAMENTS,
%   256 x 256 camera pixels of 100 nm, NA 1.2, 520 nm) at 100, 300, 1000 and 3000 photons and
%   reconstructs each on the 2x grid with the true pattern over a grid of iterations, lambda
%   and alpha. It prints one row per run: resolution by Fourier ring correlation with the
%   truth (0.5 threshold, nm), Pearson correlation with the truth, and the RMS of the
%   reconstruction outside the specimen relative to its RMS inside (noise and ringing where
%   there should be nothing). Camera-grid runs and the widefield image are rows too.
%   Options: 'size' (camera pixels, default 256), 'photons' (default [100 300 1000 3000]),
%   'iterations', 'lambda', 'alpha' (lists), 'seed' (default 1).
options = struct('size', 256, 'photons', [100, 300, 1000, 3000], ...
                 'iterations', [10, 20, 40, 80], 'lambda', [0, 0.003, 0.01, 0.03], ...
                 'alpha', [0.01, 0.05, 0.2], 'seed', 1);
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
n = options.size;
rows = struct('photons', {}, 'grid', {}, 'iterations', {}, 'lambda', {}, 'alpha', {}, ...
              'resolution', {}, 'correlation', {}, 'background', {});
fprintf('| photons | grid | iterations | lambda | alpha | FRC resolution (nm) | correlation | off-specimen RMS |\n');
fprintf('|---:|---|---:|---:|---:|---:|---:|---:|\n');
for photons = options.photons
  s = acquisition_filaments(n, n, photons, options.seed);
  optics = {'na', s.na, 'wavelength', s.wavelength, 'pixelSize', s.pixelSize, ...
            'pattern', s.pattern, 'threshold', 0};
  widefield = mean(s.frames, 3);
  rows(end + 1) = score(photons, 'widefield, camera', 0, NaN, NaN, widefield, s.truth1, ...
                        s.pixelSize);
  [image, info] = korvex_reconstruct(single(s.frames), optics{:}, 'upsample', 1);
  rows(end + 1) = score(photons, 'camera', info.iterations, 0.01, 0.05, image, s.truth1, ...
                        s.pixelSize);
  for iterations = options.iterations
    for lambda = options.lambda
      [image, info] = korvex_reconstruct(single(s.frames), optics{:}, ...
                                         'iterations', iterations, 'lambda', lambda);
      rows(end + 1) = score(photons, '2x', info.iterations, lambda, 0.05, image, ...
                            s.truth2, s.pixelSize / 2);
    end
  end
  for alpha = options.alpha(options.alpha ~= 0.05)
    [image, info] = korvex_reconstruct(single(s.frames), optics{:}, 'iterations', 40, ...
                                       'lambda', 0.01, 'alpha', alpha);
    rows(end + 1) = score(photons, '2x', info.iterations, 0.01, alpha, image, s.truth2, ...
                          s.pixelSize / 2);
  end
end
korvex_reconstruct('release');
end

function row = score(photons, grid, iterations, lambda, alpha, image, truth, pixelSize)
image = double(image);
row = struct('photons', photons, 'grid', grid, 'iterations', iterations, 'lambda', lambda, ...
             'alpha', alpha, 'resolution', 1000 * korvex_frc(image, truth, pixelSize), ...
             'correlation', correlation(image, truth), ...
             'background', off_specimen(image, truth));
fprintf('| %d | %s | %d | %g | %g | %.0f | %.3f | %.3f |\n', row.photons, row.grid, ...
        row.iterations, row.lambda, row.alpha, row.resolution, row.correlation, ...
        row.background);
end

function c = correlation(a, b)
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
c = (a' * b) / sqrt((a' * a) * (b' * b));
end

function r = off_specimen(image, truth)
% After the least-squares scale to the truth: RMS where the specimen is empty over RMS of
% the truth where it is not.
s = (image(:)' * truth(:)) / (image(:)' * image(:));
empty = truth < 0.01 * max(truth(:));
r = sqrt(mean((s * image(empty)).^2)) / sqrt(mean(truth(~empty).^2));
end
