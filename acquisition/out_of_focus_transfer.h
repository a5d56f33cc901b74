// The low-pass through which the out-of-focus model sees a thick specimen's haze, on the
// engine's fine grid: a Gaussian, or the OTF defocused by a given distance.
#pragma once

#include <vector>

#include "acquisition_pipeline.h"

namespace korvex::acquisition {

// The Gaussian's default standard deviation as a share of the OTF cut-off 2 na / wavelength:
// 0.6 cycles per micrometre at NA 1.2 and 0.52 micrometres, the width that removed the haze of
// a thick simulated specimen while leaving its in-focus part alone.
constexpr double kOutOfFocusWidthShare = 0.13;
// A measured OTF without optics gives the cut-off itself: the farthest frequency at which it
// still reaches this share of its zero-frequency value.
constexpr double kMeasuredCutoffLevel = 0.02;
// Where G stays above this share of its zero-frequency value, the model's out-of-focus light
// may lie: the pattern's depth is measured from the frequencies beyond.
constexpr double kOutOfFocusReachLevel = 0.1;

// Throws std::invalid_argument naming the option for a width or defocus that is negative or
// not finite, and, with the model on, for a defocus without the optics to model it from (na,
// wavelength, pixel size, na below the immersion index) or an explicit width without the pixel
// size that converts it to the grid.
void Check_Out_Of_Focus(const AcquisitionOptions& options, unsigned height, unsigned width,
                        unsigned factor);

// G on the grid `factor` times finer than height x width: centred, column-major, 1 at zero
// frequency. `fineOtf` is that grid's OTF, which gives the cut-off when the optics do not.
std::vector<double> Out_Of_Focus_Transfer(const AcquisitionOptions& options, unsigned height,
                                          unsigned width, unsigned factor,
                                          const std::vector<double>& fineOtf);

// The farthest frequency, in cycles per camera pixel, at which G on the height x width camera
// grid reaches kOutOfFocusReachLevel; `cameraOtf` is that grid's OTF, as for
// Out_Of_Focus_Transfer.
double Out_Of_Focus_Reach(const AcquisitionOptions& options, unsigned height, unsigned width,
                          const std::vector<double>& cameraOtf);

}  // namespace korvex::acquisition
