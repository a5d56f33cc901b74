function korvex_run_test(name, mex)
%KORVEX_RUN_TEST  Run the test function NAME against the built MEX file MEX and exit Octave
%   with 0 on success, 1 on failure and 77 (skipped) where no CUDA device is usable. MEX must
%   come first on the path, ahead of the .m file that only carries its help.
  if exist(mex) ~= 3  %#ok<EXIST> the plain form also finds MEX files
    fprintf(2, '%s MEX not found first on the path: %s\n', mex, which(mex));
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
