function stack = acquisition_filaments(height, width, photons, seed, noiseSeed, pattern, ...
                                     upsample, spacing)
%ACQUISITION_FILAMENTS Camera-sampled SIM stack of a filament specimen, with its truth.
%   STACK = ACQUISITION_FILAMENTS(H, W, PHOTONS, SEED[, NOISESEED]) simulates a camera of
%   H x W pixels of 0.1 um behind an NA 1.2 water objective at 520 nm emission (pixel about
%   lambda/(4 NA)), 3 orientations x 3 phases of period 0.255 um (0.85 of the OTF cut-off),
%   Poisson noise with PHOTONS expected at the brightest pixel (Inf: none), background already
%   subtracted. SEED draws the specimen, NOISESEED (default SEED + 1) the noise. The specimen
%   is thin curved filaments drawn on a grid 4 times finer than the camera's, imaged by
%   KORVEX_SIMULATE_CAMERA (each camera pixel integrates its 4 x 4 block).
%
%   ACQUISITION_FILAMENTS(..., NOISESEED, PATTERN) lights the specimen with PATTERN instead
%   (KORVEX_SIMULATE_CAMERA's fields, camera pixels; 3-beam patterns too). UPSAMPLE [2] gives
%   truth2 on the grid of korvex_reconstruct's output with that 'upsample'; the specimen is
%   then drawn 2 UPSAMPLE times finer than the camera. SPACING [400] is the camera pixels per
%   filament: 100 draws a network four times as dense.
%
%   STACK has fields frames (H x W x 9), pattern (camera pixels, korvex_masks' convention,
%   origin at the centre of camera pixel (1,1)), truth2 (2H x 2W: the specimen on the grid of
%   korvex_reconstruct's default output), truth1 (H x W, on the camera grid), na, wavelength,
%   pixelSize.
if nargin < 5 || isempty(noiseSeed)
  noiseSeed = seed + 1;
end
if nargin < 6 || isempty(pattern)
  pattern = acquisition_pattern();
end
if nargin < 7
  upsample = 2;
end
if nargin < 8 || isempty(spacing)
  spacing = 400;
end
q = 2 * upsample;
optics = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1};
saved = rng();
rng(seed, 'twister');
specimen = filaments(q * height, q * width, round(height * width / spacing));
rng(saved);
[frames, ~, truth2] = korvex_simulate_camera(specimen, q, pattern, optics{:}, ...
                                             'photons', photons, 'seed', noiseSeed, ...
                                             'upsample', upsample);
stack = struct('frames', frames, 'pattern', pattern, 'truth2', truth2, ...
               'truth1', block_mean(specimen, q), 'na', 1.2, 'wavelength', 0.52, ...
               'pixelSize', 0.1);
end

function out = block_mean(image, q)
% The specimen over camera pixels: q x q blocks, as korvex_simulate_camera bins with
% 'upsample' 1.
[h, w] = size(image);
out = reshape(sum(reshape(image, q, h / q, w), 1), h / q, w);
out = reshape(sum(reshape(out', q, w / q, h / q), 1), w / q, h / q)' / q^2;
end

function image = filaments(height, width, count)
% Smooth random curves, one fine pixel wide, of random brightness.
image = zeros(height, width);
for k = 1:count
  position = [rand * height, rand * width];
  direction = rand * 2 * pi;
  turn = 0;
  brightness = 0.5 + rand;
  for step = 1:round((0.3 + rand) * max(height, width))
    turn = 0.9 * turn + 0.02 * randn;
    direction = direction + turn;
    position = position + 0.5 * [sin(direction), cos(direction)];
    r = mod(floor(position(1)), height) + 1;
    c = mod(floor(position(2)), width) + 1;
    image(r, c) = image(r, c) + 0.5 * brightness;
  end
end
end
