// Camera frames from a ground truth: the forward model that KorvexCUDA inverts, as
// korvex_simulate computes it, for front ends that have no FFT of their own (Python).
//
//   model_f = real(ifft2(ifftshift(otf) .* fft2(masks_f .* truth)))
//
// scaled so that the brightest value of the stack is `photons`, clamped at zero and offset by
// `background` (korvex_simulate's expected counts); photons = +Inf leaves the model unscaled and
// unclamped, as korvex_simulate's 'photons', Inf does. Drawing the noise is the caller's.
// Images are column-major H x W, stacks frame after frame; the transforms run in double
// through the platform seam.
#pragma once

namespace korvex::simulation {

// Throws std::invalid_argument for bad sizes or levels, std::runtime_error when the platform
// fails; writes height x width x frames values to `expected`.
void Simulate_Frames(const double* truth, const double* masks, const double* otf, unsigned height,
                     unsigned width, unsigned frames, double photons, double background,
                     double* expected);

}  // namespace korvex::simulation
