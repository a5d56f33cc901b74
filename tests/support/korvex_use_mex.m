function korvex_use_mex(mexdir, required)
%KORVEX_USE_MEX Put the built KorvexCUDA MEX first on the path, or skip the test without it.
%   A build that should have produced the MEX (REQUIRED true) fails instead of skipping.
if exist(fullfile(mexdir, 'KorvexCUDA.mex'), 'file') ~= 2 && ...
   exist(fullfile(mexdir, 'KorvexCUDA.mex'), 'file') ~= 3
  if required
    error('test:failed', 'KorvexCUDA.mex is missing from %s although the build makes it.', ...
          mexdir);
  end
  fprintf('SKIP: KorvexCUDA.mex is not built in %s\n', mexdir);
  exit(77);
end
addpath(mexdir);
if exist('KorvexCUDA') ~= 3  %#ok<EXIST>
  error('test:failed', 'KorvexCUDA resolves to %s, not the MEX file.', which('KorvexCUDA'));
end
korvex_skip_without_device();
end
