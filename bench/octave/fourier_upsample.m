function fine = fourier_upsample(frames, factor)
%FOURIER_UPSAMPLE Frames on a FACTOR times finer grid by zero-padding their spectra.
%   The Nyquist bin of an even size is split in halves between +N/2 and -N/2, as the
%   acquisition pipeline does, so fine pixel (1 + FACTOR (r-1), 1 + FACTOR (c-1)) is frame
%   pixel (r, c). An independent Octave version of the pipeline's up-sampling.
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
