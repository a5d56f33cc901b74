function rows = three_beam_study(varargin)
%THREE_BEAM_STUDY Resolution of 3-beam reconstructions with and without the second harmonic.
%   THREE_BEAM_STUDY() simulates camera-sampled filament stacks (ACQUISITION_FILAMENTS: 100 nm
%   pixels, NA 1.2, 520 nm, Poisson noise) under two illuminations whose finest period sits at
%   0.9 of the cut-off 2 NA / lambda:
%     3-beam  3 orientations x 5 phases, 1 + a1 cos(t) + a2 cos(2t + psi), the first harmonic
%             at 0.45 of the cut-off and the second at 0.9 (a1 0.8, a2 0.5, psi per
%             orientation, both adjustable);
%     2-beam  3 orientations x 3 phases, 1 + cos(t) at 0.9 of the cut-off.
%   It reconstructs each with korvex_reconstruct's defaults on the grid 'upsample' times finer
%   than the camera's (3: on the 2x grid the sparse filaments' FRC stays above 0.5 up to the
%   grid's own limit, 100 nm, and cannot tell the reconstructions apart), the pattern
%   estimated from the frames: the 3-beam stack with 'orders' 'auto' and 'orders' 1, the
%   2-beam stack with 'auto'. It prints one markdown row per reconstruction:
%     resolution   Fourier ring correlation with the truth, 0.5 threshold (nm)
%     correlation  Pearson correlation with the truth on the same grid
%   and, for the 3-beam estimates, the second harmonic's depth, psi and MCNR per orientation
%   against the drawn values. The drawn depths are also given times the camera pixel's
%   attenuation at the carrier, for comparison with korvex_pattern_bench's figures.
%   Options: 'size' (camera pixels) [256], 'photons' [1000], 'seeds' [1 2], 'upsample' [3],
%   'depths' (the 3-beam a1 and a2) [0.8 0.5]; [4/3 2/3] is three beams of equal strength,
%   'iterations' [] (korvex_reconstruct's default), 'outOfFocus' [] (korvex_reconstruct's
%   default; true or false to set the out-of-focus model), 'spacing' [400] (camera pixels per
%   filament; 100 is a network four times as dense, whose FRC follows what the bands carry
%   rather than how far the priors extrapolate thin isolated filaments).
options = struct('size', 256, 'photons', 1000, 'seeds', [1, 2], 'upsample', 3, ...
                 'depths', [0.8, 0.5], 'iterations', [], 'spacing', 400, 'outOfFocus', []);
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
here = fileparts(mfilename('fullpath'));
repository = fileparts(fileparts(here));
addpath(fullfile(repository, 'matlab'));
addpath(fullfile(repository, 'build', 'host', 'matlab'));

n = options.size;
cutoff = 2 * 1.2 / 0.52;                   % cycles per um
finest = 1 / (0.9 * cutoff) / 0.1;         % camera pixels
angles = 0.3 + [0, pi / 3, 2 * pi / 3];
three = struct('angle', angles, 'period', 2 * finest, ...
               'phase', repmat((0:4) * 2 * pi / 5, 1, 3), 'modulation', options.depths(1), ...
               'modulation2', options.depths(2), 'phase2', [0.4, -1.1, 2.0]);
two = struct('angle', angles, 'period', finest, ...
             'phase', repmat((0:2) * 2 * pi / 3, 1, 3), 'modulation', 1);

rows = struct('seed', {}, 'stack', {}, 'orders', {}, 'resolution', {}, 'correlation', {}, ...
              'modulation2', {}, 'phase2', {}, 'mcnr2', {}, 'mcnr', {}, 'seconds', {}, 'share', {});
fprintf('finest period %.1f nm (%.3f camera pixels), cut-off period %.1f nm\n', ...
        1000 * finest * 0.1, finest, 1000 / cutoff);
fprintf(['| seed | stack | orders | resolution (nm) | correlation | MCNR | a1 | a2 | ' ...
         'psi (rad) | MCNR2 | seconds | out-of-focus share |\n' ...
         '|---:|---|---|---:|---:|---|---|---|---|---|---:|---:|\n']);
for seed = options.seeds
  s = options.upsample;
  a = acquisition_filaments(n, n, options.photons, seed, 100 + seed, three, s, options.spacing);
  b = acquisition_filaments(n, n, options.photons, seed, 100 + seed, two, s, options.spacing);
  rows(end + 1) = reconstruct(seed, '3-beam', a, 5, 'auto', s, options);
  rows(end + 1) = reconstruct(seed, '3-beam', a, 5, 1, s, options);
  rows(end + 1) = reconstruct(seed, '2-beam', b, 3, 'auto', s, options);
end
korvex_reconstruct('release');

fprintf('\niterations: %s, camera pixels per filament: %g\n', mat2str(options.iterations), ...
        options.spacing);
fprintf('drawn 3-beam pattern: a1 %.2f, a2 %.2f, psi %s rad\n', three.modulation, ...
        three.modulation2, mat2str(three.phase2, 3));
fprintf('camera pixel attenuation at k: %s, at 2k: %s\n', ...
        mat2str(pixel_attenuation(angles, three.period), 3), ...
        mat2str(pixel_attenuation(angles, three.period / 2), 3));
fprintf('expected a2 after the pixel: %s\n', ...
        mat2str(three.modulation2 * pixel_attenuation(angles, three.period / 2), 3));
for seed = options.seeds
  auto = rows([rows.seed] == seed & strcmp({rows.stack}, '3-beam') & ...
              strcmp({rows.orders}, 'auto'));
  one = rows([rows.seed] == seed & strcmp({rows.stack}, '3-beam') & strcmp({rows.orders}, '1'));
  wide = rows([rows.seed] == seed & strcmp({rows.stack}, '2-beam'));
  fprintf(['seed %d: auto finer than orders 1 by %.1f%%; auto against 2-beam %+.1f%%; ' ...
           'psi error %s rad\n'], seed, 100 * (1 - auto.resolution / one.resolution), ...
          100 * (auto.resolution / wide.resolution - 1), ...
          mat2str(angle(exp(1i * (auto.phase2 - three.phase2))), 3));
end
end

function row = reconstruct(seed, name, stack, phases, orders, upsample, options)
extra = {};
if ~isempty(options.iterations)
  extra = {'iterations', options.iterations};
end
if ~isempty(options.outOfFocus)
  extra = [extra, {'outOfFocus', options.outOfFocus}];
end
[image, info] = korvex_reconstruct(single(stack.frames), 'na', stack.na, ...
                                   'wavelength', stack.wavelength, ...
                                   'pixelSize', stack.pixelSize, 'phases', phases, ...
                                   'orders', orders, 'upsample', upsample, extra{:});
image = double(image);
p = info.pattern;
row = struct('seed', seed, 'stack', name, 'orders', num2str(orders), ...
             'resolution', 1000 * korvex_frc(image, stack.truth2, stack.pixelSize / upsample), ...
             'correlation', correlation(image, stack.truth2), ...
             'modulation2', p.modulation2, 'phase2', p.phase2, 'mcnr2', p.mcnr2, ...
             'mcnr', p.mcnr, 'seconds', info.seconds.total, 'share', info.outOfFocusShare);
fprintf('| %d | %s | %s | %.1f | %.3f | %s | %s | %s | %s | %s | %.1f | %.3f |\n', seed, name, ...
        row.orders, row.resolution, row.correlation, mat2str(p.mcnr, 3), ...
        mat2str(p.modulation, 2), ...
        mat2str(p.modulation2, 2), mat2str(p.phase2, 2), mat2str(p.mcnr2, 3), row.seconds, ...
        row.share);
end

function g = pixel_attenuation(angles, period)
% A square camera pixel's transfer at the carrier: sinc along x times sinc along y.
fx = cos(angles) / period;
fy = sin(angles) / period;
g = sinc_(fx) .* sinc_(fy);
end

function s = sinc_(x)
s = ones(size(x));
k = x ~= 0;
s(k) = sin(pi * x(k)) ./ (pi * x(k));
end

function c = correlation(a, b)
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
c = (a' * b) / sqrt((a' * a) * (b' * b));
end
