function [image, iteration, alpha, ratio] = korvex_reference(sequence, masks, otf, maxIter, ...
                                                            threshold, lambda, alpha)
%KORVEX_REFERENCE MAP-SIM reconstruction written directly in MATLAB/Octave.
%   [IMAGE, ITERATION, ALPHA, RATIO] = KORVEX_REFERENCE(SEQUENCE, MASKS, OTF, MAXITER,
%   THRESHOLD, LAMBDA, ALPHA) takes the same inputs and gives the same outputs as KorvexCUDA:
%   the H x W x F raw frames, the matching illumination masks, the centred H x W OTF, the
%   iteration limit, the convergence threshold, the smoothness weight and the first step size.
%   It computes in the class of SEQUENCE (single or double) and serves as the yardstick the
%   engine is checked against (tests/gateway_octave, tests/matlab_helpers) and timed against
%   (bench/octave/compare_speed). Tests that want a double-precision yardstick for a single
%   run pass it double inputs.
%
%   The iteration, vectorised over the frame stack:
%     x0 = sum of the raw frames; y_j = m_j .* (raw frame j); O = ifftshift(OTF)
%     r_j = real(ifft2(O .* fft2(m_j .* x))) - y_j
%     g   = sum_j m_j .* real(ifft2(O .* fft2(r_j)))  +  2*LAMBDA*(4x - 4 neighbours)
%           (the smoothness term on interior pixels only)
%     step: ALPHA at k = 0, then s.y / y.y with s = x - x_prev, y = g - g_prev
%     stop before updating when the step is not positive or not finite
%     h_k = step * sum(g.^2); ratio = h_k / h_(k-1) from k = 1 on
%     x = x - step * g; stop when k >= 1 and THRESHOLD > ratio
%   ITERATION is the zero-based index of the last iteration entered, ALPHA the last step,
%   RATIO the last ratio (3.4028235e38 when none was formed).

cls = class(sequence);
maxIter = floor(double(maxIter));
threshold = cast(threshold, cls);
lambda = cast(lambda, cls);
alpha = cast(alpha, cls);
masks = cast(masks, cls);
spectrumFilter = ifftshift(cast(otf, cls));

x = sum(sequence, 3);
data = masks .* sequence;
ratio = cast(realmax('single'), cls);
iteration = 0;
history = zeros(1, max(maxIter, 1), cls);
xPrev = x;
gPrev = x;

for k = 0:maxIter - 1
  iteration = k;
  residual = real(ifft2(spectrumFilter .* fft2(masks .* x))) - data;
  g = sum(masks .* real(ifft2(spectrumFilter .* fft2(residual))), 3);
  interior = 4 * x(2:end - 1, 2:end - 1) - x(1:end - 2, 2:end - 1) - x(3:end, 2:end - 1) ...
             - x(2:end - 1, 1:end - 2) - x(2:end - 1, 3:end);
  g(2:end - 1, 2:end - 1) = g(2:end - 1, 2:end - 1) + 2 * lambda * interior;

  if k >= 1
    dg = g - gPrev;
    alpha = sum(sum(dg .* (x - xPrev))) / sum(sum(dg .* dg));
  end
  if ~(alpha > 0) || ~isfinite(alpha)
    break;
  end
  history(k + 1) = alpha * sum(sum(g .* g));
  if k >= 1
    ratio = history(k + 1) / history(k);
  end
  xPrev = x;
  gPrev = g;
  x = x - alpha * g;
  if k >= 1 && threshold > ratio
    break;
  end
end

image = x;
iteration = cast(iteration, cls);
end
