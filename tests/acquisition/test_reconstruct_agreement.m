function test_reconstruct_agreement()
%TEST_RECONSTRUCT_AGREEMENT korvex_reconstruct equals KorvexCUDA fed the fine grid by hand,
%   when it runs KorvexCUDA's iteration (plain steps, no constraint, the masked data term).
%   The hand-made inputs come from the MATLAB helpers alone: frames up-sampled by zero-padding
%   their spectra, korvex_masks at the fine grid's coordinates (period doubled) and korvex_otf
%   for pixels of half the side. Odd and even, non-square sizes, unequal per-frame phases and
%   per-orientation depths; integer frames as well; and a 3-beam pattern's second harmonic.
for size_ = [23, 30; 32, 27]'
  h = size_(1);
  w = size_(2);
  pattern = struct('angle', [0.2, 1.3, 2.4], 'period', [2.9, 3.1, 3.0], ...
                   'phase', [0.1, 2.0, 4.4, 0.3, 2.5, 4.1, 1.0, 3.0, 5.2], ...
                   'modulation', [0.9, 0.7, 1.0]);
  frames = 100 + round(50 * rand(h, w, 9));
  optics = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1, 'nonnegative', false, ...
            'dataTerm', 'masked', 'lambda', 0.01, 'precondition', false};
  [image, info] = korvex_reconstruct(frames, optics{:}, 'pattern', pattern, ...
                                     'iterations', 8, 'precision', 'double');
  assert(isequal(size(image), [2 * h, 2 * w]) && isa(image, 'double'));
  assert(abs(info.pixelSize - 0.05) < 1e-15 && info.iterations == 8 && ~info.estimated);

  masks = zeros(2 * h, 2 * w, 9);
  for a = 1:3
    k = (a - 1) * 3 + (1:3);
    masks(:, :, k) = korvex_masks(2 * h, 2 * w, 2 * pattern.period(a), pattern.angle(a), ...
                                  pattern.phase(k), pattern.modulation(a));
  end
  otf = korvex_otf(2 * h, 2 * w, 1.2, 0.52, 0.05);
  direct = KorvexCUDA(korvex_upsample(frames, 2), masks, otf, 8, 0, 0.01, 0.05);
  KorvexCUDA(0);
  difference = norm(direct(:) - image(:)) / norm(direct(:));
  assert(difference < 1e-9, sprintf('%d x %d: relative difference %g', h, w, difference));

  single_ = korvex_reconstruct(uint16(frames), optics{:}, 'pattern', pattern, ...
                               'iterations', 8);
  assert(isa(single_, 'single'));
  difference = norm(double(single_(:)) - image(:)) / norm(image(:));
  assert(difference < 1e-3, sprintf('uint16 frames: relative difference %g', difference));
end

% 3-beam: 5 phases, a second harmonic of its own depth and phase constant per orientation.
h = 23;
w = 30;
pattern = struct('angle', [0.2, 1.3, 2.4], 'period', [4.4, 4.6, 4.5], ...
                 'phase', mod((0:14) * 2 * pi / 5 + 0.1 * (1:15), 2 * pi), ...
                 'modulation', [0.9, 0.7, 1.0], 'modulation2', [0.5, 0.3, 0.6], ...
                 'phase2', [0.4, 1.7, 3.0]);
frames = 100 + round(50 * rand(h, w, 15));
[image, info] = korvex_reconstruct(frames, optics{:}, 'pattern', pattern, 'phases', 5, ...
                                   'iterations', 8, 'precision', 'double');
assert(isequal(info.pattern.modulation2, pattern.modulation2) && ...
       isequal(info.pattern.phase2, pattern.phase2) && isempty(info.pattern.mcnr2));
fine = pattern;
fine.period = 2 * pattern.period;
direct = KorvexCUDA(korvex_upsample(frames, 2), korvex_masks(2 * h, 2 * w, fine), ...
                    korvex_otf(2 * h, 2 * w, 1.2, 0.52, 0.05), 8, 0, 0.01, 0.05);
KorvexCUDA(0);
difference = norm(direct(:) - image(:)) / norm(direct(:));
assert(difference < 1e-9, sprintf('3-beam: relative difference %g', difference));
korvex_reconstruct('release');
end
