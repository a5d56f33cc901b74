function iteration_study(varargin)
%ITERATION_STUDY Image figures against iterations: plain steps against preconditioned ones.
%   ITERATION_STUDY() reconstructs the stacks of QUALITY_STUDY (filaments, cell+3, cell-3 at
%   100 to 3000 photons, 256 x 256, seed 1) with korvex_reconstruct's defaults but for the
%   settings below, and prints one row per reconstruction, scored by QUALITY_SCORES: resolution
%   (nm), correlation after the best ring filter, band, stripes, outside, engine seconds.
%   Options: 'photons', 'specimens', 'size', 'seed' as in QUALITY_STUDY; 'runs' an N x 3 cell
%   of {start ('widefield' or 'fourier'), precondition (true/false), iterations}; 'alpha', the
%   first step [0.05].
options = struct('photons', [100, 300, 1000, 3000], 'alpha', 0.05, ...
                 'specimens', {{'filaments', 'cell+3', 'cell-3'}}, 'size', 256, 'seed', 1, ...
                 'runs', {{'widefield', false, 40; 'widefield', true, 12; ...
                           'widefield', true, 15; 'widefield', true, 20; 'fourier', true, 15}});
for i = 1:2:numel(varargin)
  options.(varargin{i}) = varargin{i + 1};
end
fprintf(['| specimen | photons | start | preconditioned | iter. | resolution (nm) | ' ...
         'correlation | band | stripes | outside | engine s |\n']);
fprintf('|---|---:|---|---|---:|---:|---:|---:|---:|---:|---:|\n');
for s = options.specimens
  for photons = options.photons
    switch s{1}
      case 'filaments'
        stack = acquisition_filaments(options.size, options.size, photons, options.seed, ...
                                      100 + options.seed);
      case 'cell+3'
        stack = acquisition_cell(options.size, options.size, photons, options.seed, 3);
      case 'cell-3'
        stack = acquisition_cell(options.size, options.size, photons, options.seed, -3);
    end
    p = stack.pattern;
    period = p.period(1) * stack.pixelSize;
    carriers = [cos(p.angle'), sin(p.angle')] / period;
    band = [2 * stack.na / stack.wavelength, 2 * stack.na / stack.wavelength + 1 / period];
    optics = {'na', stack.na, 'wavelength', stack.wavelength, 'pixelSize', stack.pixelSize};
    for r = 1:size(options.runs, 1)
      [start, precondition, iterations] = options.runs{r, :};
      [image, info] = korvex_reconstruct(single(stack.frames), optics{:}, 'start', start, ...
                                         'precondition', precondition, 'iterations', iterations, ...
                                         'alpha', options.alpha);
      q = quality_scores(image, stack.truth2, stack.pixelSize / 2, band, carriers);
      fprintf('| %s | %d | %s | %d | %d | %.0f | %.4f | %.4f | %.4f | %.4f | %.2f |\n', s{1}, ...
              photons, start, precondition, info.iterations, 1000 * q.resolution, ...
              q.correlation, q.band, q.stripes, q.outside, info.seconds.reconstruction);
    end
  end
end
korvex_reconstruct('release');
end
