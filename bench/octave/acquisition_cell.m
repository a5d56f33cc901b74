function stack = acquisition_cell(height, width, photons, seed, offset, pattern, upsample)
%ACQUISITION_CELL Camera-sampled SIM stack of a dense specimen, with its truth.
%   STACK = ACQUISITION_CELL(H, W, PHOTONS, SEED, OFFSET) images, with the optics, camera and
%   illumination of ACQUISITION_FILAMENTS, a cell body that fills about half the field: a
%   continuous cytoplasm with a soft edge and a textured interior (smooth fluctuations, small
%   bright granules, a darker nucleus) on a faint continuous background. After the Poisson
%   noise, OFFSET counts are added to every pixel: a camera background subtracted a few counts
%   wrong (negative: too much). STACK has the fields of ACQUISITION_FILAMENTS.
%
%   ACQUISITION_CELL(..., OFFSET, PATTERN, UPSAMPLE) lights it with PATTERN instead and gives
%   truth2 on the grid UPSAMPLE [2] times finer than the camera's, as ACQUISITION_FILAMENTS.
if nargin < 6 || isempty(pattern)
  pattern = acquisition_pattern();
end
if nargin < 7
  upsample = 2;
end
q = 2 * upsample;
optics = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1};
saved = rng();
rng(seed, 'twister');
specimen = cell_body(q * height, q * width);
rng(saved);
[frames, ~, truth2] = korvex_simulate_camera(specimen, q, pattern, optics{:}, ...
                                             'photons', photons, 'seed', seed + 1, ...
                                             'upsample', upsample);
stack = struct('frames', frames + offset, 'pattern', pattern, 'truth2', truth2, 'na', 1.2, ...
               'wavelength', 0.52, 'pixelSize', 0.1);
end

function image = cell_body(height, width)
[x, y] = meshgrid(((1:width) - width / 2) / width, ((1:height) - height / 2) / height);
angle = 2 * pi * rand;
u = x * cos(angle) + y * sin(angle);
v = -x * sin(angle) + y * cos(angle);
% A wobbly ellipse, soft over about 8 fine pixels (200 nm).
radius = sqrt((u / 0.36).^2 + (v / 0.24).^2) .* (1 + 0.06 * sin(3 * atan2(v, u) + 6 * rand));
body = 1 ./ (1 + exp((radius - 1) * width / 8));
nucleus = 1 ./ (1 + exp((sqrt(((u - 0.05) / 0.12).^2 + (v / 0.09).^2) - 1) * width / 12));
texture = smooth_noise(height, width, 6) + 0.5 * smooth_noise(height, width, 2);
texture = 0.6 + 0.4 * texture / max(abs(texture(:)));
granules = zeros(height, width);
count = round(height * width / 4000);
index = randi(height * width, count, 1);
granules(index) = 1 + rand(count, 1);
granules = real(ifft2(fft2(granules) .* fft2(gaussian(height, width, 1.5))));
image = 0.05 + body .* (texture .* (1 - 0.5 * nucleus) + 3 * granules);
end

function noise = smooth_noise(height, width, sigma)
noise = real(ifft2(fft2(randn(height, width)) .* fft2(gaussian(height, width, sigma))));
end

function kernel = gaussian(height, width, sigma)
% Centred at pixel (1,1), periodic, sum 1.
[x, y] = meshgrid(mod((0:width - 1) + width / 2, width) - width / 2, ...
                  mod((0:height - 1) + height / 2, height) - height / 2);
kernel = exp(-(x.^2 + y.^2) / (2 * sigma^2));
kernel = kernel / sum(kernel(:));
end
