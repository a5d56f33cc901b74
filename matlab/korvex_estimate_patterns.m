function varargout = korvex_estimate_patterns(varargin)
%KORVEX_ESTIMATE_PATTERNS Illumination patterns read from raw structured-illumination frames.
%
%   [MASKS, PATTERN] = korvex_estimate_patterns(FRAMES, OTF)
%   [MASKS, PATTERN] = korvex_estimate_patterns(FRAMES, OTF, 'angles', A, 'phases', P)
%
%   Estimates, from the frames alone, each orientation's angle, period and modulation depth
%   (and, for 3-beam illumination, its second harmonic's) and each frame's phase, and returns
%   the masks KorvexCUDA needs for these frames.
%
%   Inputs:
%     FRAMES  H x W x F raw frames, single, double or integer camera counts, in the order
%             of KORVEX_MASKS: orientation-major, frame (i-1)*P + j has orientation i and
%             phase step j. F must equal A * P.
%     OTF     H x W OTF as KorvexCUDA takes it: centred, zero frequency at row
%             floor(H/2)+1, column floor(W/2)+1 (as KORVEX_OTF makes it).
%   Options (name/value):
%     'angles'       number of orientations A (default 3)
%     'phases'       number of phase steps P per orientation, at least 3 (default 3)
%     'periodGuess'  expected period in pixels: the search keeps within +-10% of it
%     'angleGuess'   1 x A expected angles in radians: the search keeps within +-5 degrees;
%                    a scalar is the first orientation's, the others taken pi/A apart
%     'orders'       harmonics to estimate: 'auto' (default: the second too when P >= 5 and
%                    it is significant), 1, or 2 (3-beam illumination; needs P >= 5)
%     'background'   camera offset in counts, scalar or H x W, subtracted first (default 0)
%     'gain'         counts per photon, dividing the frames less the offset (default 1)
%   No guess is needed: by default the whole passband is searched, except near zero
%   frequency.
%
%   Outputs:
%     MASKS    H x W x F masks of the class of FRAMES (single for integers), ready for
%              KorvexCUDA; the same as korvex_masks(H, W, PATTERN).
%     PATTERN  struct with fields
%                angle       1 x A direction of each wave vector, radians in [0, pi),
%                            x the column, y the row
%                period      1 x A pattern period, pixels
%                phase       1 x F phase of each frame, radians in [0, 2*pi), at pixel (1, 1)
%                modulation  1 x A modulation depth, in [0, 1] (up to min(1 + modulation2,
%                            sqrt(2)) with a second harmonic)
%                mcnr        1 x A modulation contrast-to-noise ratio
%                modulation2 1 x A depth of the second harmonic (0 for 2-beam)
%                phase2      1 x A its phase constant psi, radians
%                mcnr2       1 x A its MCNR (0 when not measured)
%              Frame f = (i-1)*P + j was lit by
%                1 + modulation(i) * cos(t) + modulation2(i) * cos(2*t + phase2(i)),
%                t = 2*pi*(cos(angle(i))*x + sin(angle(i))*y) / period(i) + phase(f),
%              with x, y the zero-based column and row.
%
%   MCNR is the strength of the carrier over the noise it is measured against, less the
%   level noise alone reaches at the best of the positions searched: above 3 the pattern
%   is found; data of a few hundred photons give hundreds or more. Below 3 the call warns
%   (identifier korvex:lowModulation) naming the orientation and its MCNR, and still
%   returns its best estimate. See docs/usage.md for what to do then.
%
%   Errors name the argument at fault: frames that are not A*P, an OTF that is not H x W,
%   NaN or Inf values, complex or sparse arrays, fewer than 3 phases, 'orders' 2 with fewer
%   than 5, an image too small for the pattern.
%
%   Example:
%     otf = korvex_otf(256, 256, 1.0, 0.52, 0.065);
%     truth = korvex_test_object(256, 256);
%     frames = korvex_simulate(truth, korvex_masks(256, 256, 5), otf, 'seed', 1);
%     [masks, pattern] = korvex_estimate_patterns(frames, otf);
%     image = KorvexCUDA(single(frames), single(masks), single(otf), 40, 1e-3, 0.01, 0.05);
%
%   The depth here is measured over all the object frequencies. KORVEX_RECONSTRUCT, with its
%   out-of-focus model (on by default), measures it beyond the haze's reach, which a thick
%   specimen's haze does not lower: for it, give KORVEX_RECONSTRUCT no 'pattern' (or the
%   info.pattern of an earlier call) rather than this function's PATTERN.
%
%   See also KORVEX_MASKS, KORVEX_OTF, KORVEXCUDA, KORVEX_DEMO.

% This file carries the help text; the compiled MEX file beside it takes precedence when
% it exists, so this body runs only without it.
error('korvex:notBuilt', ...
      ['korvex_estimate_patterns: the compiled MEX file was not found on the path. Build ', ...
       'the project (cmake --build) and add its matlab folder with addpath.']);
end
