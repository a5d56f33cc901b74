function [frames, expected, truth] = korvex_simulate_camera(specimen, factor, pattern, varargin)
%KORVEX_SIMULATE_CAMERA Raw SIM frames as a camera records them, from a finely drawn specimen.
%   FRAMES = KORVEX_SIMULATE_CAMERA(SPECIMEN, FACTOR, PATTERN, 'na', NA, 'wavelength', LAMBDA,
%   'pixelSize', P) images SPECIMEN, drawn on a grid FACTOR (a whole number >= 2) times finer
%   than the camera's (FACTOR H x FACTOR W), under the illumination PATTERN through the OTF of
%   KORVEX_OTF, and lets every camera pixel of side P integrate its FACTOR x FACTOR block. The
%   camera grid then samples the widefield image as a real camera does, near Nyquist when P is
%   about LAMBDA / (4 NA), which is the input KORVEX_RECONSTRUCT expects. FRAMES is H x W x F,
%   double, orientation-major.
%
%   PATTERN has fields angle (1 x A), period (1 x A or scalar, camera pixels), phase (1 x F)
%   and modulation (1 x A or scalar) in KORVEX_MASKS' convention on the camera grid: x and y
%   count camera pixels from the centre of camera pixel (1,1). 3-beam illumination adds the
%   fields modulation2 and phase2 (1 x A or scalar): the second harmonic's depth and phase
%   constant, 1 + modulation cos(t) + modulation2 cos(2 t + phase2).
%
%   Noise and scale as KORVEX_SIMULATE: 'photons' expected at the brightest noise-free pixel
%   [1000] (Inf: no noise, no scaling), 'background' photons per pixel [0], 'seed' [none].
%
%   [FRAMES, EXPECTED, TRUTH] = KORVEX_SIMULATE_CAMERA(..., 'upsample', S) also returns the
%   noise-free expected counts and the specimen averaged over the pixels of the grid S times
%   finer than the camera's [S = 2], aligned as KORVEX_RECONSTRUCT's output with 'upsample' S
%   (its pixel (1,1) centred on camera pixel (1,1)): the truth to score a reconstruction with.
%   FACTOR / S must be a whole number of the parity of FACTOR.
%
%   Example:
%     specimen = korvex_test_object(1024);
%     p = struct('angle', [0 pi/3 2*pi/3], 'period', 2.55, 'phase', repmat([0 2 4]*pi/3, 1, 3), ...
%                'modulation', 1);
%     [frames, ~, truth] = korvex_simulate_camera(specimen, 4, p, 'na', 1.2, ...
%                                                 'wavelength', 0.52, 'pixelSize', 0.1);
%
%   See also KORVEX_RECONSTRUCT, KORVEX_SIMULATE, KORVEX_OTF.
caller = 'korvex_simulate_camera';
if nargin < 3
  error('korvex:badParameter', '%s: expects specimen, factor, pattern and the optics.', caller);
end
options = struct('na', [], 'wavelength', [], 'pixelsize', [], 'photons', 1000, ...
                 'background', 0, 'seed', [], 'upsample', 2);
[names, values] = korvex_option_pairs(caller, varargin);
for i = 1:numel(names)
  if ~isfield(options, names{i})
    error('korvex:badParameter', ['%s: unknown option ''%s'' (known: na, wavelength, ' ...
          'pixelSize, photons, background, seed, upsample).'], caller, names{i});
  end
  options.(names{i}) = values{i};
end
korvex_check_scalar(caller, 'factor', factor, 'count');
korvex_check_scalar(caller, 'upsample', options.upsample, 'count');
for name = {'na', 'wavelength', 'pixelsize'}
  if isempty(options.(name{1}))
    error('korvex:badParameter', '%s: the option ''%s'' is required.', caller, name{1});
  end
  korvex_check_scalar(caller, name{1}, options.(name{1}), 'positive');
end
block = factor / options.upsample;
if factor < 2 || block ~= round(block) || mod(factor - block, 2) ~= 0
  error('korvex:badParameter', ['%s: factor (%g) must be at least 2 and a whole multiple ' ...
        'of upsample (%g) of its parity.'], caller, factor, options.upsample);
end
[fineHeight, fineWidth] = size(specimen);
if mod(fineHeight, factor) ~= 0 || mod(fineWidth, factor) ~= 0
  error('korvex:badSize', '%s: specimen (%d x %d) must be factor (%d) times the camera size.', ...
        caller, fineHeight, fineWidth, factor);
end

angles = pattern.angle;
period = pattern.period .* ones(size(angles));
modulation = pattern.modulation .* ones(size(angles));
modulation2 = zeros(size(angles));
phase2 = zeros(size(angles));
if isfield(pattern, 'modulation2'), modulation2 = pattern.modulation2 .* ones(size(angles)); end
if isfield(pattern, 'phase2'), phase2 = pattern.phase2 .* ones(size(angles)); end
phasesPerAngle = numel(pattern.phase) / numel(angles);
% Fine-grid coordinates in camera pixels, from the centre of camera pixel (1,1).
centre = (factor - 1) / 2;
[x, y] = meshgrid(((0:fineWidth - 1) - centre) / factor, ((0:fineHeight - 1) - centre) / factor);
otf = ifftshift(korvex_otf(fineHeight, fineWidth, options.na, options.wavelength, ...
                           options.pixelsize / factor));
expected = zeros(fineHeight / factor, fineWidth / factor, numel(pattern.phase));
for f = 1:numel(pattern.phase)
  a = ceil(f / phasesPerAngle);
  t = 2 * pi * (cos(angles(a)) * x + sin(angles(a)) * y) / period(a) + pattern.phase(f);
  mask = 1 + modulation(a) * cos(t) + modulation2(a) * cos(2 * t + phase2(a));
  expected(:, :, f) = bin(real(ifft2(otf .* fft2(mask .* double(specimen)))), factor);
end
% Rounding in the transforms leaves tiny negative values where the image is dark.
expected = max(expected, 0);
if isfinite(options.photons)
  expected = expected * (options.photons / max(expected(:)));
end
expected = expected + options.background;
frames = expected;
if isfinite(options.photons)
  frames = korvex_poisson(expected, options.seed);
end
if nargout > 2
  shift = (factor - block) / 2;
  truth = bin(circshift(double(specimen), [-shift, -shift]), block);
end
end

function out = bin(image, q)
% Mean over q x q blocks.
[h, w] = size(image);
out = reshape(sum(reshape(image, q, h / q, w), 1), h / q, w);
out = reshape(sum(reshape(out', q, w / q, h / q), 1), w / q, h / q)' / q^2;
end
