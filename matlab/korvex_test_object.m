function object = korvex_test_object(height, width)
%KORVEX_TEST_OBJECT Synthetic fluorescent specimen for resolution tests.
%   OBJECT = KORVEX_TEST_OBJECT(N) returns an N x N double image with values in [0, 1];
%   OBJECT = KORVEX_TEST_OBJECT(HEIGHT, WIDTH) a HEIGHT x WIDTH one. It holds
%     - a Siemens star (left half): 24 spokes whose spacing shrinks toward the centre, so the
%       radius at which the spokes blur together shows the resolution;
%     - thin lines at six angles (top right): one pixel wide, 0 to 150 degrees in 30 degree
%       steps, to show that resolution is gained in every direction, not only along the
%       illumination orientations;
%     - sub-resolution beads (bottom right): single bright pixels, alone and in pairs 2 to 6
%       pixels apart, the pairs showing which separations the image resolves.
%   The layout is deterministic; sizes from 32 pixels up are sensible.
%
%   See also KORVEX_SIMULATE, KORVEX_DEMO.

caller = 'korvex_test_object';
if nargin < 2
  width = height;
end
korvex_check_scalar(caller, 'height', height, 'count');
korvex_check_scalar(caller, 'width', width, 'count');
height = double(height);
width = double(width);
[x, y] = meshgrid(0:width - 1, 0:height - 1);
object = zeros(height, width);

% Siemens star centred in the left half.
half = floor(width / 2);
cx = (half - 1) / 2;
cy = (height - 1) / 2;
radius = 0.45 * min(half, height);
rho = sqrt((x - cx).^2 + (y - cy).^2);
theta = atan2(y - cy, x - cx);
star = (rho <= radius) & (cos(24 * theta) > 0);
object(star) = 0.35;

% Lines in the top-right quadrant: six segments through a common centre would merge there, so
% each angle gets its own short segment on a small grid of centres.
qx0 = half;
qw = width - half;
qh = floor(height / 2);
segment = 0.14 * min(qw, qh);
angles = (0:5) * pi / 6;
for i = 1:numel(angles)
  col = mod(i - 1, 3);
  row = floor((i - 1) / 3);
  lx = qx0 + (col + 0.5) * qw / 3;
  ly = (row + 0.5) * qh / 2;
  along = (x - lx) * cos(angles(i)) + (y - ly) * sin(angles(i));
  across = -(x - lx) * sin(angles(i)) + (y - ly) * cos(angles(i));
  on = abs(across) <= 0.5 & abs(along) <= segment;
  object(on) = max(object(on), 0.5);
end

% Beads in the bottom-right quadrant: a row of single beads, then pairs at growing spacing.
by0 = qh;
bh = height - qh;
spacings = 2:6;
for i = 1:numel(spacings)
  bx = qx0 + round(i * qw / (numel(spacings) + 1));
  lone = [by0 + round(bh / 4), bx];
  pairTop = by0 + round(bh * 0.6);
  pair = [pairTop, bx; pairTop + spacings(i), bx];
  beads = [lone; pair];
  inside = beads(:, 1) < height & beads(:, 2) < width;
  beads = beads(inside, :);
  object(sub2ind([height, width], beads(:, 1) + 1, beads(:, 2) + 1)) = 1;
end
end
