function varargout = KorvexCUDA(varargin)
%KORVEXCUDA  MAP-SIM reconstruction of structured-illumination images on the GPU.
%
%   RECON = KorvexCUDA(SEQ, MASKS, OTF, MAXITER, THRESHOLD, LAMBDA, ALPHA)
%   [RECON, ITER] = KorvexCUDA(...)
%   [RECON, ITER, STEP] = KorvexCUDA(...)
%   [RECON, ITER, STEP, RATIO] = KorvexCUDA(...)
%   KorvexCUDA(0)
%
%   Reconstructs one image from a sequence of structured-illumination frames by
%   maximum-a-posteriori estimation: a gradient descent on the estimate with a
%   quadratic smoothness term and Barzilai-Borwein step sizes.
%
%   Inputs (all seven are required for a reconstruction):
%     SEQ        Image Sequence, H x W x F: F raw frames of H rows and W columns,
%                stored consecutively (frame f is SEQ(:,:,f)). An H x W matrix is
%                a sequence of one frame.
%     MASKS      Image Mask, H x W x F: the illumination pattern of each frame,
%                in the same order and of the same size as SEQ.
%     OTF        H x W optical transfer function, centred: zero frequency at row
%                floor(H/2)+1, column floor(W/2)+1. Its size sets the image size.
%     MAXITER    Max Iteration Count: a number from 0 to 4294967295, truncated
%                toward zero (2.9 gives 2). 0 returns the first estimate, the
%                per-pixel sum of the frames.
%     THRESHOLD  Convergence Threshold: the loop stops once the ratio of two
%                successive convergence measures falls below it.
%     LAMBDA     Regularisation weight of the smoothness term (finite).
%     ALPHA      Step size of the first iteration; later steps are computed.
%
%   Outputs:
%     RECON      H x W reconstructed image, of the class of the data arrays.
%     ITER       Zero-based index of the last iteration entered.
%     STEP       The last step size.
%     RATIO      The ratio of the last two convergence measures (3.4028235e38
%                when no ratio was formed, as with fewer than two iterations).
%
%   Precision: SEQ, MASKS and OTF must be real, full and all single or all
%   double; the reconstruction then runs in that precision and every output
%   has that class. MAXITER, THRESHOLD, LAMBDA and ALPHA may each be single or
%   double whatever the data; in a single-precision run they are rounded to
%   single.
%
%   Memory: the GPU resources of one reconstruction size (H, W, F and MAXITER)
%   are kept between calls, so a series of reconstructions of one size pays the
%   set-up once; a call with another size or precision replaces them.
%   KorvexCUDA(0) (exactly one input of any kind, no output) releases them.
%   Any error releases them as well.
%
%   Example:
%     H = 128; W = 128; F = 9;
%     masks = rand(H, W, F, 'single');
%     [u, v] = meshgrid(-W/2:W/2-1, -H/2:H/2-1);
%     otf = single(exp(-(u.^2 + v.^2) / (2 * 20^2)));
%     seq = masks .* rand(H, W, 'single');        % stand-in for measured frames
%     [recon, iter, step, ratio] = KorvexCUDA(seq, masks, otf, 50, 1e-4, 0.01, 0.1);
%     imagesc(recon); axis image; title(sprintf('%d iterations', iter + 1));
%     KorvexCUDA(0);                              % release the GPU memory

% This file carries the help text; the compiled KorvexCUDA MEX file beside it
% takes precedence when it exists, so this body runs only without it.
error('KorvexCUDA:notBuilt', ...
      ['KorvexCUDA: the compiled MEX file was not found on the path. Build the ', ...
       'project (cmake --build) and add its matlab folder with addpath.']);
end
