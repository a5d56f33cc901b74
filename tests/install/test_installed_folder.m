function test_installed_folder(folder, outdir)
% The installed folder on its own: KorvexCUDA resolves to its MEX file, the help file and the
% helpers (private functions included) are there, and the demo runs through it.
check(exist('KorvexCUDA') == 3, 'KorvexCUDA is a MEX file');  %#ok<EXIST>
check(exist('korvex_reconstruct') == 3, 'korvex_reconstruct is a MEX file');  %#ok<EXIST>
for name = {'KorvexCUDA', 'korvex_reconstruct', 'korvex_demo', 'korvex_otf', 'korvex_masks', ...
            'korvex_simulate', 'korvex_simulate_camera', 'korvex_upsample', 'korvex_frc', ...
            'korvex_test_object'}
  where = fileparts(which(name{1}));
  check(strcmp(where, folder), sprintf('%s comes from %s, not the installed folder', ...
                                       name{1}, where));
end
check(exist(fullfile(folder, 'KorvexCUDA.m'), 'file') == 2, 'the help file is installed');
check(~isempty(strfind(help('KorvexCUDA'), 'KorvexCUDA(SEQ, MASKS, OTF')), ...
      '`help KorvexCUDA` shows the help file');
check(exist(fullfile(folder, 'reference'), 'dir') == 0, 'the tests'' reference stays out');
korvex_skip_without_device();

output = fullfile(outdir, 'installed_demo.png');
results = korvex_demo('size', 64, 'iterations', 20, 'output', output);
check(exist(output, 'file') == 2, 'the demo wrote its figure');
check(results.reconstructionCorrelation > results.widefieldCorrelation, ...
      sprintf('reconstruction correlates better (%.4f) than widefield (%.4f)', ...
              results.reconstructionCorrelation, results.widefieldCorrelation));
end

function check(condition, label)
if ~condition
  error('test:failed', 'installed folder: %s', label);
end
end
