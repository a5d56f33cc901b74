function fine = korvex_upsample(frames, factor)
%KORVEX_UPSAMPLE Images on a FACTOR times finer grid by Fourier interpolation.
%   FINE = KORVEX_UPSAMPLE(FRAMES, FACTOR) returns the H x W x F stack FRAMES on a grid FACTOR
%   (a whole number) times finer along each side, as double: each frame's spectrum is
%   zero-padded, the Nyquist bin of an even size split in halves between +N/2 and -N/2, so a
%   band-limited image is reproduced exactly and fine pixel (1 + FACTOR (r-1), 1 + FACTOR
%   (c-1)) equals pixel (r, c). korvex_reconstruct up-samples its frames the same way (in
%   C++); this is the Octave version, for displays (a widefield image on the fine grid) and
%   checks.
%
%   Example:
%     widefield = korvex_upsample(mean(frames, 3), 2);
%
%   See also KORVEX_RECONSTRUCT.
[h, w, f] = size(frames);
fine = zeros(factor * h, factor * w, f);
for k = 1:f
  spectrum = fftshift(fft2(double(frames(:, :, k))));
  if mod(h, 2) == 0
    spectrum = [spectrum(1, :) / 2; spectrum(2:end, :); spectrum(1, :) / 2];
  end
  if mod(w, 2) == 0
    spectrum = [spectrum(:, 1) / 2, spectrum(:, 2:end), spectrum(:, 1) / 2];
  end
  padded = zeros(factor * h, factor * w);
  r0 = floor(factor * h / 2) - floor(h / 2);
  c0 = floor(factor * w / 2) - floor(w / 2);
  padded(r0 + (1:size(spectrum, 1)), c0 + (1:size(spectrum, 2))) = spectrum;
  fine(:, :, k) = real(ifft2(ifftshift(padded))) * factor^2;
end
end
