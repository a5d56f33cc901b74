function masks = korvex_masks(height, width, period, angles, phases, modulation)
%KORVEX_MASKS Sinusoidal illumination patterns for structured illumination.
%   MASKS = KORVEX_MASKS(HEIGHT, WIDTH, PERIOD) returns a HEIGHT x WIDTH x 9 double stack of
%   patterns 1 + cos(2*pi*k.r + phi) with period PERIOD pixels at three orientations
%   (0, 60 and 120 degrees) and three phases (0, 2*pi/3, 4*pi/3).
%
%   MASKS = KORVEX_MASKS(HEIGHT, WIDTH, PERIOD, ANGLES, PHASES, MODULATION) sets the
%   orientations ANGLES and phases PHASES (vectors, in radians) and the modulation depth
%   MODULATION (0 to 1). Each frame is
%       1 + MODULATION * cos(2*pi * (cos(a)*x + sin(a)*y) / PERIOD + p)
%   with x the zero-based column index, y the zero-based row index, a one of ANGLES and p one
%   of PHASES: a = 0 gives a pattern that varies along each row (with x), a = pi/2 one that
%   varies down each column (with y).
%
%   Frame order is orientation-major: the first numel(PHASES) frames are all phases of
%   ANGLES(1) in the order of PHASES, then all phases of ANGLES(2), and so on; frame
%   (i-1)*numel(PHASES) + j has angle ANGLES(i) and phase PHASES(j). The raw image sequence
%   handed to KorvexCUDA must follow the same order, frame for frame.
%
%   PERIOD must be at least 2 pixels (shorter periods alias) and MODULATION at most 1 (so
%   that the patterns stay non-negative); errors name the offending parameter.
%
%   Example:
%     masks = korvex_masks(256, 256, 5);                            % 9 frames
%     masks = korvex_masks(256, 256, 5, [0 pi/2], [0 pi/2 pi 3*pi/2], 0.8);  % 8 frames
%
%   See also KORVEX_OTF, KORVEX_SIMULATE, KORVEXCUDA.

caller = 'korvex_masks';
if nargin < 3 || nargin > 6
  error('korvex:badParameter', ...
        '%s: expects 3 to 6 inputs (height, width, period[, angles, phases, modulation]).', ...
        caller);
end
if nargin < 4
  angles = [0, pi / 3, 2 * pi / 3];
end
if nargin < 5
  phases = [0, 2 * pi / 3, 4 * pi / 3];
end
if nargin < 6
  modulation = 1;
end
korvex_check_scalar(caller, 'height', height, 'count');
korvex_check_scalar(caller, 'width', width, 'count');
korvex_check_scalar(caller, 'period', period, 'positive');
if period < 2
  error('korvex:badParameter', '%s: period must be at least 2 pixels (got %g).', ...
        caller, period);
end
check_vector(caller, 'angles', angles);
check_vector(caller, 'phases', phases);
korvex_check_scalar(caller, 'modulation', modulation, 'nonnegative');
if modulation > 1
  error('korvex:badParameter', '%s: modulation must be between 0 and 1 (got %g).', ...
        caller, modulation);
end

height = double(height);
width = double(width);
x = repmat(0:width - 1, height, 1);
y = repmat((0:height - 1)', 1, width);
nPhases = numel(phases);
masks = zeros(height, width, numel(angles) * nPhases);
for i = 1:numel(angles)
  a = double(angles(i));
  % Projecting on the wave vector once per orientation; each phase only shifts the argument.
  arg = (2 * pi / double(period)) * (cos(a) * x + sin(a) * y);
  for j = 1:nPhases
    masks(:, :, (i - 1) * nPhases + j) = 1 + double(modulation) * cos(arg + double(phases(j)));
  end
end
end

function check_vector(caller, name, value)
if ~isnumeric(value) || isempty(value) || ~isreal(value) || ~isvector(value)
  error('korvex:badParameter', '%s: %s must be a non-empty real vector.', caller, name);
end
if any(~isfinite(value(:)))
  error('korvex:badParameter', '%s: %s must hold finite values (no NaN or Inf).', ...
        caller, name);
end
end
