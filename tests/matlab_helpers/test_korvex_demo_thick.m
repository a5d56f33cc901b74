function test_korvex_demo_thick(mexdir, required, outdir)
% The thick-specimen demo: the frames carry a haze that leaks into the plain reconstruction,
% the out-of-focus model finds some of it and lowers the leak, and the figure shows both
% reconstructions.
korvex_use_mex(mexdir, required);
output = fullfile(outdir, 'korvex_demo_thick_test.png');
if exist(output, 'file')
  delete(output);
end
results = korvex_demo('thick', 'size', 64, 'iterations', 30, 'output', output);

check(exist(output, 'file') == 2, 'PNG written');
picture = imread(output);
check(size(picture, 2) >= 5 * 64, 'PNG holds the five panels');
check(results.outOfFocusShare > 0 && results.outOfFocusShare < 1, ...
      sprintf('out-of-focus share %.3f for haze carrying twice the in-focus light', ...
              results.outOfFocusShare));
check(isequal(size(results.haze), size(results.sectioned)) && max(results.haze(:)) > 0, ...
      'the haze image is on the output grid');
check(results.sectionedLeak < results.plainLeak, ...
      sprintf('leak %.3f with the model, %.3f without', results.sectionedLeak, ...
              results.plainLeak));
check(results.plainLeak > 0.5, sprintf('leak %.3f without the model', results.plainLeak));
% 'haze' belongs to the thick variant only.
try
  korvex_demo('haze', 2);
  error('test:failed', 'korvex_demo: haze without thick accepted');
catch failure
  check(~isempty(strfind(failure.message, 'thick-specimen variant')), failure.message);
end
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_demo thick: %s', label);
end
end
