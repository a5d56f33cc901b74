function test_korvex_masks()
% Frame order, period, phase steps and modulation of the illumination patterns.

masks = korvex_masks(32, 40, 5);
check(isequal(size(masks), [32, 40, 9]), 'default stack is H x W x 9');
check(all(masks(:) >= -1e-12) && max(masks(:)) <= 2 + 1e-12, 'full modulation spans [0, 2]');

% Orientation-major order: frame (i-1)*numel(phases)+j has angle i and phase j. At the origin
% only the phase counts, so frames 1, 4, 7 (phase 0) are 2 there.
phases = [0, 2 * pi / 3, 4 * pi / 3];
origin = squeeze(masks(1, 1, :))';
check(max(abs(origin - (1 + cos(repmat(phases, 1, 3))))) < 1e-12, 'orientation-major order');

% Angle 0 varies along rows, pi/2 down columns; with 64 pixels and a period of 8 the pattern
% sits in DFT bin 64/8 = 8 of that axis, with the requested phase at that bin.
steps = [0, pi / 2, pi, 3 * pi / 2];
for axisCase = 1:2
  angle = (axisCase - 1) * pi / 2;
  masks = korvex_masks(64, 64, 8, angle, steps, 0.7);
  check(size(masks, 3) == numel(steps), 'one frame per phase');
  for j = 1:numel(steps)
    frame = masks(:, :, j);
    if axisCase == 1
      line = frame(5, :);
      check(max(max(abs(diff(frame, 1, 1)))) < 1e-12, 'angle 0 is constant down columns');
    else
      line = frame(:, 5)';
      check(max(max(abs(diff(frame, 1, 2)))) < 1e-12, 'angle pi/2 is constant along rows');
    end
    spectrum = fft(line - 1);
    [~, peak] = max(abs(spectrum(1:32)));
    check(peak - 1 == 8, sprintf('angle %g: period 8 pixels', angle));
    check(abs(abs(spectrum(9)) / 32 - 0.7) < 1e-12, 'modulation depth 0.7');
    check(abs(angle_difference(angle_of(spectrum(9)), steps(j))) < 1e-9, ...
          sprintf('angle %g phase %g', angle, steps(j)));
  end
end

% An oblique pattern repeats over one period along its wave vector.
a = pi / 3;
masks = korvex_masks(64, 64, 6, a, 0, 1);
[x, y] = meshgrid(0:63, 0:63);
expected = 1 + cos(2 * pi * (cos(a) * x + sin(a) * y) / 6);
check(max(abs(masks(:) - expected(:))) < 1e-12, 'oblique pattern');

bad = {
  'period', @() korvex_masks(16, 16, 1.5);
  'period', @() korvex_masks(16, 16, NaN);
  'modulation', @() korvex_masks(16, 16, 4, 0, 0, 1.2);
  'angles', @() korvex_masks(16, 16, 4, [0, NaN]);
  'phases', @() korvex_masks(16, 16, 4, 0, []);
  'height', @() korvex_masks(-2, 16, 4);
  'width', @() korvex_masks(16, 'a', 4);
};
for i = 1:size(bad, 1)
  korvex_expect_error(bad{i, 2}, bad{i, 1}, 'match', 'substring', ...
                      'label', sprintf('bad input %d', i));
end
end

function phi = angle_of(z)
phi = atan2(imag(z), real(z));
end

function d = angle_difference(a, b)
d = mod(a - b + pi, 2 * pi) - pi;
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_masks: %s', label);
end
end
