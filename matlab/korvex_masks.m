function masks = korvex_masks(height, width, period, angles, phases, modulation, ...
                              modulation2, phase2)
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
%   Per orientation and per frame: PERIOD and MODULATION may also hold one value per
%   orientation (numel(ANGLES) values), and PHASES one value per frame (numel(ANGLES) * P
%   values, P >= 3); the frames then number numel(PHASES), and frame (i-1)*P + j uses
%   PHASES((i-1)*P + j). PHASES is read per frame when PERIOD or MODULATION is given per
%   orientation and numel(PHASES) is a multiple of numel(ANGLES) of at least 3 per
%   orientation; otherwise it holds the phase steps that every orientation takes. This is the
%   form of a pattern estimate (see KORVEX_ESTIMATE_PATTERNS):
%       korvex_masks(H, W, pattern.period, pattern.angle, pattern.phase, pattern.modulation)
%
%   Frame order is orientation-major: the first numel(PHASES) frames are all phases of
%   ANGLES(1) in the order of PHASES, then all phases of ANGLES(2), and so on; frame
%   (i-1)*numel(PHASES) + j has angle ANGLES(i) and phase PHASES(j). The raw image sequence
%   handed to KorvexCUDA must follow the same order, frame for frame.
%
%   3-beam illumination: MASKS = KORVEX_MASKS(..., MODULATION, MODULATION2, PHASE2) adds the
%   second harmonic of depth MODULATION2 and phase constant PHASE2 (radians; each a scalar or
%   one value per orientation):
%       1 + MODULATION * cos(t) + MODULATION2 * cos(2*t + PHASE2),
%       t = 2*pi * (cos(a)*x + sin(a)*y) / PERIOD + p.
%   Its phase steps twice as fast as the first harmonic's. Five or more phases per orientation
%   separate it.
%
%   MASKS = KORVEX_MASKS(HEIGHT, WIDTH, PATTERN) takes the struct of KORVEX_ESTIMATE_PATTERNS
%   (or KORVEX_RECONSTRUCT's info.pattern): fields period, angle, phase (one per frame),
%   modulation and, when present, modulation2 and phase2.
%
%   PERIOD must be at least 2 pixels (shorter periods alias; 4 with a second harmonic, whose
%   period is half of it), MODULATION2 in [0, 1] and MODULATION in [0, 1], or up to
%   min(1 + MODULATION2, sqrt(2)) with a second harmonic (three equal beams: 4/3 and 2/3),
%   so that no mask goes negative; errors name the offending parameter.
%
%   Example:
%     masks = korvex_masks(256, 256, 5);                            % 9 frames
%     masks = korvex_masks(256, 256, 5, [0 pi/2], [0 pi/2 pi 3*pi/2], 0.8);  % 8 frames
%     masks = korvex_masks(256, 256, 6, [0 pi/3 2*pi/3], (0:4)*2*pi/5, 1, 0.5, 0);  % 3-beam
%
%   See also KORVEX_OTF, KORVEX_SIMULATE, KORVEXCUDA.

caller = 'korvex_masks';
structForm = nargin == 3 && isstruct(period);
if structForm
  [period, angles, phases, modulation, modulation2, phase2] = from_struct(caller, period);
elseif nargin < 3 || nargin > 8
  error('korvex:badParameter', ['%s: expects 3 to 8 inputs (height, width, period[, ' ...
        'angles, phases, modulation, modulation2, phase2]) or (height, width, pattern).'], ...
        caller);
end
if ~structForm
  defaults = {[0, pi / 3, 2 * pi / 3], [0, 2 * pi / 3, 4 * pi / 3], 1, 0, 0};
  given = {[], [], [], [], []};
  if nargin > 3, given{1} = angles; end
  if nargin > 4, given{2} = phases; end
  if nargin > 5, given{3} = modulation; end
  if nargin > 6, given{4} = modulation2; end
  if nargin > 7, given{5} = phase2; end
  for k = nargin - 2:5
    given{k} = defaults{k};
  end
  [angles, phases, modulation, modulation2, phase2] = given{:};
end
korvex_check_scalar(caller, 'height', height, 'count');
korvex_check_scalar(caller, 'width', width, 'count');
check_vector(caller, 'angles', angles);
check_vector(caller, 'phases', phases);
nAngles = numel(angles);
% Per-frame phases come with per-orientation periods or depths (see the help).
perFrame = (structForm || numel(period) > 1 || numel(modulation) > 1 || ...
            numel(modulation2) > 1 || numel(phase2) > 1) && ...
           mod(numel(phases), nAngles) == 0 && numel(phases) >= 3 * nAngles;
period = per_orientation(caller, 'period', period, nAngles);
if any(period <= 0)
  error('korvex:badParameter', '%s: period must be positive.', caller);
end
if any(period < 2)
  error('korvex:badParameter', '%s: period must be at least 2 pixels (got %g).', ...
        caller, min(period));
end
modulation = per_orientation(caller, 'modulation', modulation, nAngles);
if any(modulation < 0)
  error('korvex:badParameter', '%s: modulation must be nonnegative.', caller);
end
if any(modulation > 1)
  error('korvex:badParameter', '%s: modulation must be between 0 and 1 (got %g).', ...
        caller, max(modulation));
end
modulation2 = per_orientation(caller, 'modulation2', modulation2, nAngles);
phase2 = per_orientation(caller, 'phase2', phase2, nAngles);
if any(modulation2 < 0 | modulation2 > 1)
  error('korvex:badParameter', '%s: modulation2 must be between 0 and 1.', caller);
end
if any(modulation2 > 0 & period < 4)
  error('korvex:badParameter', ['%s: period must be at least 4 pixels with a second ' ...
        'harmonic (got %g): its own period, half of it, would alias.'], caller, ...
        min(period(modulation2 > 0)));
end

height = double(height);
width = double(width);
x = repmat(0:width - 1, height, 1);
y = repmat((0:height - 1)', 1, width);
if perFrame
  nPhases = numel(phases) / nAngles;
  phaseOf = @(i, j) phases((i - 1) * nPhases + j);
else
  nPhases = numel(phases);
  phaseOf = @(i, j) phases(j);
end
masks = zeros(height, width, nAngles * nPhases);
for i = 1:nAngles
  a = double(angles(i));
  % Projecting on the wave vector once per orientation; each phase only shifts the argument.
  arg = (2 * pi / double(period(i))) * (cos(a) * x + sin(a) * y);
  for j = 1:nPhases
    t = arg + double(phaseOf(i, j));
    masks(:, :, (i - 1) * nPhases + j) = 1 + modulation(i) * cos(t) + ...
                                         modulation2(i) * cos(2 * t + phase2(i));
  end
end
end

function [period, angles, phases, modulation, modulation2, phase2] = from_struct(caller, p)
% The fields of a pattern struct; the second harmonic's may be absent.
for name = {'period', 'angle', 'phase'}
  if ~isfield(p, name{1})
    error('korvex:badParameter', '%s: the pattern struct has no field ''%s''.', caller, ...
          name{1});
  end
end
period = p.period;
angles = p.angle;
phases = p.phase;
modulation = 1;
modulation2 = 0;
phase2 = 0;
if isfield(p, 'modulation'), modulation = p.modulation; end
if isfield(p, 'modulation2'), modulation2 = p.modulation2; end
if isfield(p, 'phase2'), phase2 = p.phase2; end
end

function values = per_orientation(caller, name, value, nAngles)
% A scalar, or one value per orientation, as a double row of nAngles values.
if ~isnumeric(value) || ~isreal(value) || isempty(value) || ~isvector(value)
  error('korvex:badParameter', '%s: %s must be a real scalar or vector.', caller, name);
end
if any(~isfinite(value(:)))
  error('korvex:badParameter', '%s: %s must be finite (no NaN or Inf).', caller, name);
end
if isscalar(value)
  values = repmat(double(value), 1, nAngles);
elseif numel(value) == nAngles
  values = double(value(:)');
else
  error('korvex:badParameter', ...
        '%s: %s must be a scalar or hold one value per orientation (%d), got %d.', ...
        caller, name, nAngles, numel(value));
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
