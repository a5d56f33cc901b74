function test_korvex_demo(mexdir, required, outdir)
% A small demo run through korvex_reconstruct: it prints its figures, writes the PNG, and the
% reconstruction matches the ground truth better than widefield does, and resolves finer.
korvex_use_mex(mexdir, required);
output = fullfile(outdir, 'korvex_demo_test.png');
if exist(output, 'file')
  delete(output);
end
results = korvex_demo('size', 64, 'iterations', 30, 'output', output);

check(exist(output, 'file') == 2, 'PNG written');
picture = imread(output);
check(size(picture, 1) >= 128 && size(picture, 2) >= 3 * 128, 'PNG holds the panels');
check(results.iterations >= 2 && results.iterations <= 30, 'iteration count in range');
check(results.reconstructionCorrelation > results.widefieldCorrelation, ...
      sprintf('reconstruction correlates better (%.4f) than widefield (%.4f)', ...
              results.reconstructionCorrelation, results.widefieldCorrelation));
check(results.reconstructionError < results.widefieldError, ...
      'reconstruction is closer to the truth after scaling');
check(results.reconstructionResolution < results.widefieldResolution - 30, ...
      sprintf('reconstruction resolves %.0f nm, widefield %.0f nm', ...
              results.reconstructionResolution, results.widefieldResolution));
end

function check(condition, label)
if ~condition
  error('test:failed', 'korvex_demo: %s', label);
end
end
