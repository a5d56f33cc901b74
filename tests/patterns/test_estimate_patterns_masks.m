function test_estimate_patterns_masks()
% The masks estimated from korvex_simulate's frames reproduce the true ones; korvex_masks
% rebuilds them from the pattern struct; a stack without stripes warns.
H = 150;
W = 181;  % odd and non-square
otf = korvex_otf(H, W, 1.0, 0.52, 0.065);
truth = korvex_test_object(H, W);
angles = [0.4, 0.4 + pi / 3, 0.4 + 2 * pi / 3];
periods = [5.2, 5.18, 5.23];
depths = [0.9, 0.6, 0.75];
steps = [0, 2 * pi / 3 + 0.12, 4 * pi / 3 - 0.15];  % steps off equal by 7 and 9 degrees
phases = [steps + 0.5, steps + 2.0, steps + 4.1];
masks = korvex_masks(H, W, periods, angles, phases, depths);
frames = korvex_simulate(truth, masks, otf, 'photons', 1000, 'seed', 2);

[estimated, pattern] = korvex_estimate_patterns(single(frames), otf);
check(isa(estimated, 'single'), 'masks take the class of the frames');
check(isequal(fieldnames(pattern)', {'angle', 'period', 'phase', 'modulation', 'mcnr', ...
                                     'modulation2', 'phase2', 'mcnr2'}), 'pattern fields');
check(isequal(pattern.modulation2, [0 0 0]), 'no second harmonic with 3 phases');
check(isequal(size(pattern.phase), [1, 9]) && isequal(size(pattern.angle), [1, 3]), ...
      'pattern sizes');
rebuilt = korvex_masks(H, W, pattern.period, pattern.angle, pattern.phase, pattern.modulation);
check(max(abs(rebuilt(:) - double(estimated(:)))) < 1e-5, 'korvex_masks rebuilds the masks');
rebuilt = korvex_masks(H, W, pattern);
check(max(abs(rebuilt(:) - double(estimated(:)))) < 1e-5, 'and from the struct itself');

% Camera counts: uint16 with an offset and a gain, given as such, estimate the same pattern.
counts = uint16(round(2 * frames + 1000));
[~, fromCounts] = korvex_estimate_patterns(counts, otf, 'background', 1000, 'gain', 2);
check(max(abs(fromCounts.period - pattern.period)) < 1e-3 && ...
      max(abs(fromCounts.modulation - pattern.modulation)) < 0.01, 'uint16 counts in photons');
[~, offsetLeft] = korvex_estimate_patterns(counts, otf);
check(all(offsetLeft.modulation < 0.9 * pattern.modulation), 'an offset left lowers the depth');

% Within the tolerances: wave vector 0.03 grid bins, phase 3 degrees, depth 0.05.
k = @(a, p) [cos(a) ./ p * W; sin(a) ./ p * H];
kError = max(sqrt(sum((k(pattern.angle, pattern.period) - k(angles, periods)).^2, 1)));
check(kError <= 0.03, sprintf('wave vector error %.4f bins', kError));
phaseError = max(abs(mod(pattern.phase - phases + pi, 2 * pi) - pi)) * 180 / pi;
check(phaseError <= 3, sprintf('phase error %.2f degrees', phaseError));
check(max(abs(pattern.modulation - depths)) <= 0.05, 'depth error');
check(all(pattern.mcnr > 3), 'the stripes are found');
% The masks themselves: what a depth error of 0.05 and a phase error of 3 degrees allow.
check(max(abs(double(estimated(:)) - masks(:))) < 0.05 + 3 * pi / 180, 'masks reproduced');

% No stripes: a warning for each orientation, still a finite estimate.
plain = korvex_simulate(truth, ones(H, W, 9), otf, 'photons', 1000, 'seed', 3);
lastwarn('');
[~, blank] = korvex_estimate_patterns(plain, otf);  % prints the warnings it checks
[message, id] = lastwarn();
check(strcmp(id, 'korvex:lowModulation'), 'a stack without stripes warns');
check(~isempty(strfind(message, 'orientation')) && ~isempty(strfind(message, 'MCNR')), ...
      'the warning names the orientation and its MCNR');
values = [blank.angle, blank.period, blank.phase, blank.modulation, blank.mcnr];
check(all(isfinite(values)) && all(blank.modulation >= 0 & blank.modulation <= 1), ...
      'finite estimate, depth in [0, 1]');
end

function check(condition, label)
if ~condition
  error('test:failed', '%s', label);
end
end
