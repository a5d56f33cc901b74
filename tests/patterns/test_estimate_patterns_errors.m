function test_estimate_patterns_errors()
% Bad input gets an error naming the argument, and the next good call still works.
otf = korvex_otf(64, 64, 1.0, 0.52, 0.065);
frames = rand(64, 64, 9);
withNan = frames;
withNan(3, 4, 5) = NaN;
cases = {
  'korvex:badSize', 'frames hold 8 frames', @() korvex_estimate_patterns(frames(:, :, 1:8), otf);
  'korvex:badSize', 'otf must be 64 x 64', @() korvex_estimate_patterns(frames, otf(1:63, :));
  'korvex:badParameter', 'frames hold NaN or Inf', @() korvex_estimate_patterns(withNan, otf);
  'korvex:badParameter', 'otf hold NaN or Inf', @() korvex_estimate_patterns(frames, otf + Inf);
  'korvex:badParameter', 'frames must be real', @() korvex_estimate_patterns(complex(frames), otf);
  'korvex:badParameter', 'otf must be full', @() korvex_estimate_patterns(frames, sparse(otf));
  'korvex:badParameter', 'or an integer class, not logical', ...
      @() korvex_estimate_patterns(frames > 0.5, otf);
  'korvex:badParameter', 'orders 2 needs at least 5 phases', ...
      @() korvex_estimate_patterns(frames, otf, 'orders', 2);
  'korvex:badParameter', 'orders must be ''auto'', 1 or 2', ...
      @() korvex_estimate_patterns(frames, otf, 'orders', 3);
  'korvex:badParameter', 'background must be a real scalar or a 64 x 64 image', ...
      @() korvex_estimate_patterns(frames, otf, 'background', ones(64, 63));
  'korvex:badParameter', 'gain must be a positive finite number', ...
      @() korvex_estimate_patterns(frames, otf, 'gain', 0);
  'korvex:badParameter', 'phases must be at least 3', ...
      @() korvex_estimate_patterns(frames(:, :, 1:6), otf, 'angles', 3, 'phases', 2);
  'korvex:badParameter', 'too small', ...
      @() korvex_estimate_patterns(rand(12, 12, 9), korvex_otf(12, 12, 1.0, 0.52, 0.065));
  'korvex:badParameter', 'too small for the pattern', ...
      @() korvex_estimate_patterns(frames, korvex_otf(64, 64, 0.2, 0.52, 0.065));
  'korvex:badParameter', 'unknown option ''angle''', ...
      @() korvex_estimate_patterns(frames, otf, 'angle', 3);
  'korvex:badParameter', 'angleGuess must hold one angle, or one per orientation', ...
      @() korvex_estimate_patterns(frames, otf, 'angleGuess', [0 1]);
};
for i = 1:size(cases, 1)
  raised = false;
  try
    cases{i, 3}();
  catch failure
    raised = true;
    check(strcmp(failure.identifier, cases{i, 1}), ...
          sprintf('case %d: identifier %s, expected %s', i, failure.identifier, cases{i, 1}));
    check(~isempty(strfind(failure.message, cases{i, 2})), ...
          sprintf('case %d: "%s" does not mention "%s"', i, failure.message, cases{i, 2}));
  end
  check(raised, sprintf('case %d: no error (expected "%s")', i, cases{i, 2}));
end
masks = korvex_estimate_patterns(single(frames), otf);
check(isa(masks, 'single') && isequal(size(masks), [64, 64, 9]), 'a good call after the errors');
% An OTF whose passband reaches the Nyquist frequency: the frames alias, and the call says so.
coarse = korvex_otf(64, 64, 1.2, 0.52, 0.13);
lastwarn('');
korvex_estimate_patterns(frames, coarse);
[message, id] = lastwarn();
check(strcmp(id, 'korvex:undersampled') && ~isempty(strfind(message, 'finer camera pixel')), ...
      'an undersampled OTF warns');
end

function check(condition, label)
if ~condition
  error('test:failed', '%s', label);
end
end
