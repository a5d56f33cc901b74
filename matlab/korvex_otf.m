function otf = korvex_otf(height, width, na, wavelength, pixelSize)
%KORVEX_OTF Incoherent OTF of an aberration-free circular pupil, centred for KorvexCUDA.
%   OTF = KORVEX_OTF(HEIGHT, WIDTH, NA, WAVELENGTH, PIXELSIZE) returns a HEIGHT x WIDTH real,
%   non-negative double matrix: the optical transfer function of a wide-field microscope with
%   numerical aperture NA at emission wavelength WAVELENGTH, sampled on the discrete Fourier
%   grid of a HEIGHT x WIDTH image with square pixels of side PIXELSIZE. WAVELENGTH and
%   PIXELSIZE are in the same length unit (both in micrometres, say).
%
%   Zero frequency sits at row floor(HEIGHT/2)+1, column floor(WIDTH/2)+1, where KorvexCUDA
%   expects it (the layout fftshift gives); the value there is 1. The cut-off frequency is
%   fc = 2*NA/WAVELENGTH; at a radial frequency f the OTF is the autocorrelation of the pupil,
%       (2/pi) * (acos(r) - r .* sqrt(1 - r.^2)),   r = f / fc,
%   and 0 for r >= 1.
%
%   Errors name the offending parameter: sizes that are not whole numbers >= 1, NaN or
%   non-positive optics, and optics whose cut-off does not exceed one frequency step of the
%   grid (1/(N*PIXELSIZE) along the longer side), which would leave no passband.
%
%   Example:
%     otf = korvex_otf(256, 256, 1.0, 0.52, 0.065);  % NA 1.0, 520 nm, 65 nm pixels
%
%   See also KORVEX_MASKS, KORVEX_SIMULATE, KORVEXCUDA.

caller = 'korvex_otf';
if nargin ~= 5
  error('korvex:badParameter', ...
        '%s: expects 5 inputs (height, width, NA, wavelength, pixelSize), got %d.', ...
        caller, nargin);
end
korvex_check_scalar(caller, 'height', height, 'count');
korvex_check_scalar(caller, 'width', width, 'count');
korvex_check_scalar(caller, 'NA', na, 'positive');
korvex_check_scalar(caller, 'wavelength', wavelength, 'positive');
korvex_check_scalar(caller, 'pixelSize', pixelSize, 'positive');
height = double(height);
width = double(width);

cutoff = 2 * double(na) / double(wavelength);
% The finest step of the grid is along its longer side; below that nothing but zero frequency
% would pass, and the reconstruction would have nothing to work with.
step = 1 / (max(height, width) * double(pixelSize));
if cutoff <= step
  error('korvex:noPassband', ...
        ['%s: no passband: the cut-off 2*NA/wavelength = %g is not above the frequency ' ...
         'step 1/(N*pixelSize) = %g; raise NA or the image size, or lower wavelength or ' ...
         'pixelSize.'], caller, cutoff, step);
end

fy = ((0:height - 1)' - floor(height / 2)) / (height * double(pixelSize));
fx = ((0:width - 1) - floor(width / 2)) / (width * double(pixelSize));
r = sqrt(repmat(fy.^2, 1, width) + repmat(fx.^2, height, 1)) / cutoff;
inside = r < 1;
otf = zeros(height, width);
ri = r(inside);
% acos(r) = pi/2 - asin(r): this form gives exactly 1 at zero frequency; the clamp keeps
% rounding near the cut-off from going below zero.
otf(inside) = max(1 - (2 / pi) * (asin(ri) + ri .* sqrt(1 - ri.^2)), 0);
end
