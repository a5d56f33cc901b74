function patterns_run_test(name, mexdir, required)
%PATTERNS_RUN_TEST Run test NAME with the built korvex_estimate_patterns MEX; exit 0 on
%   success, 1 on failure, 77 (skipped) where the MEX is not built (and not REQUIRED) or no
%   device is usable.
if exist(fullfile(mexdir, 'korvex_estimate_patterns.mex'), 'file') == 0
  if required
    fprintf(2, 'korvex_estimate_patterns.mex is missing from %s although the build makes it\n', ...
            mexdir);
    exit(1);
  end
  fprintf('SKIP: korvex_estimate_patterns.mex is not built in %s\n', mexdir);
  exit(77);
end
addpath(mexdir);  % ahead of matlab/, whose .m files only carry the help
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
