function thin_check(photons, variants)
%THIN_CHECK The out-of-focus model on the thin stacks of docs/image_quality.md.
%   THIN_CHECK() reconstructs the filament and cell+3 stacks of bench/octave/quality_study.m
%   (256 x 256, seed 1) at 100 and 1000 photons with korvex_reconstruct's defaults, the
%   out-of-focus model off and on, and prints QUALITY_SCORES' figures of each and the
%   difference on - off: a thin specimen has no haze, so the model should change nothing.
%   THIN_CHECK(PHOTONS, VARIANTS) sets the photon counts and the option lists tried
%   (a cell array of name-value cell arrays; {} is the model off).
%   Run from the repository root with matlab/, bench/octave/ and build/host/matlab on the path.
if nargin < 1
  photons = [100, 1000];
end
if nargin < 2
  variants = {{'outOfFocus', false}, {'outOfFocus', true}, ...
              {'outOfFocus', true, 'defocus', 1.5}};
end
fprintf(['| specimen | photons | settings | resolution (nm) | correlation | band | stripes | ' ...
         'outside | share |\n|---|---:|---|---:|---:|---:|---:|---:|---:|\n']);
for specimen = {'filaments', 'cell+3'}
  for p = photons
    if strcmp(specimen{1}, 'filaments')
      stack = acquisition_filaments(256, 256, p, 1, 101);
    else
      stack = acquisition_cell(256, 256, p, 1, 3);
    end
    pattern = stack.pattern;
    period = pattern.period(1) * stack.pixelSize;
    carriers = [cos(pattern.angle'), sin(pattern.angle')] / period;
    cutoff = 2 * stack.na / stack.wavelength;
    optics = {'na', stack.na, 'wavelength', stack.wavelength, 'pixelSize', stack.pixelSize, ...
              'immersion', 1.33};
    base = [];
    for v = 1:numel(variants)
      [image, info] = korvex_reconstruct(single(stack.frames), optics{:}, variants{v}{:});
      s = quality_scores(image, stack.truth2, stack.pixelSize / 2, ...
                         [cutoff, cutoff + 1 / period], carriers);
      figures = [1000 * s.resolution, s.correlation, s.band, s.stripes, s.outside];
      share = 0;
      if isfield(info, 'outOfFocusShare')
        share = info.outOfFocusShare;
      end
      fprintf('| %s | %d | %s | %.0f | %.4f | %.4f | %.4f | %.4f | %.3f |\n', specimen{1}, ...
              p, settings_text(variants{v}), figures, share);
      if isempty(base)
        base = figures;
      else
        fprintf('| %s | %d | difference | %+.0f | %+.4f | %+.4f | %+.4f | %+.4f | |\n', ...
                specimen{1}, p, figures - base);
      end
    end
  end
end
korvex_reconstruct('release');
end

function text = settings_text(list)
parts = cell(1, numel(list) / 2);
for i = 1:2:numel(list)
  value = list{i + 1};
  if islogical(value)
    value = double(value);
  end
  parts{(i + 1) / 2} = sprintf('%s %g', list{i}, value);
end
text = strjoin(parts, ', ');
end
