function test_korvex_reference()
% The Octave reference (matlab/reference) that the tests and the benchmark measure KorvexCUDA
% against: its gradient against finite differences of the objective it descends, and its
% stopping rules and extra outputs.

height = 15;
width = 17;
otf = korvex_otf(height, width, 1, 0.52, 0.065);   % odd sizes: a point-symmetric OTF
masks = korvex_masks(height, width, 4, [0, pi / 2], [0, pi]);
% Frames of both signs, so that residuals and back-projections change sign too.
frames = reshape(sin(0.7 * (1:height * width * size(masks, 3))), height, width, []);
x0 = sum(frames, 3);
noStop = 0;

% One step of size 1 from x0 moves by exactly the gradient there. Without the smoothness term
% that is the gradient of J(x) = 1/2 sum_j |blur(m_j x) - m_j y_j|^2.
x1 = korvex_reference(frames, masks, otf, 1, noStop, 0, 1);
g0 = x0 - x1;
blur = @(v) real(ifft2(bsxfun(@times, ifftshift(otf), fft2(v))));
objective = @(x) 0.5 * sum(sum(sum((blur(bsxfun(@times, masks, x)) - masks .* frames).^2)));
direction = cos((1:height)' * (1:width));
h = 1e-3;
slope = (objective(x0 + h * direction) - objective(x0 - h * direction)) / (2 * h);
check(abs(slope - sum(sum(g0 .* direction))) < 1e-6 * abs(slope), ...
      'data gradient matches finite differences');

% The smoothness term adds 2*lambda*(4x - the four neighbours) on interior pixels only.
lambda = 0.3;
g0lambda = x0 - korvex_reference(frames, masks, otf, 1, noStop, lambda, 1);
expected = zeros(height, width);
for r = 2:height - 1
  for c = 2:width - 1
    expected(r, c) = 2 * lambda * (4 * x0(r, c) - x0(r - 1, c) - x0(r + 1, c) ...
                                   - x0(r, c - 1) - x0(r, c + 1));
  end
end
check(max(max(abs((g0lambda - g0) - expected))) < 1e-9 * max(abs(expected(:))), ...
      'smoothness term on interior pixels');

for cls = {'single', 'double'}
  c = cls{1};
  args = {cast(frames, c), cast(masks, c), cast(otf, c)};
  noRatio = cast(realmax('single'), c);

  [image, k, a, ratio] = korvex_reference(args{:}, 0, noStop, 0.01, 0.05);
  check(isequal(image, sum(args{1}, 3)) && k == 0 && a == cast(0.05, c) && ratio == noRatio, ...
        [c, ': no iterations leave the frame sum']);
  check(isa(image, c) && isa(k, c) && isa(a, c) && isa(ratio, c), [c, ': outputs in class']);

  [image, k, a, ratio] = korvex_reference(args{:}, 10, noStop, 0.01, -1);
  check(isequal(image, sum(args{1}, 3)) && k == 0 && a == -1 && ratio == noRatio, ...
        [c, ': a non-positive first step stops before updating']);

  % A first step that is not finite stops before updating, as a non-positive one does.
  for first = [NaN, Inf]
    [image, k, a, ratio] = korvex_reference(args{:}, 10, noStop, 0.01, first);
    check(isequal(image, sum(args{1}, 3)) && k == 0 && isequaln(a, cast(first, c)) && ...
          ratio == noRatio, sprintf('%s: a first step of %g stops before updating', c, first));
  end

  % Masks of zeros and no smoothness leave the gradient at zero: the step of iteration 1 is
  % 0 / 0, which ends the loop before it reaches the estimate.
  [image, k, a, ratio] = korvex_reference(args{1}, zeros(size(args{2}), c), args{3}, 10, ...
                                          noStop, 0, 0.05);
  check(isequal(image, sum(args{1}, 3)) && k == 1 && isnan(a) && ratio == noRatio, ...
        [c, ': a NaN step stops before updating']);

  [one, k, ~, ratio] = korvex_reference(args{:}, 1, noStop, 0.01, 0.05);
  check(k == 0 && ratio == noRatio && ~isequal(one, sum(args{1}, 3)), ...
        [c, ': one iteration updates, forms no ratio']);

  [image, k, ~, ratio] = korvex_reference(args{:}, 8, noStop, 0.01, 0.05);
  check(k == 7 && ratio > 0 && ratio < noRatio && ~isequal(image, one), ...
        [c, ': threshold 0 runs to the limit']);

  % Every ratio is below 1e30: the test stops at iteration 1, after its update.
  [image, k, ~, ratio] = korvex_reference(args{:}, 8, 1e30, 0.01, 0.05);
  check(k == 1 && ratio < 1e30 && ~isequal(image, one), ...
        [c, ': convergence stops at iteration 1 with the update applied']);
end
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_reference: %s', label);
end
end
