function score_wiener(inFile, outFile)
%SCORE_WIENER Resolution (FRC, nm), Pearson correlation and alignment of a wiener_reconstruct
%   output OUTFILE against the truth2 of the stack in INFILE; also the estimated pattern's
%   errors. Run from the repository root: score_wiener('in.mat', 'out.mat').
addpath('matlab');
s = load(inFile);
r = load(outFile);
image = r.image;
truth = s.truth2;
nm = 1000 * korvex_frc(image, truth, s.pixelSize / 2);
c = corrcoef(image(:), truth(:));
[dy, dx] = peak_shift(image, truth);
e = r.estimate;
p = s.pattern;
phaseError = angle(exp(1i * (e.phase(:)' - p.phase(:)')));
printf('%s: FRC %.1f nm, Pearson %.4f, shift (rows, cols) %+.3f %+.3f fine px, %.3f s (calibration %.3f s)\n', ...
       outFile, nm, c(1, 2), dy, dx, r.seconds, r.calibrationSeconds);
printf('  angle error %s mrad, period error %s px, phase error max %.3f rad, modulation %s\n', ...
       mat2str(1000 * (e.angle(:)' - p.angle(:)'), 3), mat2str(e.period(:)' - p.period(:)', 3), ...
       max(abs(phaseError)), mat2str(e.modulation(:)', 3));
end

function [dy, dx] = peak_shift(a, b)
% Cross-correlation peak of a against b, with a parabola through the peak along each axis.
c = real(ifft2(fft2(a - mean(a(:))) .* conj(fft2(b - mean(b(:))))));
[~, k] = max(c(:));
[i, j] = ind2sub(size(c), k);
[h, w] = size(c);
row = c(mod(i - 2:i, h) + 1, j);
col = c(i, mod(j - 2:j, w) + 1);
dy = wrap(i - 1, h) + vertex(row);
dx = wrap(j - 1, w) + vertex(col);
end

function v = vertex(y)
v = 0.5 * (y(1) - y(3)) / (y(1) - 2 * y(2) + y(3));
end

function k = wrap(k, n)
if k >= n / 2
  k = k - n;
end
end
