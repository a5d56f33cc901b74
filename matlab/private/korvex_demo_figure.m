function korvex_demo_figure(path, images, titles, cutoff)
%KORVEX_DEMO_FIGURE Write the demo's PNG: images on top, their log power spectra below.
%   CUTOFF is the OTF cut-off in cycles per pixel; a dashed ellipse marks it on each spectrum.

spectra = cell(size(images));
for i = 1:numel(images)
  power = abs(fftshift(fft2(images{i}))).^2;
  spectra{i} = log10(power / max(power(:)) + 1e-12);
end

state = prepare_toolkit();
try
  draw(path, images, spectra, titles, cutoff);
  restore_toolkit(state);
catch failure
  restore_toolkit(state);
  % Without a working plotting back end the panels still go out, as an untitled montage.
  warning('korvex:demoFigure', ['korvex_demo: plotting failed (%s); writing the panels ' ...
          'without titles: top row %s; bottom row their log power spectra.'], ...
          failure.message, strjoin(titles, ', '));
  write_montage(path, images, spectra);
end
end

function draw(path, images, spectra, titles, cutoff)
figureHandle = figure('visible', 'off', 'color', 'w', 'paperunits', 'inches', ...
                      'paperposition', [0, 0, 4.5 * numel(images), 9]);
cleanup = onCleanup(@() close(figureHandle));
colormap(gray(256));
[height, width] = size(images{1});
angle = linspace(0, 2 * pi, 181);
for i = 1:numel(images)
  subplot(2, numel(images), i);
  imagesc(images{i}, display_range(images{i}));
  axis image off;
  title(titles{i});

  subplot(2, numel(images), numel(images) + i);
  imagesc(spectra{i}, [-9, 0]);
  axis image off;
  hold on;
  plot(floor(width / 2) + 1 + cutoff * width * cos(angle), ...
       floor(height / 2) + 1 + cutoff * height * sin(angle), 'y--');
  hold off;
  title('log power spectrum');
end
% gnuplot's own cairo terminal writes PNG directly; Octave's plain -dpng goes through
% Ghostscript with that toolkit, which a minimal machine lacks.
if strcmp(get(figureHandle, '__graphics_toolkit__'), 'gnuplot')
  device = '-dpngcairo';
else
  device = '-dpng';
end
print(figureHandle, device, '-r100', path);
end

function range = display_range(image)
% Clip at the 99.8th percentile so that a few bright beads do not leave the rest dark.
values = sort(image(:));
high = values(max(1, ceil(0.998 * numel(values))));
low = min(0, high);
if high <= low
  high = low + 1;
end
range = [low, high];
end

function write_montage(path, images, spectra)
rows = {images, spectra};
montage = [];
for r = 1:2
  line = [];
  for i = 1:numel(images)
    panel = rows{r}{i};
    if r == 1
      range = display_range(panel);
    else
      range = [-9, 0];
    end
    panel = min(max((panel - range(1)) / (range(2) - range(1)), 0), 1);
    line = [line, panel, ones(size(panel, 1), 4)];  %#ok<AGROW>
  end
  montage = [montage; line; ones(4, size(line, 2))];  %#ok<AGROW>
end
imwrite(montage, path);
end

function state = prepare_toolkit()
% Octave's qt and fltk toolkits need a display; without one, gnuplot renders off screen.
state = struct('toolkit', '', 'warning', []);
if exist('OCTAVE_VERSION', 'builtin') == 0 || ~isempty(getenv('DISPLAY'))
  return;
end
if any(strcmp(available_graphics_toolkits(), 'gnuplot'))
  state.toolkit = graphics_toolkit();
  % The PNG is written without Ghostscript (see draw), so its absence is no concern here.
  state.warning = warning();
  warning('off', 'Octave:gnuplot-graphics');
  warning('off', 'print:nogs');
  graphics_toolkit('gnuplot');
end
end

function restore_toolkit(state)
if ~isempty(state.toolkit)
  graphics_toolkit(state.toolkit);
  warning(state.warning);
end
end
