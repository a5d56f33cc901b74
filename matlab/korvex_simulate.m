function [frames, expected] = korvex_simulate(truth, masks, otf, varargin)
%KORVEX_SIMULATE Raw structured-illumination frames from a ground-truth image.
%   FRAMES = KORVEX_SIMULATE(TRUTH, MASKS, OTF) images the H x W ground truth TRUTH under each
%   of the H x W x F illumination patterns MASKS through the centred H x W OTF (as made by
%   KORVEX_OTF) with the forward model that KorvexCUDA inverts,
%       y_j = real(ifft2(ifftshift(OTF) .* fft2(MASKS(:,:,j) .* TRUTH))),
%   and returns the H x W x F stack of camera frames in the frame order of MASKS, as double.
%
%   By default the frames are Poisson photon counts: the noise-free stack is scaled so that
%   its brightest pixel expects 1000 photons, then sampled. Name/value options:
%     'photons'     expected photon count at the brightest noise-free pixel (default 1000);
%                   Inf returns the forward model itself, unscaled and without noise
%     'background'  expected photons added to every pixel before sampling (default 0);
%                   with 'photons' Inf it is added as it is
%     'seed'        seed of the random generator (default: none, the current generator state
%                   is used and advanced); with a seed the caller's generator state is
%                   restored afterwards, so results repeat exactly
%
%   [FRAMES, EXPECTED] = KORVEX_SIMULATE(...) also returns the noise-free expected counts
%   (the scaled forward model plus background) of which FRAMES is a sample.
%
%   Example:
%     otf = korvex_otf(256, 256, 1.0, 0.52, 0.065);
%     masks = korvex_masks(256, 256, 5);
%     frames = korvex_simulate(truth, masks, otf, 'photons', 500, 'background', 10, 'seed', 1);
%
%   See also KORVEX_OTF, KORVEX_MASKS, KORVEX_DEMO.

caller = 'korvex_simulate';
if nargin < 3
  error('korvex:badParameter', '%s: expects at least 3 inputs (truth, masks, otf).', caller);
end
options = parse_options(caller, varargin);
check_array(caller, 'truth', truth, 2);
check_array(caller, 'masks', masks, 3);
check_array(caller, 'otf', otf, 2);
[height, width] = size(truth);
if size(masks, 1) ~= height || size(masks, 2) ~= width
  error('korvex:badSize', '%s: masks must be %d x %d x F like truth (got %s).', caller, ...
        height, width, size_text(masks));
end
if ~isequal(size(otf), [height, width])
  error('korvex:badSize', '%s: otf must be %d x %d like truth (got %s).', caller, height, ...
        width, size_text(otf));
end

spectrumFilter = ifftshift(double(otf));
model = real(ifft2(bsxfun(@times, spectrumFilter, fft2(bsxfun(@times, double(masks), ...
                                                              double(truth))))));
if isinf(options.photons)
  expected = model + options.background;
  frames = expected;
  return;
end

peak = max(model(:));
if peak > 0
  model = model * (options.photons / peak);
end
% Rounding in the transforms leaves tiny negative values where the image is dark; a photon
% rate cannot be negative.
expected = max(model, 0) + options.background;

frames = korvex_poisson(expected, options.seed);
end

function options = parse_options(caller, args)
options = struct('photons', 1000, 'background', 0, 'seed', []);
[names, values] = korvex_option_pairs(caller, args);
for i = 1:numel(names)
  name = names{i};
  value = values{i};
  switch name
    case 'photons'
      korvex_check_scalar(caller, 'photons', value, 'positiveOrInf');
      options.photons = double(value);
    case 'background'
      korvex_check_scalar(caller, 'background', value, 'nonnegative');
      options.background = double(value);
    case 'seed'
      korvex_check_scalar(caller, 'seed', value, 'seed');
      options.seed = double(value);
    otherwise
      error('korvex:badParameter', ...
            '%s: unknown option ''%s'' (known: photons, background, seed).', caller, name);
  end
end
end

function check_array(caller, name, value, maxDims)
if ~isnumeric(value) || ~isreal(value) || isempty(value)
  error('korvex:badParameter', '%s: %s must be a non-empty real numeric array.', ...
        caller, name);
end
if ndims(value) > maxDims
  error('korvex:badSize', '%s: %s must have at most %d dimensions (got %s).', caller, ...
        name, maxDims, size_text(value));
end
if any(~isfinite(value(:)))
  error('korvex:badParameter', '%s: %s holds NaN or Inf values.', caller, name);
end
end

function text = size_text(value)
text = sprintf('%d x ', size(value));
text = text(1:end - 3);
end
