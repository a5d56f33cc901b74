function test_reconstruct_out_of_focus()
%TEST_RECONSTRUCT_OUT_OF_FOCUS korvex_reconstruct's out-of-focus options reach the pipeline
%   and come back in info: refusals name the MATLAB option, the model off reports no haze, and
%   a hazy stack reconstructed with the model on reports the haze it found.
[frames, pattern] = hazy_stack();
good = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1, 'pattern', pattern, ...
        'iterations', 40, 'immersion', 1.33};

expect(frames, [good, {'defocus', -1, 'outOfFocus', true}], 'defocus must not be negative');
expect(frames, [good, {'outOfFocusWidth', -0.5, 'outOfFocus', true}], ...
       'outOfFocusWidth must not be negative');
expect(frames, [good, {'outOfFocus', 2}], 'outOfFocus must be true or false');
% A setting of the model with the model off would be ignored: refused instead.
expect(frames, [good, {'outOfFocus', false, 'defocus', 1.5}], ...
       'defocus applies to the out-of-focus model, which is off: set ''outOfFocus'' to true');
expect(frames, [good, {'outOfFocus', false, 'outOfFocusWidth', 0.6}], ...
       'outOfFocusWidth applies to the out-of-focus model');
expect(frames, [good, {'outOfFocus', false, 'outOfFocusCost', 0.95}], ...
       'outOfFocusCost applies to the out-of-focus model');
expect(frames, [good, {'outOfFocusCost', 1.2}], 'outOfFocusCost must be a number from 0 to 1');

[image, info] = korvex_reconstruct(frames, good{:}, 'outOfFocus', false);
assert(info.outOfFocusShare == 0, sprintf('share %g with the model off', info.outOfFocusShare));
assert(isempty(info.outOfFocus) && isa(info.outOfFocus, 'single'));
% Unset, the model follows the steps: on with the preconditioned ones, off with plain ones,
% where a setting of the model is refused as with the model off.
[~, info] = korvex_reconstruct(frames, good{:});
assert(info.outOfFocusShare > 0, sprintf('share %g by default', info.outOfFocusShare));
% A cheaper haze takes more of the light.
[~, cheap] = korvex_reconstruct(frames, good{:}, 'outOfFocusCost', 0.9);
assert(cheap.outOfFocusShare > info.outOfFocusShare, ...
       sprintf('share %g at cost 0.9, %g at 1', cheap.outOfFocusShare, info.outOfFocusShare));
[~, info] = korvex_reconstruct(frames, good{:}, 'precondition', false);
assert(info.outOfFocusShare == 0 && isempty(info.outOfFocus));
expect(frames, [good, {'precondition', false, 'defocus', 1.5}], ...
       'defocus applies to the out-of-focus model, which is off');

for precision = {'single', 'double'}
  [image, info] = korvex_reconstruct(frames, good{:}, 'outOfFocus', true, ...
                                     'precision', precision{1});
  check_haze(image, info, precision{1});
end
% The defocus reaches the pipeline: it refuses one it cannot model without the optics.
otf = korvex_otf(48, 56, 1.2, 0.52, 0.1);
expect(frames, {'otf', otf, 'pattern', pattern, 'outOfFocus', true, 'defocus', 1.5}, ...
       'defocus (1.5) needs na and wavelength');
[~, info] = korvex_reconstruct(frames, good{:}, 'outOfFocus', true, 'defocus', 1.5);
assert(isa(info.outOfFocus, 'single') && isscalar(info.outOfFocusShare));
korvex_reconstruct('release');
assert(~isempty(strfind(help('korvex_reconstruct'), 'outOfFocusShare')));
end

function check_haze(image, info, precision)
% Some of the glow is found (how much, after how many iterations, is the model's own
% business), and the haze comes on the output grid, in the image's class.
assert(isa(info.outOfFocus, precision), class(info.outOfFocus));
assert(isscalar(info.outOfFocusShare) && info.outOfFocusShare > 0 && ...
       info.outOfFocusShare < 1, sprintf('share %g', info.outOfFocusShare));
assert(isequal(size(info.outOfFocus), size(image)));
% Non-negative up to the transforms' rounding.
haze = double(info.outOfFocus(:));
assert(all(isfinite(haze)) && max(haze) > 0 && min(haze) >= -1e-5 * max(haze));
end

function [frames, pattern] = hazy_stack()
% 48 x 56 camera pixels of 0.1 um: beads in focus under 3 x 3 stripes, plus a broad
% unpatterned glow carrying twice their light.
rng(3, 'twister');
specimen = zeros(192, 224);
specimen(sub2ind(size(specimen), randi([9, 184], 1, 60), randi([9, 216], 1, 60))) = 1;
pattern = struct('angle', 0.2 + [0, pi / 3, 2 * pi / 3], ...
                 'period', 1 / (0.85 * 2 * 1.2 / 0.52) / 0.1, ...
                 'phase', repmat([0, 2 * pi / 3, 4 * pi / 3], 1, 3), 'modulation', 0.9);
frames = korvex_simulate_camera(specimen, 4, pattern, 'na', 1.2, 'wavelength', 0.52, ...
                                'pixelSize', 0.1, 'photons', Inf);
[x, y] = meshgrid(1:56, 1:48);
glow = exp(-((x - 20) .^ 2 + (y - 28) .^ 2) / (2 * 10 ^ 2));
glow = 2 * glow * sum(frames(:)) / (9 * sum(glow(:)));
frames = single(1000 * (frames + glow) / max(frames(:)));
end

function expect(frames, options, part)
try
  korvex_reconstruct(frames, options{:});
catch failure
  assert(strcmp(failure.identifier, 'korvex:badParameter'), ...
         sprintf('identifier %s for: %s', failure.identifier, failure.message));
  assert(~isempty(strfind(failure.message, part)), ...
         sprintf('expected "%s" in: %s', part, failure.message));
  return;
end
error('test:failed', 'no error; expected "%s"', part);
end
