function [seq, masks, otf] = gateway_inputs(H, W, F, cls)
%GATEWAY_INPUTS  A small simulated SIM acquisition of class CLS: F frames of H x W
%   under shifted stripe patterns, blurred by a centred Gaussian OTF.
  [c, r] = meshgrid(0:W - 1, 0:H - 1);
  object = 1 + 0.5 * sin(2 * pi * 2 * r / H) .* cos(2 * pi * 3 * c / W) + 0.25 * (r > H / 3 & c < W / 2);
  [u, v] = meshgrid(-floor(W / 2):ceil(W / 2) - 1, -floor(H / 2):ceil(H / 2) - 1);
  otf = exp(-(u .^ 2 / (0.3 * W) ^ 2 + v .^ 2 / (0.3 * H) ^ 2));
  masks = zeros(H, W, F);
  seq = zeros(H, W, F);
  for f = 1:F
    angle = pi * mod(f - 1, 3) / 3;
    phase = 2 * pi * floor((f - 1) / 3) / 3;
    masks(:, :, f) = 0.5 + 0.5 * cos(2 * pi * (c * cos(angle) + r * sin(angle)) / 4 + phase);
    seq(:, :, f) = real(ifft2(fft2(masks(:, :, f) .* object) .* ifftshift(otf)));
  end
  seq = cast(seq, cls); masks = cast(masks, cls); otf = cast(otf, cls);
end
