function [x, iter, alpha, ratio] = gateway_reference_mapsim(seq, masks, otf, maxIter, threshold, lambda, alpha)
%GATEWAY_REFERENCE_MAPSIM  Plain transcription of the engine's MAP-SIM iteration, in double.
%   Same inputs and outputs as KorvexCUDA; the OTF is centred as KorvexCUDA expects it. The
%   blurred images are the real parts of the inverse transforms, as in the engine.
  seq = double(seq); masks = double(masks); otf = ifftshift(double(otf));
  x = sum(seq, 3);                % first estimate: the sum of the raw frames
  data = seq .* masks;
  iter = 0;
  ratio = double(single(3.4028235e38));
  history = zeros(1, maxIter);
  for k = 0:maxIter - 1
    iter = k;
    dataGrad = zeros(size(x));
    for j = 1:size(seq, 3)
      m = masks(:, :, j);
      residual = real(ifft2(otf .* fft2(m .* x))) - data(:, :, j);
      dataGrad = dataGrad + m .* real(ifft2(otf .* fft2(residual)));
    end
    grad = dataGrad;
    inner = x(2:end-1, 2:end-1);
    laplace = 4 * inner - x(1:end-2, 2:end-1) - x(3:end, 2:end-1) - x(2:end-1, 1:end-2) - x(2:end-1, 3:end);
    grad(2:end-1, 2:end-1) = grad(2:end-1, 2:end-1) + 2 * lambda * laplace;
    if k >= 1
      s = x - xPrev; y = grad - gradPrev;
      alpha = sum(s(:) .* y(:)) / sum(y(:) .^ 2);
    end
    if alpha <= 0
      break;
    end
    history(k + 1) = alpha * sum(grad(:) .^ 2);
    if k >= 1
      ratio = history(k + 1) / history(k);
    end
    xPrev = x; gradPrev = grad;
    x = x - alpha * grad;
    if k >= 1 && threshold > ratio
      break;
    end
  end
end
