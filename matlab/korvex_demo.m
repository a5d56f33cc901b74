function results = korvex_demo(varargin)
%KORVEX_DEMO Simulate a structured-illumination acquisition and reconstruct it with KorvexCUDA.
%   KORVEX_DEMO builds a test specimen (Siemens star, lines at six angles, sub-resolution beads;
%   see KORVEX_TEST_OBJECT), images it through a 1.0 NA objective at 520 nm with 65 nm pixels
%   under 9 illumination patterns (3 orientations x 3 phases, period 5 pixels, i.e. 0.8 of the
%   optical cut-off) with Poisson noise, estimates the patterns from the frames with
%   KORVEX_ESTIMATE_PATTERNS (as a real acquisition needs), reconstructs the super-resolved
%   image with KorvexCUDA and the estimated masks, prints the estimate beside the true
%   patterns with its MCNR, the iteration count, the time and how well widefield and
%   reconstruction match the ground truth, and writes a PNG figure (widefield,
%   reconstruction, ground truth and their log power spectra).
%
%   RESULTS = KORVEX_DEMO(...) also returns a struct with the images and the figures printed.
%
%   Name/value options (defaults in brackets):
%     'size'          image size N or [HEIGHT WIDTH] [256]
%     'iterations'    iteration limit [40]
%     'lambda'        smoothness weight [0.01]
%     'alpha'         first step size [0.05]
%     'threshold'     convergence threshold [1e-3]
%     'photons'       photons at the brightest noise-free pixel [1000]
%     'background'    background photons per pixel, subtracted before reconstruction [10]
%     'seed'          random seed of the noise [1]
%     'precision'     'single' or 'double' [single]
%     'output'        path of the PNG figure [korvex_demo.png in the current folder]
%     'reconstructor' function with KorvexCUDA's inputs and outputs [@KorvexCUDA]
%     'masks'         'estimated' (from the frames) or 'true' (those the frames were
%                     simulated with) [estimated]
%
%   When KorvexCUDA is not on the path, the demo looks for a build of it under build/*/matlab
%   beside this folder and adds the newest one to the path.
%
%   Example:
%     korvex_demo('size', 128, 'output', '/tmp/demo.png')
%
%   See also KORVEXCUDA, KORVEX_OTF, KORVEX_MASKS, KORVEX_SIMULATE, KORVEX_TEST_OBJECT.

options = parse_options(varargin);
height = options.size(1);
width = options.size(end);

% Optics: cut-off 2*NA/wavelength = 3.85 cycles/um, a quarter of the sampling frequency, so
% that the pattern frequency plus the cut-off (the reach of the reconstruction) stays below
% the Nyquist limit of the pixels.
na = 1.0;
wavelength = 0.52;
pixelSize = 0.065;
period = 5;

truth = korvex_test_object(height, width);
otf = korvex_otf(height, width, na, wavelength, pixelSize);
masks = korvex_masks(height, width, period);
frames = korvex_simulate(truth, masks, otf, 'photons', options.photons, ...
                         'background', options.background, 'seed', options.seed);
% A user subtracts the camera's known background before reconstructing; MAP-SIM models the
% frames without an offset.
frames = frames - options.background;
widefield = mean(frames, 3);

reconstruct = options.reconstructor;
if isempty(reconstruct)
  ensure_korvexcuda();
  reconstruct = @KorvexCUDA;
  engineName = 'KorvexCUDA';
else
  engineName = func2str(reconstruct);
end
cast_to = @(a) cast(a, options.precision);

% The patterns, as they are known in practice: read from the frames.
truePattern = struct('angle', [0, pi / 3, 2 * pi / 3], 'period', period * [1, 1, 1], ...
                     'phase', repmat([0, 2 * pi / 3, 4 * pi / 3], 1, 3), 'modulation', [1, 1, 1]);
pattern = [];
estimationSeconds = 0;
if strcmp(options.masks, 'estimated')
  ensure_estimator();
  started = tic;
  [masks, pattern] = korvex_estimate_patterns(frames, otf);
  estimationSeconds = toc(started);
end
started = tic;
[image, lastIteration, lastAlpha, lastRatio] = reconstruct(cast_to(frames), cast_to(masks), ...
    cast_to(otf), options.iterations, options.threshold, options.lambda, options.alpha);
seconds = toc(started);
image = double(image);
if isempty(options.reconstructor)
  KorvexCUDA(0);  % a one-off run: give the device memory back
end

results = struct();
results.truth = truth;
results.widefield = widefield;
results.reconstruction = image;
results.iterations = double(lastIteration) + 1;
results.alpha = double(lastAlpha);
results.ratio = double(lastRatio);
results.seconds = seconds;
results.widefieldCorrelation = correlation(widefield, truth);
results.reconstructionCorrelation = correlation(image, truth);
results.widefieldError = scaled_error(widefield, truth);
results.reconstructionError = scaled_error(image, truth);
results.output = options.output;
results.masks = options.masks;
results.pattern = pattern;
results.truePattern = truePattern;
results.estimationSeconds = estimationSeconds;

fprintf('korvex_demo: %d x %d pixels, %d frames, %s precision, %s\n', height, width, ...
        size(frames, 3), options.precision, engineName);
print_patterns(options.masks, pattern, truePattern, estimationSeconds);
fprintf('  iterations run:     %d of at most %d (last step %.4g, last ratio %.4g)\n', ...
        results.iterations, options.iterations, results.alpha, results.ratio);
fprintf('  reconstruction time: %.3f s (engine set-up included)\n', seconds);
fprintf('  correlation with ground truth:   widefield %.4f   reconstruction %.4f\n', ...
        results.widefieldCorrelation, results.reconstructionCorrelation);
fprintf('  relative error after LS scaling: widefield %.4f   reconstruction %.4f\n', ...
        results.widefieldError, results.reconstructionError);

cutoffPixels = 2 * na / wavelength * pixelSize;
korvex_demo_figure(options.output, {widefield, image, truth}, ...
                   {'Widefield (frame mean)', sprintf('MAP-SIM, %d iterations', ...
                                                      results.iterations), 'Ground truth'}, ...
                   cutoffPixels);
fprintf('  figure: %s\n', options.output);
if nargout == 0
  clear results;
end
end

function options = parse_options(args)
caller = 'korvex_demo';
options = struct('size', [256, 256], 'iterations', 40, 'lambda', 0.01, 'alpha', 0.05, ...
                 'threshold', 1e-3, 'photons', 1000, 'background', 10, 'seed', 1, ...
                 'precision', 'single', 'output', fullfile(pwd, 'korvex_demo.png'), ...
                 'reconstructor', [], 'masks', 'estimated');
[names, values] = korvex_option_pairs(caller, args);
for i = 1:numel(names)
  name = names{i};
  value = values{i};
  switch name
    case 'size'
      if ~isnumeric(value) || isempty(value) || numel(value) > 2
        error('korvex:badParameter', '%s: size must be N or [HEIGHT WIDTH].', caller);
      end
      for v = value(:)'
        korvex_check_scalar(caller, 'size', v, 'count');
      end
      if any(value < 16)
        error('korvex:badParameter', '%s: size must be at least 16 pixels.', caller);
      end
      options.size = double([value(1), value(end)]);
    case 'iterations'
      korvex_check_scalar(caller, 'iterations', value, 'count');
      options.iterations = double(value);
    case {'lambda', 'alpha', 'photons'}
      korvex_check_scalar(caller, lower(name), value, 'positive');
      options.(lower(name)) = double(value);
    case {'threshold', 'background'}
      korvex_check_scalar(caller, lower(name), value, 'nonnegative');
      options.(lower(name)) = double(value);
    case 'seed'
      korvex_check_scalar(caller, 'seed', value, 'seed');
      options.seed = double(value);
    case 'precision'
      if ~ischar(value) || ~any(strcmp(value, {'single', 'double'}))
        error('korvex:badParameter', '%s: precision must be ''single'' or ''double''.', ...
              caller);
      end
      options.precision = value;
    case 'output'
      if ~ischar(value) || isempty(value)
        error('korvex:badParameter', '%s: output must be a file path.', caller);
      end
      options.output = value;
    case 'reconstructor'
      if ~isa(value, 'function_handle')
        error('korvex:badParameter', '%s: reconstructor must be a function handle.', caller);
      end
      options.reconstructor = value;
    case 'masks'
      if ~ischar(value) || ~any(strcmp(value, {'estimated', 'true'}))
        error('korvex:badParameter', '%s: masks must be ''estimated'' or ''true''.', caller);
      end
      options.masks = value;
    otherwise
      error('korvex:badParameter', ['%s: unknown option ''%s'' (known: size, iterations, ' ...
            'lambda, alpha, threshold, photons, background, seed, precision, output, ' ...
            'reconstructor, masks).'], caller, name);
  end
end
end

function ensure_korvexcuda()
% KorvexCUDA.m beside this file only carries the help text; the MEX file does the work.
if exist('KorvexCUDA') == 3  %#ok<EXIST> the plain form also finds MEX files on the path
  return;
end
if exist('OCTAVE_VERSION', 'builtin') ~= 0
  mexName = 'KorvexCUDA.mex';
else
  mexName = ['KorvexCUDA.', mexext];
end
repository = fileparts(fileparts(mfilename('fullpath')));
found = dir(fullfile(repository, 'build', '*', 'matlab', mexName));
if isempty(found)
  error('korvex:noEngine', ['korvex_demo: KorvexCUDA is not built. Build it with ' ...
        '''cmake --workflow --preset host'' (or cuda) in %s, or add the folder that holds ' ...
        '%s to the path.'], repository, mexName);
end
% Newest build first; a cuda build on a machine without a usable GPU fails its first call,
% and the next build is tried.
[~, order] = sort([found.datenum], 'descend');
reasons = '';
for i = order
  folder = found(i).folder;
  addpath(folder);
  try
    % A zero-iteration run: cheap, and it fails at once where this build finds no device.
    KorvexCUDA(ones(16, 'single'), 2 * ones(16, 'single'), 3 * ones(16, 'single'), 0, 0, 0, 1);
    fprintf('korvex_demo: using KorvexCUDA from %s\n', folder);
    return;
  catch failure
    reasons = sprintf('%s\n  %s: %s', reasons, folder, strtrim(failure.message));
    rmpath(folder);
    clear('KorvexCUDA');
  end
end
error('korvex:noEngine', 'korvex_demo: no KorvexCUDA build under %s works here:%s', ...
      fullfile(repository, 'build'), reasons);
end

function ensure_estimator()
% korvex_estimate_patterns.m beside this file only carries the help text.
if exist('korvex_estimate_patterns') == 3  %#ok<EXIST>
  return;
end
repository = fileparts(fileparts(mfilename('fullpath')));
found = dir(fullfile(repository, 'build', '*', 'matlab', 'korvex_estimate_patterns.mex'));
if isempty(found)
  error('korvex:noEstimator', ['korvex_demo: korvex_estimate_patterns is not built (target ' ...
        'korvex_estimate_patterns_octave), and ''masks'', ''true'' was not asked for.']);
end
[~, newest] = max([found.datenum]);
addpath(found(newest).folder);
end

function print_patterns(which, pattern, truth, seconds)
if strcmp(which, 'true')
  fprintf(['  patterns:           the true ones (''masks'', ''estimated'' reads them from ' ...
           'the frames)\n']);
  return;
end
fprintf('  patterns estimated from the frames in %.3f s (true values in brackets):\n', seconds);
fprintf('    orientation  angle (degrees)     period (pixels)     depth            MCNR\n');
for i = 1:numel(pattern.angle)
  fprintf('    %d            %7.3f (%7.3f)   %7.4f (%7.4f)   %5.3f (%5.3f)   %7.1f\n', i, ...
          pattern.angle(i) * 180 / pi, truth.angle(i) * 180 / pi, pattern.period(i), ...
          truth.period(i), pattern.modulation(i), truth.modulation(i), pattern.mcnr(i));
end
phaseError = max(abs(mod(pattern.phase - truth.phase + pi, 2 * pi) - pi)) * 180 / pi;
fprintf('    largest phase error %.2f degrees\n', phaseError);
end

function c = correlation(a, b)
% Pearson correlation: insensitive to the scale and offset of the reconstruction, which
% MAP-SIM leaves arbitrary.
a = a(:) - mean(a(:));
b = b(:) - mean(b(:));
c = (a' * b) / sqrt((a' * a) * (b' * b));
end

function e = scaled_error(a, truth)
% Relative RMS error after the least-squares scale that best matches a to the truth.
a = a(:);
t = truth(:);
s = (a' * t) / (a' * a);
e = norm(s * a - t) / norm(t);
end
