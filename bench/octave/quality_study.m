function rows = quality_study(varargin)
%QUALITY_STUDY The reconstruction's options against image quality, beside Wiener-type SIM.
%   ROWS = QUALITY_STUDY() simulates camera-sampled stacks (256 x 256 camera pixels of 100 nm,
%   NA 1.2, 520 nm emission) of three specimens: sparse filaments (ACQUISITION_FILAMENTS) and
%   a dense cell body (ACQUISITION_CELL) whose background was subtracted 3 counts too little
%   and 3 counts too much; at 100, 300, 1000 and 3000 photons. Each stack is reconstructed on
%   the 2x grid by korvex_reconstruct with its own pattern estimate, under every option
%   combination listed below, and by the Wiener-type tool napari-sim-processor with its own
%   calibration (bench/wiener; skipped when its virtual environment is missing). It prints one
%   markdown row per reconstruction, scored by QUALITY_SCORES against the truth:
%   resolution (nm), correlation after the best ring filter, share of the SIM band recovered,
%   stripes at the carriers, spectral energy outside the SIM support, and seconds.
%   Options: 'photons' [100 300 1000 3000], 'specimens' {'filaments', 'cell+3', 'cell-3'},
%   'size' [256], 'seed' [1], 'python' (the tool's interpreter) [build/wiener-venv/bin/python],
%   'settings': 'all' (the grid below) or 'figures' (the defaults, the plain run and 'both' at
%   40 iterations and lambda 0.003, the defaults before the sparsity penalty).
%   Settings: 'plain' is KorvexCUDA's iteration with the earlier defaults (20 iterations,
%   lambda 0.01); 'frames' and 'nonnegative' add one option each; 'both' takes both over a grid
%   of iterations and lambda, without sparsity; 'sparse' adds the sparsity penalty at three
%   weights; 'defaults' is korvex_reconstruct without options.
options = struct('photons', [100, 300, 1000, 3000], ...
                 'specimens', {{'filaments', 'cell+3', 'cell-3'}}, 'size', 256, 'seed', 1, ...
                 'python', fullfile(pwd, 'build', 'wiener-venv', 'bin', 'python'), ...
                 'settings', 'all');
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
% name, nonnegative, dataTerm, iterations, lambda, sparsity
settings = {'plain', false, 'masked', 20, 0.01, 0};
if strcmp(options.settings, 'all')
  settings(end + 1, :) = {'frames', false, 'frames', 20, 0.01, 0};
  settings(end + 1, :) = {'nonnegative', true, 'masked', 40, 0.001, 0};
  for iterations = [20, 40, 80]
    for lambda = [0, 0.001, 0.003, 0.01]
      settings(end + 1, :) = {'both', true, 'frames', iterations, lambda, 0};
    end
  end
  for sparsity = [0.1, 0.25, 0.5]
    settings(end + 1, :) = {'sparse', true, 'frames', 40, 0.003, sparsity};
  end
else
  settings(end + 1, :) = {'both', true, 'frames', 40, 0.003, 0};
end
settings(end + 1, :) = {'defaults', [], [], [], [], []};
haveTool = exist(options.python, 'file') == 2;
if ~haveTool
  fprintf('(no Wiener tool at %s: run bash bench/wiener/setup.sh)\n', options.python);
end
fprintf(['| specimen | photons | method | nonneg. | data | iter. | lambda | sparsity | ' ...
         'resolution (nm) | correlation | band | stripes | outside | s |\n']);
fprintf('|---|---:|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n');
rows = {};
for s = options.specimens
  for photons = options.photons
    stack = make_stack(s{1}, options.size, photons, options.seed);
    p = stack.pattern;
    period = p.period(1) * stack.pixelSize;
    carriers = [cos(p.angle'), sin(p.angle')] / period;
    band = [2 * stack.na / stack.wavelength, 2 * stack.na / stack.wavelength + 1 / period];
    score = @(image) quality_scores(image, stack.truth2, stack.pixelSize / 2, band, carriers);
    label = sprintf('| %s | %d |', s{1}, photons);

    widefield = korvex_upsample(mean(stack.frames, 3), 2);
    rows{end + 1} = print_row(label, 'widefield | | | | | ', score(widefield), 0);
    if haveTool
      [image, seconds] = wiener_tool(stack, options.python);
      rows{end + 1} = print_row(label, 'Wiener tool | | | | | ', score(image), seconds);
    end
    optics = {'na', stack.na, 'wavelength', stack.wavelength, 'pixelSize', stack.pixelSize};
    for k = 1:size(settings, 1)
      [name, nonnegative, dataTerm, iterations, lambda, sparsity] = settings{k, :};
      if isempty(nonnegative)
        [image, info] = korvex_reconstruct(single(stack.frames), optics{:});
        method = sprintf('Korvex %s | | | %d | | ', name, info.iterations);
      else
        [image, info] = korvex_reconstruct(single(stack.frames), optics{:}, ...
                                           'nonnegative', nonnegative, 'dataTerm', dataTerm, ...
                                           'iterations', iterations, 'lambda', lambda, ...
                                           'sparsity', sparsity);
        method = sprintf('Korvex %s | %s | %s | %d | %g | %g', name, yes_no(nonnegative), ...
                         dataTerm, iterations, lambda, sparsity);
      end
      rows{end + 1} = print_row(label, method, score(image), info.seconds.total);
    end
  end
end
korvex_reconstruct('release');
end

function stack = make_stack(specimen, n, photons, seed)
switch specimen
  case 'filaments'
    stack = acquisition_filaments(n, n, photons, seed, 100 + seed);
  case 'cell+3'
    stack = acquisition_cell(n, n, photons, seed, 3);
  case 'cell-3'
    stack = acquisition_cell(n, n, photons, seed, -3);
  otherwise
    error('quality_study: unknown specimen %s', specimen);
end
end

function [image, seconds] = wiener_tool(stack, python)
folder = tempname();
mkdir(folder);
cleanup = onCleanup(@() confirm_recursive_rmdir(false) + rmdir(folder, 's'));
frames = stack.frames; na = stack.na; wavelength = stack.wavelength;
pixelSize = stack.pixelSize; n = 1.33; mode = 'estimate';
save('-v7', fullfile(folder, 'in.mat'), 'frames', 'na', 'wavelength', 'pixelSize', 'n', 'mode');
script = fullfile(fileparts(mfilename('fullpath')), '..', 'wiener', 'wiener_reconstruct.py');
[status, output] = system(sprintf('"%s" "%s" "%s" "%s"', python, script, ...
                                  fullfile(folder, 'in.mat'), fullfile(folder, 'out.mat')));
if status ~= 0
  error('quality_study: the Wiener tool failed:\n%s', output);
end
out = load(fullfile(folder, 'out.mat'));
image = out.image;
seconds = out.seconds;
end

function row = print_row(label, method, s, seconds)
fprintf('%s %s | %.0f | %.3f | %.3f | %.3f | %.4f | %.2f |\n', label, method, ...
        1000 * s.resolution, s.correlation, s.band, s.stripes, s.outside, seconds);
row = s;
row.label = [label, ' ', method];
row.seconds = seconds;
end

function text = yes_no(flag)
text = 'no';
if flag
  text = 'yes';
end
end
