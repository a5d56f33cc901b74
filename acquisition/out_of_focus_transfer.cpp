#include "out_of_focus_transfer.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "caller_terms.h"
#include "optical_transfer.h"

namespace korvex::acquisition {

namespace {

void Check_Non_Negative(double value, const char* name) {
  if (std::isfinite(value) && value >= 0.0) return;
  std::ostringstream message;
  message << Argument(name) << " must be a non-negative finite number, got " << value;
  throw std::invalid_argument(message.str());
}

bool Positive(double value) { return value > 0.0 && std::isfinite(value); }

// The fine grid's frequency of a centred index, in cycles per fine pixel.
double Frequency(unsigned index, unsigned extent) {
  return (double(index) - double(extent / 2)) / extent;
}

// The farthest frequency, in cycles per pixel, at which a centred transfer function reaches
// `share` of its zero-frequency value.
double Measured_Cutoff(const std::vector<double>& otf, unsigned height, unsigned width,
                       double share = kMeasuredCutoffLevel) {
  const double level = share * otf[size_t{width / 2} * height + height / 2];
  double cutoff = 0.0;
  for (unsigned c = 0; c < width; ++c) {
    for (unsigned r = 0; r < height; ++r) {
      if (otf[size_t{c} * height + r] < level) continue;
      cutoff = std::max(cutoff, std::hypot(Frequency(c, width), Frequency(r, height)));
    }
  }
  return cutoff;
}

}  // namespace

void Check_Out_Of_Focus(const AcquisitionOptions& options, unsigned height, unsigned width,
                        unsigned factor) {
  const OutOfFocusModel& model = options.outOfFocus;
  Check_Non_Negative(model.width, "outOfFocusWidth");
  Check_Non_Negative(model.defocus, "defocus");
  if (!(model.cost >= 0.0 && model.cost <= 1.0)) {
    std::ostringstream message;
    message << Argument("outOfFocusCost") << " must be a number from 0 to 1, got " << model.cost;
    throw std::invalid_argument(message.str());
  }
  if (!Out_Of_Focus_On(options)) return;
  const Optics& optics = options.optics;
  if (model.defocus > 0.0) {
    if (!Positive(optics.na) || !Positive(optics.wavelength)) {
      std::ostringstream message;
      message << Argument("defocus") << " (" << model.defocus
              << ") needs na and wavelength: the defocused OTF is modelled from the optics";
      throw std::invalid_argument(message.str());
    }
    Check_Optics(optics, height, width, factor);
  } else if (model.width > 0.0 && !Positive(optics.pixelSize)) {
    std::ostringstream message;
    message << Argument("outOfFocusWidth") << " (" << model.width
            << ") is in cycles per unit length and needs " << Argument("pixelSize")
            << " to reach the grid";
    throw std::invalid_argument(message.str());
  }
}

std::vector<double> Out_Of_Focus_Transfer(const AcquisitionOptions& options, unsigned height,
                                          unsigned width, unsigned factor,
                                          const std::vector<double>& fineOtf) {
  const OutOfFocusModel& model = options.outOfFocus;
  const Optics& o = options.optics;
  const unsigned fineHeight = height * factor;
  const unsigned fineWidth = width * factor;
  if (model.defocus > 0.0) {
    return Defocused_Otf(fineHeight, fineWidth, o.na, o.wavelength, o.pixelSize / factor,
                         o.immersion, model.defocus);
  }
  // The standard deviation in cycles per fine pixel.
  const double finePixel = o.pixelSize / factor;
  double sigma = model.width * finePixel;
  if (model.width == 0.0) {
    const bool optics = Positive(o.na) && Positive(o.wavelength) && Positive(o.pixelSize);
    const double cutoff = optics ? 2.0 * o.na / o.wavelength * finePixel
                                 : Measured_Cutoff(fineOtf, fineHeight, fineWidth);
    sigma = kOutOfFocusWidthShare * cutoff;
    if (!(sigma > 0.0)) {
      throw std::invalid_argument(
          "otf has no passband to take the out-of-focus model's width from: give na and "
          "wavelength, or " +
          Argument("outOfFocusWidth"));
    }
  }
  std::vector<double> g(size_t{fineHeight} * fineWidth);
  const double scale = -0.5 / (sigma * sigma);
  for (unsigned c = 0; c < fineWidth; ++c) {
    const double fx = Frequency(c, fineWidth);
    for (unsigned r = 0; r < fineHeight; ++r) {
      const double fy = Frequency(r, fineHeight);
      g[size_t{c} * fineHeight + r] = std::exp(scale * (fx * fx + fy * fy));
    }
  }
  return g;
}

double Out_Of_Focus_Reach(const AcquisitionOptions& options, unsigned height, unsigned width,
                          const std::vector<double>& cameraOtf) {
  return Measured_Cutoff(Out_Of_Focus_Transfer(options, height, width, 1, cameraOtf), height,
                         width, kOutOfFocusReachLevel);
}

}  // namespace korvex::acquisition
