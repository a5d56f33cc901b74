function [resolution, curve, frequency] = korvex_frc(image, reference, pixelSize)
%KORVEX_FRC Resolution by Fourier ring correlation against a reference image.
%   RESOLUTION = KORVEX_FRC(IMAGE, REFERENCE, PIXELSIZE) correlates the spectra of the two
%   H x W images ring by ring and returns the period 1/f at which the correlation first falls
%   below 0.5 (interpolated between rings), in the unit of PIXELSIZE. Where it never falls
%   below 0.5, RESOLUTION is the period of the last full ring (the grid's limit, 2 PIXELSIZE).
%   Both images are taken with their means removed and an edge taper (cosine over an eighth
%   of each side), so that the border's discontinuity does not correlate; the correlation is
%   insensitive to the images' scale, as MAP-SIM leaves it arbitrary.
%
%   [RESOLUTION, CURVE, FREQUENCY] = KORVEX_FRC(...) also returns the correlation of every
%   ring and its frequency (cycles per unit).
%
%   Example:
%     nm = 1000 * korvex_frc(image, truth, 0.05);
%
%   See also KORVEX_RECONSTRUCT, KORVEX_DEMO.

if ~isequal(size(image), size(reference)) || ndims(image) ~= 2
  error('korvex:badSize', 'korvex_frc: image and reference must be H x W images of one size.');
end
korvex_check_scalar('korvex_frc', 'pixelSize', pixelSize, 'positive');
[height, width] = size(image);
window = taper(height) * taper(width)';
a = fft2(window .* (double(image) - mean(double(image(:)))));
b = fft2(window .* (double(reference) - mean(double(reference(:)))));

% Radius in the units of the shorter side's frequency step.
fy = ifftshift((0:height - 1) - floor(height / 2))' / height;
fx = ifftshift((0:width - 1) - floor(width / 2)) / width;
radius = sqrt(repmat(fy.^2, 1, width) + repmat(fx.^2, height, 1)) * min(height, width);
ring = round(radius) + 1;
rings = floor(min(height, width) / 2);
keep = ring <= rings;
cross = accumarray(ring(keep), real(a(keep) .* conj(b(keep))), [rings, 1]);
powerA = accumarray(ring(keep), abs(a(keep)).^2, [rings, 1]);
powerB = accumarray(ring(keep), abs(b(keep)).^2, [rings, 1]);
curve = cross ./ sqrt(powerA .* powerB + realmin);
frequency = (0:rings - 1)' / (min(height, width) * double(pixelSize));

below = find(curve(2:end) < 0.5, 1) + 1;  % ring 1 is zero frequency
if isempty(below)
  resolution = 1 / frequency(end);
  return;
end
% Linear interpolation of the crossing between the last ring above and the first below.
c0 = curve(below - 1);
c1 = curve(below);
f = frequency(below - 1) + (c0 - 0.5) / (c0 - c1) * (frequency(below) - frequency(below - 1));
resolution = 1 / f;
end

function w = taper(n)
w = ones(n, 1);
edge = max(1, floor(n / 8));
ramp = 0.5 - 0.5 * cos(pi * (0.5:edge) / edge);
w(1:edge) = ramp;
w(end - edge + 1:end) = fliplr(ramp);
end
