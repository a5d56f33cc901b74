function varargout = korvex_reconstruct(varargin)
%KORVEX_RECONSTRUCT Super-resolved image from a camera SIM acquisition, in one call.
%   [IMAGE, INFO] = KORVEX_RECONSTRUCT(FRAMES, 'na', NA, 'wavelength', LAMBDA, 'pixelSize', P)
%   reconstructs the H x W x F stack of raw camera frames FRAMES (single, double or any
%   integer class; F = angles x phases, orientation-major as KORVEX_MASKS orders them) on a
%   grid 2 times finer than the camera's. It
%     1. estimates the illumination (angle, period, phase, depth) from the frames on the
%        camera grid;
%     2. up-samples the frames by Fourier interpolation (the spectrum zero-padded, the Nyquist
%        bin of even sizes split), which reproduces a band-limited image exactly;
%     3. computes the OTF of the fine grid from NA, LAMBDA and P (KORVEX_OTF's model);
%     4. builds the masks on the fine grid (periods times the factor, phases referenced to
%        the same origin: fine pixel (1,1) is camera pixel (1,1));
%     5. runs the MAP-SIM engine of KORVEXCUDA on the fine grid.
%   IMAGE is (2H) x (2W), of class single (double for double frames), with pixels of P/2.
%   LAMBDA and P share one length unit (micrometres, say); P is the pixel side in the sample
%   plane (camera pixel / magnification).
%
%   Give the camera's offset ('background') and gain, or subtract and divide them out first:
%   the model has no offset and counts photons, and a constant left in the frames biases the
%   estimated depth and leaves a haze. FRAMES must not hold NaN or Inf.
%
%   Name/value options (defaults in brackets):
%     'na'          numerical aperture (required unless 'otf' is given)
%     'wavelength'  emission wavelength (required unless 'otf' is given)
%     'pixelSize'   camera pixel side in the sample plane (required unless 'otf' is given)
%     'immersion'   refractive index of the immersion medium; NA must stay below it [1.518]
%     'angles'      number of orientations A [3]
%     'phases'      phases per orientation P [3]
%     'upsample'    whole-number refinement factor; 1 keeps the camera grid [2]
%     'otf'         measured OTF, centred as KORVEX_OTF makes it, 1 at zero frequency, on the
%                   camera grid (H x W) or the fine grid (2H x 2W); replaces the model
%     'pattern'     struct with fields angle (1 x A), period (1 x A or scalar, camera pixels),
%                   phase (1 x F, or 1 x P repeated for every orientation) and modulation
%                   (1 x A or scalar) in KORVEX_MASKS' convention, and for 3-beam
%                   illumination modulation2 and phase2 (1 x A or scalar, default 0): the
%                   second harmonic's depth and phase constant; skips estimation
%     'orders'      harmonics of the pattern to estimate: 'auto' (the second too when
%                   P >= 5 and it is significant), 1, or 2 (3-beam; needs P >= 5) ['auto']
%     'background'  camera offset in counts, a scalar or an H x W image, subtracted from every
%                   frame before anything else [0]
%     'gain'        camera gain, counts per photon: the frames less the offset are divided by
%                   it, so that the model sees photons [1]
%     'iterations'  iteration limit [15]
%     'lambda'      smoothness weight [0.003]
%     'alpha'       first step size [0.05]
%     'threshold'   convergence threshold [0: run all iterations]
%     'nonnegative' true keeps the image >= 0, projecting it onto x >= 0 after every update
%                   [true]; false lets it go negative, as KORVEXCUDA does
%     'dataTerm'    'frames' compares the model with the frames y_j themselves; 'masked' with
%                   the masked frames m_j y_j, as KORVEXCUDA does ['frames']
%     'sparsity'    weight of an L1 penalty that pulls dim pixels of the non-negative image to
%                   zero, as a share of the frames' mean level: its pull equals lowering every
%                   frame by sparsity x that mean. Needs 'nonnegative'; 0 turns it off
%                   [0.25 with 'nonnegative', 0 without]
%     'outOfFocus'  true models the light of the planes above and below the focus (the
%                   haze of a thick specimen): an unpatterned, non-negative image shared by
%                   every frame, estimated together with IMAGE so that it stays out of it;
%                   an estimated depth is then the in-focus light's. A stack in which the
%                   start finds no haze is reconstructed as without the model [true with
%                   'precondition', false with plain steps, which take hundreds of iterations
%                   to move the haze]
%     'outOfFocusWidth'  standard deviation of the Gaussian low-pass the haze is seen
%                   through, in cycles per unit of P (per micrometre for P in micrometres);
%                   needs 'outOfFocus' [0: a share of the OTF cut-off]
%     'defocus'     > 0: the haze is seen instead through the OTF defocused by this distance
%                   (LAMBDA's unit), from NA, LAMBDA and 'immersion'; needs 'outOfFocus' [0]
%     'outOfFocusCost'  share of the sparsity penalty the haze's light pays, 0 to 1; below
%                   1 more smooth light goes to the haze: about 0.95 takes more of it out of
%                   a sparse specimen (filaments, vesicles, beads) but also a dense cell
%                   body's smooth light; needs 'outOfFocus' [1]
%     'precision'   'single' or 'double' [class of FRAMES; single for integers]
%     'precondition' true moves each step along the gradient filtered by the inverse of the
%                   equal-step Fourier multiplier (on the pixels the bound leaves free), which
%                   moves the band edges as fast as the rest [true]; false takes plain steps
%     'start'       'widefield' starts from the frames' sum; 'fourier' from the smooth
%                   quadratic's minimiser with that multiplier, one division ['widefield']
%   The defaults were chosen by studies on camera-sampled filament and cell stacks at 100 to
%   3,000 photons (docs/acquisition.md, docs/image_quality.md). KORVEXCUDA's own run is
%   'nonnegative', false, 'dataTerm', 'masked' (which also turns the sparsity off).
%
%   INFO is a struct:
%     pattern     angle, period (camera pixels), phase, modulation, mcnr, modulation2, phase2,
%                 mcnr2: the pattern used (modulation2 0 for 2-beam; the MCNRs empty when
%                 the pattern was given)
%     estimated   true when the pattern was estimated
%     mcnr        modulation contrast-to-noise ratio per orientation (empty when given)
%     iterations  iterations run
%     alpha       last step size;  ratio: last ratio of convergence measures
%     pixelSize   output pixel side (P / upsample)
%     upsample    the factor
%     seconds     time of each stage: estimation, upsampling, otf, masks, engineSetup,
%                 reconstruction, total
%     outOfFocusShare  share of the modelled light that the model assigned to out-of-focus
%                 haze (0 with 'outOfFocus' off): how hazy the specimen was
%     outOfFocus  the haze as it adds to every frame, on IMAGE's grid, in IMAGE's units
%                 ([] with 'outOfFocus' off)
%   Thick specimens: docs/thick_specimens.md measures when 'outOfFocus' helps.
%
%   The engine is kept between calls of the same size, frame count, iteration limit and
%   precision. KORVEX_RECONSTRUCT('release') frees it; any error frees it too.
%
%   Errors (identifier korvex:badParameter) name the argument: missing optics, NA at or above
%   the immersion index, a pixel too coarse for the fine grid (OTF cut-off 2 NA / LAMBDA
%   beyond its Nyquist frequency upsample / (2 P)), an upsample factor below 1 or not whole, a
%   fine grid too large for the engine, a measured OTF of the wrong size or not 1 at zero
%   frequency, a frame count that is not angles x phases, frames smaller than 16 x 16 without
%   a pattern, 'orders' 2 with fewer than 5 phases. An orientation whose pattern is too faint
%   to estimate raises the warning korvex:lowModulation and the call goes on. A camera pixel
%   coarser than LAMBDA / (4 NA) raises korvex:undersampled: the frames are aliased, which
%   neither the estimate nor the up-sampling can undo; the message gives the largest pixel
%   that would not alias.
%
%   Example:
%     [image, info] = korvex_reconstruct(frames, 'na', 1.2, 'wavelength', 0.52, ...
%                                        'pixelSize', 0.1);
%     imagesc(image); axis image; colormap gray;
%     fprintf('%d iterations, %.2f s\n', info.iterations, info.seconds.total);
%
%   See also KORVEXCUDA, KORVEX_OTF, KORVEX_MASKS, KORVEX_SIMULATE, KORVEX_FRC.

% This file carries the help text; the compiled MEX file beside it takes precedence when it
% exists, so this body runs only without it.
error('korvex:notBuilt', ...
      ['korvex_reconstruct: the compiled MEX file was not found on the path. Build the ', ...
       'project (cmake --build) and add its matlab folder with addpath.']);
end
