function test_reconstruct_quality()
%TEST_RECONSTRUCT_QUALITY On a small simulated camera stack of filaments, the defaults (the
%   image kept non-negative, the data term on the frames, the sparsity penalty) resolve finer
%   than the plain MAP-SIM run of KorvexCUDA's data term, keep the image >= 0, and correlate
%   better with the truth than without the sparsity penalty. On a dense specimen whose
%   background was subtracted 3 counts too much, the constraint is no worse than without it.
s = acquisition_filaments(96, 96, 1000, 3);
optics = {'na', s.na, 'wavelength', s.wavelength, 'pixelSize', s.pixelSize, ...
          'pattern', s.pattern};
plainSettings = {'nonnegative', false, 'dataTerm', 'masked', 'iterations', 20, 'lambda', 0.01};
chosen = korvex_reconstruct(s.frames, optics{:});
plain = korvex_reconstruct(s.frames, optics{:}, plainSettings{:});
chosenNm = 1000 * korvex_frc(chosen, s.truth2, s.pixelSize / 2);
plainNm = 1000 * korvex_frc(plain, s.truth2, s.pixelSize / 2);
fprintf('filaments: defaults %.0f nm, plain %.0f nm\n', chosenNm, plainNm);
assert(chosenNm < plainNm - 20, sprintf('defaults %.0f nm, plain %.0f nm', chosenNm, plainNm));
assert(min(chosen(:)) >= 0);
% The default sparsity penalty against none: a closer image of the sparse specimen.
period = s.pattern.period(1) * s.pixelSize;
carriers = [cos(s.pattern.angle'), sin(s.pattern.angle')] / period;
band = 2 * s.na / s.wavelength + [0, 1 / period];
sparse = quality_scores(chosen, s.truth2, s.pixelSize / 2, band, carriers);
none = quality_scores(korvex_reconstruct(s.frames, optics{:}, 'sparsity', 0), s.truth2, ...
                      s.pixelSize / 2, band, carriers);
fprintf('filaments: correlation with sparsity %.4f, without %.4f\n', sparse.correlation, ...
        none.correlation);
assert(sparse.correlation > none.correlation + 0.005);

c = acquisition_cell(96, 96, 1000, 3, -3);
optics = {'na', c.na, 'wavelength', c.wavelength, 'pixelSize', c.pixelSize, ...
          'pattern', c.pattern};
period = c.pattern.period(1) * c.pixelSize;
carriers = [cos(c.pattern.angle'), sin(c.pattern.angle')] / period;
band = 2 * c.na / c.wavelength + [0, 1 / period];
kept = quality_scores(korvex_reconstruct(c.frames, optics{:}, 'nonnegative', true), ...
                      c.truth2, c.pixelSize / 2, band, carriers);
free = quality_scores(korvex_reconstruct(c.frames, optics{:}, 'nonnegative', false), ...
                      c.truth2, c.pixelSize / 2, band, carriers);
korvex_reconstruct('release');
fprintf('cell: constrained %.0f nm, %.4f; free %.0f nm, %.4f\n', 1000 * kept.resolution, ...
        kept.correlation, 1000 * free.resolution, free.correlation);
assert(kept.correlation >= free.correlation - 1e-3);
assert(kept.band >= free.band - 0.01);
assert(kept.resolution <= free.resolution * 1.02);
end
