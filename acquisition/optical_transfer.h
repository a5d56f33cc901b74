// The widefield OTF of an acquisition, on the grid the engine reconstructs on.
//
// OTFs here are centred as KorvexCUDA takes them: H x W column-major, zero frequency at the
// zero-based row floor(H/2), column floor(W/2). Grids that share a pixel pitch's frequency
// step (a camera grid of N pixels of side p and its factor-s refinement of s N pixels of side
// p / s) sample the same frequencies about zero, so moving an OTF between them is an
// embedding or a crop, not an interpolation.
#pragma once

#include <vector>

namespace korvex::acquisition {

struct Optics {
  double na = 0.0;           // numerical aperture
  double wavelength = 0.0;   // emission wavelength, same unit as pixelSize
  double pixelSize = 0.0;    // camera pixel side, in the sample plane
  double immersion = 1.518;  // refractive index of the immersion medium (oil by default)
};

// Throws std::invalid_argument naming the field unless every optical value is a positive
// finite number, na is below the immersion index and the OTF cut-off 2 na / wavelength lies
// between 2 frequency bins of the height x width camera grid and the Nyquist frequency
// factor / (2 pixelSize) of the grid refined by `factor`. A cut-off outside that range comes
// from lengths in different units; the message names the likely one.
void Check_Optics(const Optics& optics, unsigned height, unsigned width, unsigned factor);

// The incoherent OTF of an aberration-free circular pupil (korvex_otf's model) for H x W
// pixels of side `pixelSize`: (2/pi)(acos r - r sqrt(1 - r^2)), r = f / (2 na / wavelength).
std::vector<double> Widefield_Otf(unsigned height, unsigned width, double na, double wavelength,
                                  double pixelSize);

// The scalar incoherent OTF of the same pupil defocused by `defocus` (the wavelength's unit)
// in a medium of index `immersion`: the pupil carries the phase 2 pi defocus
// sqrt(immersion^2 / wavelength^2 - rho^2) out to rho = na / wavelength, the OTF is the
// transform of |PSF|^2 (the pupil's autocorrelation, real and even), normalised to 1 at zero
// frequency. Defocus 0 gives Widefield_Otf up to the sampling of the pupil.
std::vector<double> Defocused_Otf(unsigned height, unsigned width, double na, double wavelength,
                                  double pixelSize, double immersion, double defocus);

// A centred OTF moved to a height x width grid of the same frequency step: cropped about zero
// frequency, or embedded with zeros beyond its support. A bin with no counterpart but whose
// mirror has one (the second Nyquist bin of an even size) takes the mirror's value, since the
// OTF of a real PSF is point-symmetric.
std::vector<double> Resample_Otf(const std::vector<double>& otf, unsigned otfHeight,
                                 unsigned otfWidth, unsigned height, unsigned width);

}  // namespace korvex::acquisition
