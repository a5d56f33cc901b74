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
% A cuda build on a machine without a usable GPU cannot run anything: skip, with the reason.
try
  KorvexCUDA(ones(16, 16, 'single'), ones(16, 16, 'single'), ones(16, 16, 'single'), 0, 0, 0, 1);
  KorvexCUDA(0);
catch failure
  noDevice = {'No CUDA Capable Device', 'Insufficient Driver', ...
              'Device Architecture Not Supported', 'cudaErrorNoDevice', ...
              'cudaErrorInsufficientDriver'};
  for i = 1:numel(noDevice)
    if ~isempty(strfind(failure.message, noDevice{i}))
      fprintf('SKIP: no usable CUDA device: %s\n', strtrim(failure.message));
      exit(77);
    end
  end
  rethrow(failure);
end
end
