function stack = acquisition_filaments(height, width, photons, seed, noiseSeed)
%ACQUISITION_FILAMENTS Camera-sampled SIM stack of a filament specimen, with its truth.
%   STACK = ACQUISITION_FILAMENTS(H, W, PHOTONS, SEED[, NOISESEED]) simulates a camera of H x W pixels of
%   0.1 um behind an NA 1.2 water objective at 520 nm emission (pixel about lambda/(4 NA)),
%   3 orientations x 3 phases of period 0.255 um (0.85 of the OTF cut-off), Poisson noise
%   with PHOTONS expected at the brightest pixel, background already subtracted. SEED draws
%   the specimen, NOISESEED (default SEED + 1) the noise.
%   The specimen is thin curved filaments drawn on a grid 4 times finer than the camera's;
%   the optics act on that grid and each camera pixel integrates its 4 x 4 block, so the
%   camera grid samples the widefield image near Nyquist as a real camera does.
%
%   STACK has fields frames (H x W x 9), pattern (camera pixels, korvex_masks' convention,
%   origin at the centre of camera pixel (1,1)), truth2 (2H x 2W, the specimen averaged over
%   the pixels of the 2x grid that Fourier up-sampling gives), truth1 (H x W, over camera
%   pixels), na, wavelength, pixelSize.
if nargin < 5
  noiseSeed = seed + 1;
end
q = 4;
na = 1.2;
wavelength = 0.52;
pixelSize = 0.1;
saved = rng();
rng(seed, 'twister');
fine = filaments(q * height, q * width, round(height * width / 400));
angles = 0.3 + [0, pi / 3, 2 * pi / 3];
period = 1 / (0.85 * 2 * na / wavelength) / pixelSize;  % camera pixels
phases = [0, 2 * pi / 3, 4 * pi / 3];
rng(saved);

% Camera pixel (1,1) covers fine pixels 1..q; its centre, the pattern's origin, lies at
% fine coordinate (q - 1) / 2 from fine pixel 1.
offset = (q - 1) / 2;
[x, y] = meshgrid(((0:q * width - 1) - offset) / q, ((0:q * height - 1) - offset) / q);
otf = ifftshift(korvex_otf(q * height, q * width, na, wavelength, pixelSize / q));
objectSpectrum = [];
frames = zeros(height, width, 9);
for a = 1:3
  for p = 1:3
    mask = 1 + cos(2 * pi * (cos(angles(a)) * x + sin(angles(a)) * y) / period + phases(p));
    blurred = real(ifft2(otf .* fft2(mask .* fine)));
    frames(:, :, (a - 1) * 3 + p) = bin(blurred, q);
  end
end
frames = max(frames, 0);
frames = frames * (photons / max(frames(:)));
if isfinite(photons)
  saved = rng();
  rng(noiseSeed, 'twister');
  frames = poisson(frames);
  rng(saved);
end
stack = struct('frames', frames, 'na', na, 'wavelength', wavelength, ...
               'pixelSize', pixelSize);
stack.pattern = struct('angle', angles, 'period', period * [1, 1, 1], ...
                       'phase', repmat(phases, 1, 3), 'modulation', [1, 1, 1]);
% 2x pixel j is centred on camera coordinate (j - 1) / 2: fine pixels 2j .. 2j + 1 after a
% shift of one, so that the block's centre lands there.
stack.truth2 = bin(circshift(fine, [-1, -1]), 2);
stack.truth1 = bin(fine, q);
end

function out = bin(image, q)
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

function counts = poisson(rate)
% Poisson samples: Knuth's product below 30 counts, a rounded normal above (plenty for a
% study of resolution).
counts = zeros(size(rate));
small = rate < 30;
r = rate(small);
n = zeros(size(r));
limit = exp(-r);
product = rand(size(r));
active = product > limit;
while any(active)
  n(active) = n(active) + 1;
  product(active) = product(active) .* rand(nnz(active), 1);
  active = product > limit;
end
counts(small) = n;
large = rate(~small);
counts(~small) = max(round(large + sqrt(large) .* randn(size(large))), 0);
end
