function test_gateway_reconstruction()
%TEST_GATEWAY_RECONSTRUCTION  KorvexCUDA reconstructions in Octave: output classes, shapes and
%   values against the Octave reference (korvex_reference, run in double), in single and
%   double precision.
  KorvexCUDA(0);
  maxIter = 5; threshold = 0; lambda = 0.02; alpha = 0.1;
  % Square, non-square and odd sizes (the OTF centre of an odd axis sits at floor(n/2)+1).
  sizes = [8 8 9; 6 10 3; 7 5 2];
  for cls = {'single', 'double'}
    c = cls{1};
    if strcmp(c, 'single'), tol = 1e-4; else, tol = 1e-9; end
    for s = sizes'
      H = s(1); W = s(2); F = s(3);
      [seq, masks, otf] = gateway_inputs(H, W, F, c);
      [xr, ir, ar, qr] = double_reference(seq, masks, otf, maxIter, threshold, lambda, alpha);
      where = sprintf('%s %dx%dx%d', c, H, W, F);
      for nout = 1:4
        out = cell(1, nout);
        [out{:}] = KorvexCUDA(seq, masks, otf, maxIter, threshold, lambda, alpha);
        expect_array(out{1}, c, [H W], [where ' image']);
        expect_close(out{1}, xr, tol, [where ' image']);
        for k = 2:nout
          expect_array(out{k}, c, [1 1], sprintf('%s output %d', where, k));
        end
        if nout >= 2, assert(double(out{2}) == ir, '%s: iteration %g, expected %g', where, out{2}, ir); end
        if nout >= 3, expect_close(out{3}, ar, 10 * tol, [where ' step']); end
        if nout >= 4, expect_close(out{4}, qr, 10 * tol, [where ' ratio']); end
      end
    end
  end

  % No output requested: the image still comes back, as ans.
  [seq, masks, otf] = gateway_inputs(6, 10, 3, 'single');
  KorvexCUDA(seq, masks, otf, 0, threshold, lambda, alpha);
  expect_array(ans, 'single', [6 10], 'ans');

  % Iteration limit 0 (here 0.7, truncated): the first estimate, the sum of the raw frames.
  for cls = {'single', 'double'}
    [seq, masks, otf] = gateway_inputs(6, 10, 3, cls{1});
    [x, iter, step, ratio] = KorvexCUDA(seq, masks, otf, 0.7, threshold, lambda, alpha);
    expect_close(x, sum(double(seq), 3), 1e-6, [cls{1} ' frame sum']);
    assert(iter == 0 && step == cast(alpha, cls{1}) && ratio == single(3.4028235e38), ...
           '%s: statistics of a run without iterations', cls{1});
  end

  % A two-dimensional sequence and mask are one frame.
  [seq, masks, otf] = gateway_inputs(8, 6, 1, 'double');
  assert(ndims(seq) == 2);
  x = KorvexCUDA(seq, masks, otf, maxIter, threshold, lambda, alpha);
  expect_close(x, double_reference(seq, masks, otf, maxIter, threshold, lambda, alpha), ...
               1e-9, 'one frame');

  % Settings of either class with data of either class; single runs round them to single.
  [seq, masks, otf] = gateway_inputs(8, 8, 9, 'single');
  a = KorvexCUDA(seq, masks, otf, single(3), single(threshold), lambda, single(alpha));
  b = KorvexCUDA(seq, masks, otf, 3, threshold, single(lambda), alpha);
  assert(isequal(a, b), 'settings of mixed classes');

  % Reuse of the kept engine carries nothing over between calls.
  [seq, masks, otf] = gateway_inputs(8, 8, 9, 'double');
  first = KorvexCUDA(seq, masks, otf, maxIter, threshold, lambda, alpha);
  KorvexCUDA(seq * 2, masks, otf, maxIter, threshold, 0.5, 0.3);
  again = KorvexCUDA(seq, masks, otf, maxIter, threshold, lambda, alpha);
  assert(isequal(first, again), 'a repeated call gives the same image');

  KorvexCUDA(0);
end

% The reference in double whatever the class of the data, so that single runs are measured
% against the exact iteration.
function [x, iter, alpha, ratio] = double_reference(seq, masks, otf, varargin)
  [x, iter, alpha, ratio] = korvex_reference(double(seq), double(masks), double(otf), varargin{:});
end

function expect_array(x, cls, shape, where)
  assert(isa(x, cls), '%s: class %s, expected %s', where, class(x), cls);
  assert(isequal(size(x), shape), '%s: size %s, expected %s', where, mat2str(size(x)), mat2str(shape));
  assert(isreal(x) && ~issparse(x), '%s: not a real full array', where);
end

function expect_close(x, reference, tol, where)
  scale = max(abs(double(reference(:))));
  err = max(abs(double(x(:)) - double(reference(:)))) / scale;
  assert(err <= tol, '%s: relative difference %g above %g', where, err, tol);
end
