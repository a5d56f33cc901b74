function acquisition_run_test(name)
%ACQUISITION_RUN_TEST Run the test function NAME; exit Octave with 0 on success, 1 on failure.
  if exist('korvex_reconstruct') ~= 3  %#ok<EXIST> the plain form also finds MEX files
    fprintf(2, 'korvex_reconstruct MEX not found first on the path: %s\n', ...
            which('korvex_reconstruct'));
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
