function test_reconstruct_errors()
%TEST_RECONSTRUCT_ERRORS Bad input is refused with korvex:badParameter naming the argument;
%   the next good call works.
frames = single(1 + rand(32, 32, 9));
pattern = struct('angle', [0, pi / 3, 2 * pi / 3], 'period', 2.6, 'phase', [0, 2.1, 4.2]);
good = {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1, 'pattern', pattern, 'iterations', 2};
expect(frames, {'wavelength', 0.52, 'pixelSize', 0.1}, 'na must be given');
expect(frames, {'na', 1.2, 'pixelSize', 0.1}, 'wavelength must be given');
expect(frames, [good, {'na', 1.4, 'immersion', 1.33}], 'na (1.4) must be below the immersion');
expect(frames, [good, {'pixelSize', 0.25}], 'pixelSize (0.25) is too coarse');
expect(frames, [good, {'upsample', 0}], 'upsample must be a whole number');
expect(frames, [good, {'upsample', 2.5}], 'upsample must be a whole number');
expect(frames, [good, {'upsample', 5000}], 'too large for the engine');
expect(frames, [good, {'otf', ones(31, 32)}], 'otf must be 32 x 32 (the camera grid) or 64 x 64');
expect(frames, [good, {'otf', 0.5 * ones(64)}], 'otf must be 1 at zero frequency');
expect(frames(:, :, 1:8), good, 'frames must hold angles x phases = 3 x 3 = 9 frames');
expect(complex(frames), good, 'frames must be real, not complex');
expect(frames, [good, {'colour', 1}], 'unknown option ''colour''');
% The rules shared with korvex_estimate_patterns: counts within their caps, text option names.
expect(frames, [good, {'angles', 2.5}], 'angles must be a whole number from 1 to 64, got 2.5');
expect(frames, [good, {'iterations', int8(-1)}], 'iterations must be a whole number from 0');
expect(frames, [good, {3, 1}], 'option name 6 must be text');
% Lengths in mixed units, with the pattern given: refused with the likely unit.
expect(frames, [good, {'wavelength', 520}], 'wavelength 520 looks like nanometres');
% Finite doubles that single precision cannot hold are refused, not turned into Inf.
expect(1e39 * double(frames), [good, {'precision', 'single'}], 'beyond single precision''s range');
expect(frames, [good, {'precision', 'half'}], 'precision must be');
expect(frames, [good, {'nonnegative', 2}], 'nonnegative must be true or false');
expect(frames, [good, {'nonnegative', [true, false]}], 'nonnegative must be true or false');
expect(frames, [good, {'dataTerm', 'raw'}], 'dataTerm must be ''frames'' or ''masked''');
expect(frames, [good, {'start', 'zero'}], 'start must be ''widefield'' or ''fourier'', got ''zero''');
expect(frames, [good, {'precondition', 'yes'}], 'precondition must be true or false');
expect(frames, [good, {'sparsity', -1}], 'sparsity must be a non-negative finite number');
expect(frames, [good, {'nonnegative', false, 'sparsity', 0.5}], 'sparsity needs nonnegative');
% Without the constraint the sparsity's default is 0, not a refusal.
korvex_reconstruct(frames, good{:}, 'nonnegative', false);
bad = frames;
bad(5) = NaN;
expect(bad, good, 'frames hold NaN or Inf');
expect(frames, [good, {'orders', 3}], 'orders must be ''auto'', 1 or 2');
expect(frames, [good, {'orders', 'all'}], 'orders must be ''auto'', 1 or 2');
expect(frames, [good, {'background', ones(32, 31)}], 'background must be a real scalar or a 32 x 32');
expect(frames, [good, {'gain', -2}], 'gain must be a positive finite number');
third = pattern;
third.period = 4.5;
third.modulation2 = 1.5;
expect(frames, [good, {'pattern', third}], 'pattern.modulation2 must lie in [0, 1]');
third.modulation2 = [0.5, 0.5];
expect(frames, [good, {'pattern', third}], 'pattern.modulation2 must be a scalar or hold one');
expect(frames, {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1, 'orders', 2}, ...
       'orders 2 needs at least 5 phases');
expect(frames(1:12, 1:12, :), {'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1}, ...
       'frames of 12 x 12 pixels are too small to estimate the pattern from');

% A camera pixel coarser than wavelength / (4 NA) = 0.108: a warning with the remedy.
lastwarn('');
korvex_reconstruct(frames, good{:}, 'pixelSize', 0.11);
[message, identifier] = lastwarn();
assert(strcmp(identifier, 'korvex:undersampled'), identifier);
assert(~isempty(strfind(message, 'at most 0.108333')) && ...
       ~isempty(strfind(message, 'upsample does not help')), message);

image = korvex_reconstruct(frames, good{:});
assert(isequal(size(image), [64, 64]));

% No stripes at all: a warning naming the orientation, and still an image.
blank = repmat(single(100 + 10 * rand(32, 32)), [1, 1, 9]) + single(rand(32, 32, 9));
lastwarn('');
[image, info] = korvex_reconstruct(blank, 'na', 1.2, 'wavelength', 0.52, 'pixelSize', 0.1);
[message, identifier] = lastwarn();
assert(strcmp(identifier, 'korvex:lowModulation') && ~isempty(strfind(message, 'orientation')));
assert(info.estimated && all(isfinite(image(:))));
korvex_reconstruct('release');
assert(~isempty(strfind(help('korvex_reconstruct'), '''upsample''')));
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
