function results = korvex_demo(varargin)
%KORVEX_DEMO Simulate a camera SIM acquisition and reconstruct it with korvex_reconstruct.
%   KORVEX_DEMO draws a test specimen (Siemens star, lines at six angles, sub-resolution beads;
%   see KORVEX_TEST_OBJECT) on the 2x grid, simulates it on a grid 4 times finer than the
%   camera's, images it through an
%   NA 1.2 water objective at 520 nm onto a camera of 100 nm pixels (about lambda / (4 NA): the
%   camera samples the widefield image near Nyquist) under 9 illumination patterns
%   (3 orientations x 3 phases, period 0.85 of the OTF cut-off) with Poisson noise, and
%   reconstructs it with KORVEX_RECONSTRUCT on the 2x grid (50 nm pixels), the patterns
%   estimated from the frames. It prints the estimated pattern beside the true one with the
%   MCNR, the time of each stage, and the resolution (Fourier ring correlation with the truth,
%   0.5 threshold) and correlation of widefield and reconstruction. It writes a PNG figure:
%   widefield, reconstruction and truth on the 2x grid above their log power spectra.
%
%   RESULTS = KORVEX_DEMO(...) also returns a struct with the images and the figures printed.
%
%   KORVEX_DEMO('thick', ...) is the thick-specimen variant: over the same in-focus specimen
%   lies a second layer out of focus (the test object turned half a turn and a diffuse disc,
%   blurred by a Gaussian of 0.4 um and lit by fringes of a third of the contrast) carrying
%   'haze' times the in-focus light. It reconstructs the frames with 'outOfFocus' off and on,
%   prints the out-of-focus share, the correlation with the in-focus truth and the haze's leak
%   into each image (the b / a of the fit a (in-focus truth) + b (out-of-focus truth) + c),
%   and writes the figure: widefield, the two reconstructions, the haze the model found and
%   the in-focus truth. It runs at 128 x 128 camera pixels unless 'size' says otherwise.
%
%   Name/value options (defaults in brackets):
%     'size'        camera size N or [HEIGHT WIDTH] [256]
%     'masks'       'estimated' (the patterns read from the frames) or 'true' (those the
%                   frames were simulated with) ['estimated']
%     'iterations'  iteration limit [korvex_reconstruct's default]
%     'lambda'      smoothness weight [korvex_reconstruct's default]
%     'alpha'       first step size [korvex_reconstruct's default]
%     'photons'     photons at the brightest noise-free pixel [1000]
%     'background'  background photons per pixel, subtracted before reconstruction [10]
%     'seed'        random seed of the noise [1]
%     'precision'   'single' or 'double' [single]
%     'haze'        ('thick' only) out-of-focus light over in-focus light [2]
%     'output'      path of the PNG figure [korvex_demo.png, or korvex_demo_thick.png, in
%                   the current folder]
%
%   When korvex_reconstruct is not on the path, the demo looks for a build of it under
%   build/*/matlab beside this folder and adds the newest one that works to the path.
%
%   Example:
%     korvex_demo('size', 128, 'output', '/tmp/demo.png')
%     korvex_demo('thick', 'haze', 3)
%
%   See also KORVEX_RECONSTRUCT, KORVEX_SIMULATE_CAMERA, KORVEX_FRC, KORVEX_TEST_OBJECT.

thick = ~isempty(varargin) && ischar(varargin{1}) && strcmpi(varargin{1}, 'thick');
options = parse_options(varargin(1 + thick:end), thick);
height = options.size(1);
width = options.size(end);
[na, wavelength, pixelSize] = optics();
factor = 4;  % the specimen's grid against the camera's
truePattern = struct('angle', 0.25 + [0, pi / 3, 2 * pi / 3], ...
                     'period', 1 / (0.85 * 2 * na / wavelength) / pixelSize * [1, 1, 1], ...
                     'phase', repmat([0, 2 * pi / 3, 4 * pi / 3], 1, 3), ...
                     'modulation', [0.9, 0.85, 0.95]);

% The specimen is drawn on the 2x output grid and each of its pixels covers a 2 x 2 block of
% the simulation grid, placed so that the block's centre is the output pixel's centre: the
% truth on the 2x grid is then the drawing itself.
drawn = korvex_test_object(2 * height, 2 * width);
specimen = circshift(kron(drawn, ones(factor / 2)), [1, 1]);
if thick
  results = thick_demo(options, drawn, specimen, factor, truePattern);
  if nargout == 0
    clear results;
  end
  return;
end
[frames, ~, truth] = korvex_simulate_camera(specimen, factor, truePattern, 'na', na, ...
    'wavelength', wavelength, 'pixelSize', pixelSize, 'photons', options.photons, ...
    'background', options.background, 'seed', options.seed, 'upsample', 2);
% A user subtracts the camera's known background before reconstructing: the model has no
% offset.
frames = frames - options.background;

ensure_reconstruct();
settings = reconstruction_settings(options, truePattern);
started = tic;
[image, info] = korvex_reconstruct(cast(frames, options.precision), settings{:});
seconds = toc(started);
korvex_reconstruct('release');  % a one-off run: give the engine's memory back
image = double(image);
widefield = korvex_upsample(mean(frames, 3), 2);
finePixel = pixelSize / 2;

results = struct();
results.truth = truth;
results.widefield = widefield;
results.reconstruction = image;
results.masks = options.masks;
results.pattern = info.pattern;
results.truePattern = truePattern;
results.estimationSeconds = info.seconds.estimation;
results.iterations = info.iterations;
results.seconds = seconds;
results.stages = info.seconds;
results.widefieldResolution = 1000 * korvex_frc(widefield, truth, finePixel);
results.reconstructionResolution = 1000 * korvex_frc(image, truth, finePixel);
results.widefieldCorrelation = correlation(widefield, truth);
results.reconstructionCorrelation = correlation(image, truth);
results.widefieldError = scaled_error(widefield, truth);
results.reconstructionError = scaled_error(image, truth);
results.output = options.output;

fprintf(['korvex_demo: %d x %d camera pixels of %g nm, NA %g, %g nm, %d frames -> %d x %d ' ...
         'pixels of %g nm, %s precision\n'], height, width, 1000 * pixelSize, na, ...
        1000 * wavelength, size(frames, 3), size(image, 1), size(image, 2), ...
        1000 * finePixel, options.precision);
print_pattern(info, truePattern);
fprintf('  iterations run: %d; time %.2f s (estimation %.2f, up-sampling %.2f, engine %.2f)\n', ...
        info.iterations, seconds, info.seconds.estimation, info.seconds.upsampling, ...
        info.seconds.engineSetup + info.seconds.reconstruction);
fprintf('  resolution (FRC 0.5 with the truth): widefield %.0f nm   reconstruction %.0f nm\n', ...
        results.widefieldResolution, results.reconstructionResolution);
fprintf('  correlation with the truth:          widefield %.4f   reconstruction %.4f\n', ...
        results.widefieldCorrelation, results.reconstructionCorrelation);

cutoffPixels = 2 * na / wavelength * finePixel;
korvex_demo_figure(options.output, {widefield, image, truth}, ...
                   {'Widefield (2x interpolated)', ...
                    sprintf('Reconstruction, %d iterations', info.iterations), ...
                    'Ground truth (2x grid)'}, cutoffPixels);
fprintf('  figure: %s\n', options.output);
if nargout == 0
  clear results;
end
end

function results = thick_demo(options, drawn, specimen, factor, truePattern)
% The in-focus specimen under a defocused second layer; reconstructed without and with the
% out-of-focus model.
[na, wavelength, pixelSize] = optics();
% The out-of-focus layer: other structure, and a diffuse disc, both blurred as defocus would.
[height, width] = size(drawn);
[x, y] = meshgrid(1:width, 1:height);
disc = 0.3 * (hypot(x - 0.6 * width, y - 0.4 * height) < 0.25 * min(height, width));
layer = circshift(kron(rot90(drawn, 2) + disc, ones(factor / 2)), [1, 1]);
layer = gaussian_blur(layer, 0.4 / (pixelSize / factor));
faint = truePattern;
faint.modulation = truePattern.modulation / 3;  % the fringes fade away from the focus
camera = {'na', na, 'wavelength', wavelength, 'pixelSize', pixelSize, 'photons', Inf, ...
          'upsample', 2};
[inFocus, ~, truth] = korvex_simulate_camera(specimen, factor, truePattern, camera{:});
[outOfFocus, ~, hazeTruth] = korvex_simulate_camera(layer, factor, faint, camera{:});
% The layer carries 'haze' times the in-focus light; its truth keeps the specimen's units.
share = options.haze * sum(inFocus(:)) / sum(outOfFocus(:));
expected = inFocus + share * outOfFocus;
hazeTruth = share * hazeTruth;
expected = expected * (options.photons / max(expected(:))) + options.background;
frames = korvex_poisson(expected, options.seed) - options.background;

ensure_reconstruct();
settings = reconstruction_settings(options, truePattern);
data = cast(frames, options.precision);
started = tic;
[plain, plainInfo] = korvex_reconstruct(data, settings{:}, 'outOfFocus', false);
plainSeconds = toc(started);
started = tic;
[sectioned, info] = korvex_reconstruct(data, settings{:}, 'outOfFocus', true);
seconds = toc(started);
korvex_reconstruct('release');
widefield = korvex_upsample(mean(frames, 3), 2);
haze = double(info.outOfFocus);
if isempty(haze)
  haze = zeros(size(sectioned));
end

results = struct('truth', truth, 'hazeTruth', hazeTruth, 'widefield', widefield, ...
                 'plain', double(plain), 'sectioned', double(sectioned), 'haze', haze, ...
                 'outOfFocusShare', info.outOfFocusShare, 'plainSeconds', plainSeconds, ...
                 'seconds', seconds, 'output', options.output);
% The leak is fitted with both truths cut to what SIM can pass: frequencies below the OTF
% cut-off plus the pattern's.
band = (1 + 1 / (truePattern.period(1) * pixelSize * 2 * na / wavelength)) * 2 * na / ...
       wavelength * pixelSize / 2;
names = {'widefield', 'plain', 'sectioned'};
for i = 1:3
  image = results.(names{i});
  results.([names{i}, 'Correlation']) = correlation(image, truth);
  results.([names{i}, 'Leak']) = leak(image, low_pass(truth, band), low_pass(hazeTruth, band));
end
fprintf(['korvex_demo (thick): %d x %d camera pixels of %g nm, NA %g, %g nm, out-of-focus ' ...
         'light %g times the in-focus light, %s precision\n'], size(frames, 1), ...
        size(frames, 2), 1000 * pixelSize, na, 1000 * wavelength, options.haze, ...
        options.precision);
fprintf('  out-of-focus share found by the model: %.3f\n', info.outOfFocusShare);
fprintf('                                       widefield   outOfFocus off   outOfFocus on\n');
fprintf('  correlation with the in-focus truth: %9.4f   %14.4f   %13.4f\n', ...
        results.widefieldCorrelation, results.plainCorrelation, results.sectionedCorrelation);
fprintf('  leak of the haze (b / a):            %9.3f   %14.3f   %13.3f\n', ...
        results.widefieldLeak, results.plainLeak, results.sectionedLeak);
fprintf('  time: %.2f s without the model, %.2f s with it (%d and %d iterations)\n', ...
        plainSeconds, seconds, plainInfo.iterations, info.iterations);
cutoffPixels = 2 * na / wavelength * pixelSize / 2;
korvex_demo_figure(options.output, {widefield, results.plain, results.sectioned, haze, truth}, ...
                   {'Widefield', '''outOfFocus'' off', ...
                    sprintf('''outOfFocus'' on: share %.2f', info.outOfFocusShare), ...
                    'Haze the model found', 'In-focus truth'}, cutoffPixels);
fprintf('  figure: %s\n', options.output);
end

function [na, wavelength, pixelSize] = optics()
na = 1.2;
wavelength = 0.52;
pixelSize = 0.1;
end

function settings = reconstruction_settings(options, truePattern)
[na, wavelength, pixelSize] = optics();
settings = {'na', na, 'wavelength', wavelength, 'pixelSize', pixelSize, ...
            'immersion', 1.33, 'precision', options.precision};
for name = {'iterations', 'lambda', 'alpha'}
  if ~isempty(options.(name{1}))
    settings = [settings, {name{1}, options.(name{1})}];  %#ok<AGROW>
  end
end
if strcmp(options.masks, 'true')
  settings = [settings, {'pattern', truePattern}];
end
end

function out = gaussian_blur(image, sigma)
% Gaussian of standard deviation SIGMA pixels, applied in Fourier space (periodic edges).
[height, width] = size(image);
fy = ifftshift(((0:height - 1) - floor(height / 2)) / height)';
fx = ifftshift(((0:width - 1) - floor(width / 2)) / width);
out = real(ifft2(fft2(image) .* exp(-2 * pi ^ 2 * sigma ^ 2 * (fy .^ 2 + fx .^ 2))));
end

function out = low_pass(image, cutoff)
% Frequencies below CUTOFF cycles per pixel kept, the rest removed.
[height, width] = size(image);
fy = ifftshift(((0:height - 1) - floor(height / 2)) / height)';
fx = ifftshift(((0:width - 1) - floor(width / 2)) / width);
out = real(ifft2(fft2(image) .* (fy .^ 2 + fx .^ 2 < cutoff ^ 2)));
end

function b = leak(image, truth, hazeTruth)
% The out-of-focus truth's weight over the in-focus truth's in the least-squares fit
% image = a truth + b hazeTruth + c: 0 when the haze is kept out of the image.
c = [truth(:), hazeTruth(:), ones(numel(truth), 1)] \ image(:);
b = c(2) / c(1);
end

function print_pattern(info, truth)
if ~info.estimated
  fprintf(['  patterns:           the true ones (''masks'', ''estimated'' reads them from ' ...
           'the frames)\n']);
  return;
end
pattern = info.pattern;
fprintf(['  patterns estimated from the frames in %.3f s (true values in brackets; periods in ' ...
         'camera pixels):\n'], info.seconds.estimation);
fprintf('    orientation  angle (degrees)     period (pixels)     depth            MCNR\n');
for i = 1:numel(pattern.angle)
  fprintf('    %d            %7.3f (%7.3f)   %7.4f (%7.4f)   %5.3f (%5.3f)   %7.1f\n', i, ...
          pattern.angle(i) * 180 / pi, truth.angle(i) * 180 / pi, pattern.period(i), ...
          truth.period(i), pattern.modulation(i), truth.modulation(i), pattern.mcnr(i));
end
phaseError = max(abs(mod(pattern.phase - truth.phase + pi, 2 * pi) - pi)) * 180 / pi;
fprintf('    largest phase error %.2f degrees\n', phaseError);
end

function options = parse_options(args, thick)
caller = 'korvex_demo';
options = struct('size', [256, 256], 'masks', 'estimated', 'iterations', [], ...
                 'lambda', [], 'alpha', [], 'photons', 1000, 'background', 10, 'seed', 1, ...
                 'precision', 'single', 'output', fullfile(pwd, 'korvex_demo.png'), 'haze', 2);
if thick
  options.size = [128, 128];
  options.output = fullfile(pwd, 'korvex_demo_thick.png');
end
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
      if any(value < 32)
        error('korvex:badParameter', '%s: size must be at least 32 pixels.', caller);
      end
      options.size = double([value(1), value(end)]);
    case 'masks'
      if ~ischar(value) || ~any(strcmp(value, {'estimated', 'true'}))
        error('korvex:badParameter', '%s: masks must be ''estimated'' or ''true''.', caller);
      end
      options.masks = value;
    case 'iterations'
      korvex_check_scalar(caller, 'iterations', value, 'count');
      options.iterations = double(value);
    case {'lambda', 'alpha', 'photons'}
      korvex_check_scalar(caller, name, value, 'positive');
      options.(name) = double(value);
    case 'background'
      korvex_check_scalar(caller, name, value, 'nonnegative');
      options.(name) = double(value);
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
    case 'haze'
      if ~thick
        error('korvex:badParameter', ['%s: haze belongs to the thick-specimen variant: ' ...
              'korvex_demo(''thick'', ''haze'', %g).'], caller, value);
      end
      korvex_check_scalar(caller, name, value, 'positive');
      options.haze = double(value);
    otherwise
      error('korvex:badParameter', ['%s: unknown option ''%s'' (known: size, masks, ' ...
            'iterations, lambda, alpha, photons, background, seed, precision, haze, ' ...
            'output).'], ...
            caller, name);
  end
end
end

function ensure_reconstruct()
% korvex_reconstruct.m beside this file only carries the help text; the MEX file does the work.
if exist('korvex_reconstruct') == 3  %#ok<EXIST> the plain form also finds MEX files
  return;
end
if exist('OCTAVE_VERSION', 'builtin') ~= 0
  mexName = 'korvex_reconstruct.mex';
else
  mexName = ['korvex_reconstruct.', mexext];
end
repository = fileparts(fileparts(mfilename('fullpath')));
found = dir(fullfile(repository, 'build', '*', 'matlab', mexName));
if isempty(found)
  error('korvex:noEngine', ['korvex_demo: korvex_reconstruct is not built. Build it with ' ...
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
    % A zero-iteration run on a known pattern: cheap, and it fails at once where this build
    % finds no device.
    korvex_reconstruct(ones(16, 16, 9, 'single'), 'na', 1, 'wavelength', 0.5, ...
                       'pixelSize', 0.1, 'iterations', 0, 'pattern', ...
                       struct('angle', [0, 1, 2], 'period', 3, 'phase', [0, 2, 4]));
    korvex_reconstruct('release');
    fprintf('korvex_demo: using korvex_reconstruct from %s\n', folder);
    return;
  catch failure
    reasons = sprintf('%s\n  %s: %s', reasons, folder, strtrim(failure.message));
    rmpath(folder);
    clear('korvex_reconstruct');
  end
end
error('korvex:noEngine', 'korvex_demo: no korvex_reconstruct build under %s works here:%s', ...
      fullfile(repository, 'build'), reasons);
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
