function scores = quality_scores(image, truth, pixelSize, band, carriers)
%QUALITY_SCORES How much of the truth a reconstruction shows, scored on one grid.
%   SCORES = QUALITY_SCORES(IMAGE, TRUTH, PIXELSIZE, BAND, CARRIERS) compares the H x W image
%   with the truth (same grid, pixels of PIXELSIZE) and returns a struct:
%     resolution   Fourier ring correlation with the truth, first crossing of 0.5, in the
%                  unit of PIXELSIZE (KORVEX_FRC)
%     correlation  Pearson correlation with the truth after the best ring filter: each ring of
%                  the spectrum scaled by the real gain that brings it closest to the truth's
%                  (least squares), so that apodisation and scale choices do not count
%     band         share of the truth's energy in the spectral annulus BAND = [f1 f2]
%                  (cycles per unit) that the ring-filtered image recovers:
%                  1 - |T - gX|^2 / |T|^2 summed over the annulus
%     stripes      error energy of the ring-filtered image at the carrier positions CARRIERS
%                  (K x 2 frequencies [fx fy], cycles per unit; their negatives are added)
%                  relative to the truth's energy there: stripe artefacts show as > 1
%     outside      share of the image's spectral energy (the mean left out) beyond the
%                  annulus's outer edge, where no pattern carries information: noise and
%                  ringing show there
%   The images are taken as periodic (the simulations are), so no taper is applied.
[height, width] = size(image);
x = fft2(double(image));
t = fft2(double(truth));
fy = ifftshift((0:height - 1) - floor(height / 2))' / (height * pixelSize);
fx = ifftshift((0:width - 1) - floor(width / 2)) / (width * pixelSize);
fy = repmat(fy, 1, width);
fx = repmat(fx, height, 1);
step = 1 / (min(height, width) * pixelSize);
ring = round(sqrt(fx.^2 + fy.^2) / step) + 1;
rings = max(ring(:));
cross = accumarray(ring(:), real(x(:) .* conj(t(:))), [rings, 1]);
power = accumarray(ring(:), abs(x(:)).^2, [rings, 1]);
gain = cross ./ max(power, realmin);
gain(1) = 0;  % the mean does not count
filtered = gain(ring) .* x;
t(1) = 0;
scores.resolution = korvex_frc(image, truth, pixelSize);
scores.correlation = real(filtered(:)' * t(:)) / sqrt(real(filtered(:)' * filtered(:)) * ...
                                                      real(t(:)' * t(:)));
radius = sqrt(fx.^2 + fy.^2);
annulus = radius >= band(1) & radius <= band(2);
scores.band = 1 - sum(abs(t(annulus) - filtered(annulus)).^2) / sum(abs(t(annulus)).^2);
near = false(height, width);
for k = 1:size(carriers, 1)
  for sign = [-1, 1]
    d = (fx - sign * carriers(k, 1)).^2 + (fy - sign * carriers(k, 2)).^2;
    near = near | d <= (1.5 * step)^2;
  end
end
x(1) = 0;
scores.outside = sum(abs(x(radius > band(2))).^2) / sum(abs(x(:)).^2);
scores.stripes = sum(abs(t(near) - filtered(near)).^2) / sum(abs(t(near)).^2);
end
