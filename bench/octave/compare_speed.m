function results = compare_speed(varargin)
%COMPARE_SPEED Time KorvexCUDA against the plain Octave/MATLAB implementation of MAP-SIM.
%   COMPARE_SPEED runs korvex_reference (matlab/reference) and KorvexCUDA on the same
%   simulated 512 x 512 x 9 acquisition with the same settings and iteration count, in single
%   and then double precision, checks that the two results agree, and prints both times and
%   their ratio (reference time / KorvexCUDA time; the host backend aims at 3 or more).
%
%   RESULTS = COMPARE_SPEED(...) returns one struct per precision with the figures printed.
%
%   Name/value options (defaults in brackets):
%     'size'        image size N or [HEIGHT WIDTH] [512]
%     'iterations'  iteration count of both runs [20]
%     'repeats'     timed runs of each, the fastest counts [3]
%     'precision'   'single', 'double' or 'both' [both]
%     'tolerance'   largest relative difference (2-norm) accepted as agreement,
%                   per precision as [single double] [1e-3 1e-9]
%     'mexdir'      folder holding the KorvexCUDA MEX file [newest build/*/matlab]
%
%   Agreement is judged after a modest number of iterations: once the estimate has converged,
%   the Barzilai-Borwein step is a quotient of tiny differences, and rounding (the order of
%   sums, FFT algorithms) makes the two step sequences drift apart, more so in single
%   precision, without either result being worse.
%
%   Run from the repository root, for example:
%     octave-cli --eval "addpath('bench/octave'); compare_speed"
%   Errors when the results disagree, so that a scripted run fails visibly.

options = parse_options(varargin);
here = fileparts(mfilename('fullpath'));
repository = fileparts(fileparts(here));
addpath(fullfile(repository, 'matlab'));
addpath(fullfile(repository, 'matlab', 'reference'));
add_engine(options.mexdir, repository);

height = options.size(1);
width = options.size(end);
truth = korvex_test_object(height, width);
otf = korvex_otf(height, width, 1.0, 0.52, 0.065);
masks = korvex_masks(height, width, 5);
frames = korvex_simulate(truth, masks, otf, 'photons', 1000, 'seed', 1);
% Threshold 0 never stops the loop early, so both run exactly the same number of iterations.
threshold = 0;
lambda = 0.01;
alpha = 0.05;

if strcmp(options.precision, 'both')
  precisions = {'single', 'double'};
else
  precisions = {options.precision};
end
fprintf(['compare_speed: %d x %d x %d frames, %d iterations, %d CPU cores, FFTW threads ' ...
         '%s, best of %d runs\n'], height, width, size(frames, 3), options.iterations, ...
        nproc_count(), fftw_threads(), options.repeats);

results = struct([]);
agreeAll = true;
for p = 1:numel(precisions)
  cls = precisions{p};
  args = {cast(frames, cls), cast(masks, cls), cast(otf, cls), options.iterations, ...
          threshold, lambda, alpha};
  [engineSeconds, engineOut] = best_time(@KorvexCUDA, args, options.repeats);
  [referenceSeconds, referenceOut] = best_time(@korvex_reference, args, options.repeats);
  KorvexCUDA(0);

  difference = norm(double(engineOut{1}(:)) - double(referenceOut{1}(:))) / ...
               norm(double(referenceOut{1}(:)));
  tolerance = options.tolerance(1 + strcmp(cls, 'double'));
  sameCount = double(engineOut{2}) == double(referenceOut{2});
  agree = sameCount && difference <= tolerance;
  agreeAll = agreeAll && agree;

  entry = struct('precision', cls, 'engineSeconds', engineSeconds, ...
                 'referenceSeconds', referenceSeconds, ...
                 'ratio', referenceSeconds / engineSeconds, 'difference', difference, ...
                 'engineIteration', double(engineOut{2}), ...
                 'referenceIteration', double(referenceOut{2}), 'agree', agree);
  results = [results, entry];  %#ok<AGROW>
  fprintf(['  %-6s reference %8.3f s (%7.2f ms/iteration)   KorvexCUDA %8.3f s ' ...
           '(%7.2f ms/iteration)   ratio %6.2f (target >= 3)\n'], cls, referenceSeconds, ...
          1e3 * referenceSeconds / options.iterations, engineSeconds, ...
          1e3 * engineSeconds / options.iterations, entry.ratio);
  fprintf('         relative difference %.3g (tolerance %.3g), last iteration %d vs %d: %s\n', ...
          difference, tolerance, entry.engineIteration, entry.referenceIteration, ...
          agreement_text(agree));
end
if ~agreeAll
  error('korvex:disagree', 'compare_speed: KorvexCUDA and the reference disagree.');
end
if nargout == 0
  clear results;
end
end

function [seconds, outputs] = best_time(reconstruct, args, repeats)
outputs = cell(1, 4);
% One untimed run: the first call builds the engine (and plans the FFTs), which a series of
% reconstructions pays once.
[outputs{:}] = reconstruct(args{:});
seconds = Inf;
for r = 1:repeats
  started = tic;
  [outputs{:}] = reconstruct(args{:});
  seconds = min(seconds, toc(started));
end
end

function text = agreement_text(agree)
if agree
  text = 'agree';
else
  text = 'DISAGREE';
end
end

function n = nproc_count()
if exist('nproc', 'builtin') || exist('nproc', 'file')
  n = nproc();
else
  n = feature('numcores');
end
end

function text = fftw_threads()
if exist('OCTAVE_VERSION', 'builtin') ~= 0
  text = sprintf('%d', fftw('threads'));
else
  text = 'MATLAB default';
end
end

function add_engine(mexdir, repository)
if ~isempty(mexdir)
  addpath(mexdir);
elseif exist('KorvexCUDA') ~= 3  %#ok<EXIST> the plain form also finds MEX files on the path
  if exist('OCTAVE_VERSION', 'builtin') ~= 0
    mexName = 'KorvexCUDA.mex';
  else
    mexName = ['KorvexCUDA.', mexext];
  end
  found = dir(fullfile(repository, 'build', '*', 'matlab', mexName));
  if isempty(found)
    error('korvex:noEngine', ['compare_speed: no KorvexCUDA build under %s; build one ' ...
          'or pass ''mexdir''.'], fullfile(repository, 'build'));
  end
  [~, newest] = max([found.datenum]);
  addpath(found(newest).folder);
end
fprintf('compare_speed: KorvexCUDA from %s\n', fileparts(which('KorvexCUDA')));
end

function options = parse_options(args)
caller = 'compare_speed';
options = struct('size', [512, 512], 'iterations', 20, 'repeats', 3, 'precision', 'both', ...
                 'tolerance', [1e-3, 1e-9], 'mexdir', '');
if mod(numel(args), 2) ~= 0
  error('korvex:badParameter', '%s: options come as name/value pairs.', caller);
end
for i = 1:2:numel(args)
  name = lower(args{i});
  value = args{i + 1};
  switch name
    case 'size'
      options.size = double([value(1), value(end)]);
    case {'iterations', 'repeats'}
      options.(name) = double(value);
    case 'precision'
      if ~any(strcmp(value, {'single', 'double', 'both'}))
        error('korvex:badParameter', '%s: precision must be single, double or both.', caller);
      end
      options.precision = value;
    case 'tolerance'
      options.tolerance = double(value) .* [1, 1];
      if numel(value) == 2
        options.tolerance = double(value(:)');
      end
    case 'mexdir'
      options.mexdir = value;
    otherwise
      error('korvex:badParameter', '%s: unknown option ''%s''.', caller, args{i});
  end
end
end
