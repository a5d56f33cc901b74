#include "camera_grid_estimation.h"

#include <stdexcept>
#include <string>

namespace korvex::acquisition {

namespace {

std::unique_ptr<korvex::patterns::PatternEstimator> Make_Estimator(unsigned height,
                                                                   unsigned width,
                                                                   unsigned angles,
                                                                   unsigned phases) {
  const unsigned least = korvex::patterns::kMinSide;
  if (height < least || width < least) {
    throw std::invalid_argument(
        "frames of " + std::to_string(height) + " x " + std::to_string(width) +
        " pixels are too small to estimate the pattern from (at least " + std::to_string(least) +
        " x " + std::to_string(least) + "); give the pattern instead");
  }
  return std::make_unique<korvex::patterns::PatternEstimator>(height, width, angles, phases);
}

}  // namespace

CameraGridEstimator::CameraGridEstimator(unsigned height, unsigned width, unsigned angles,
                                         unsigned phases)
    : estimator_(Make_Estimator(height, width, angles, phases)) {}

CameraGridEstimator::~CameraGridEstimator() = default;

bool CameraGridEstimator::Fits(unsigned height, unsigned width, unsigned angles,
                               unsigned phases) const {
  return estimator_->Height() == height && estimator_->Width() == width &&
         estimator_->Angles() == angles && estimator_->Phases() == phases;
}

template <typename T>
IlluminationPattern CameraGridEstimator::Estimate(const T* frames, const T* otf,
                                                  const korvex::patterns::PatternGuess& guess) {
  return estimator_->Estimate(frames, otf, guess);
}

template IlluminationPattern CameraGridEstimator::Estimate<float>(
    const float*, const float*, const korvex::patterns::PatternGuess&);
template IlluminationPattern CameraGridEstimator::Estimate<double>(
    const double*, const double*, const korvex::patterns::PatternGuess&);

}  // namespace korvex::acquisition
