function korvex_skip_without_device()
%KORVEX_SKIP_WITHOUT_DEVICE Exit with code 77 (skipped) where KorvexCUDA cannot reach a device.
%   A cuda build on a machine without a usable GPU cannot run any reconstruction; the test
%   is then reported as skipped, with the engine's message as the reason.
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
