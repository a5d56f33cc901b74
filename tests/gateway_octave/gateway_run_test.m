function gateway_run_test(name)
%GATEWAY_RUN_TEST  Run the test function NAME and exit Octave with 0 on success, 1 on failure.
  if exist('KorvexCUDA', 'file') ~= 3
    fprintf(2, 'KorvexCUDA MEX not found on the path: %s\n', path());
    exit(1);
  end
  korvex_skip_without_device();
  try
    feval(name);
  catch err
    fprintf(2, '%s failed: %s\n', name, err.message);
    for s = err.stack'
      fprintf(2, '  at %s line %d\n', s.name, s.line);
    end
    exit(1);
  end
  fprintf('%s passed\n', name);
  exit(0);
end
