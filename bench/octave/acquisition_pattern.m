function pattern = acquisition_pattern()
%ACQUISITION_PATTERN The 2-beam illumination of the simulated acquisitions.
%   PATTERN = ACQUISITION_PATTERN() is 3 orientations x 3 equal phase steps of full depth,
%   period 0.85 of the OTF cut-off for camera pixels of 0.1 um, NA 1.2 and 520 nm emission, in
%   KORVEX_SIMULATE_CAMERA's fields (camera pixels).
pattern = struct('angle', 0.3 + [0, pi / 3, 2 * pi / 3], ...
                 'period', 1 / (0.85 * 2 * 1.2 / 0.52) / 0.1 * [1, 1, 1], ...
                 'phase', repmat([0, 2 * pi / 3, 4 * pi / 3], 1, 3), 'modulation', [1, 1, 1]);
end
