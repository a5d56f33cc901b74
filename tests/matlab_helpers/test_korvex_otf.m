function test_korvex_otf()
% Shape, centring and values of the circular-pupil OTF; errors name the parameter.

% NA 0.5 at wavelength 4 with unit pixels on 64 columns: cut-off 0.25 cycles/pixel, that is
% 16 frequency steps, so 8 steps from the centre sits at exactly half the cut-off.
halfCutoff = (2 / pi) * (acos(0.5) - 0.5 * sqrt(0.75));
for shape = {[64, 64], [63, 65], [48, 33]}
  height = shape{1}(1);
  width = shape{1}(2);
  otf = korvex_otf(height, width, 0.5, 4, 64 / max(height, width));
  label = sprintf('%d x %d', height, width);
  check(isreal(otf) && isequal(size(otf), [height, width]), [label, ': real H x W']);
  check(all(otf(:) >= 0), [label, ': non-negative']);
  cy = floor(height / 2) + 1;
  cx = floor(width / 2) + 1;
  check(otf(cy, cx) == 1 && max(otf(:)) == 1, [label, ': 1 at zero frequency, nowhere more']);
  shifted = ifftshift(otf);
  check(shifted(1, 1) == 1, [label, ': ifftshift puts zero frequency at (1,1)']);

  % Radial frequency in cut-off units, from the DFT bin numbers of ifftshift's layout.
  ky = mod((0:height - 1)' + floor(height / 2), height) - floor(height / 2);
  kx = mod((0:width - 1) + floor(width / 2), width) - floor(width / 2);
  r = sqrt(repmat((ky / height).^2, 1, width) + repmat((kx / width).^2, height, 1)) * ...
      max(height, width) / 16;
  check(all(shifted(r >= 1) == 0), [label, ': zero at and beyond the cut-off']);
  check(all(shifted(r < 0.999) > 0), [label, ': positive inside the passband']);
  onHalf = abs(r - 0.5) < 1e-12;
  if any(onHalf(:))
    check(all(abs(shifted(onHalf) - halfCutoff) < 1e-12), [label, ': value at half cut-off']);
  end
  % A real, point-symmetric OTF is what makes the engine's back-projection the adjoint.
  if mod(height, 2) == 1 && mod(width, 2) == 1
    check(isequal(otf, rot90(otf, 2)), [label, ': point symmetric']);
  end
end
shifted = ifftshift(korvex_otf(64, 64, 0.5, 4, 1));
check(abs(shifted(1, 9) - halfCutoff) < 1e-12 && abs(shifted(9, 1) - halfCutoff) < 1e-12, ...
      'value at half cut-off on both axes');

bad = {
  'height', @() korvex_otf(0, 8, 1, 0.5, 0.1);
  'width', @() korvex_otf(8, 2.5, 1, 0.5, 0.1);
  'NA', @() korvex_otf(8, 8, NaN, 0.5, 0.1);
  'NA', @() korvex_otf(8, 8, -1, 0.5, 0.1);
  'wavelength', @() korvex_otf(8, 8, 1, 0, 0.1);
  'wavelength', @() korvex_otf(8, 8, 1, [0.5, 0.6], 0.1);
  'pixelSize', @() korvex_otf(8, 8, 1, 0.5, Inf);
  'no passband', @() korvex_otf(64, 64, 0.01, 0.5, 0.065);
  'expects 5 inputs', @() korvex_otf(8, 8, 1, 0.5);
};
for i = 1:size(bad, 1)
  korvex_expect_error(bad{i, 2}, bad{i, 1}, 'match', 'substring', ...
                      'label', sprintf('bad input %d', i));
end
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_otf: %s', label);
end
end
