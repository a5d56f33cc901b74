#include "camera_grid_estimation.h"

#include <stdexcept>

namespace korvex::acquisition {

CameraGridEstimator::CameraGridEstimator(unsigned height, unsigned width, unsigned angles,
                                         unsigned phases)
    : height_(height), width_(width), angles_(angles), phases_(phases) {}

CameraGridEstimator::~CameraGridEstimator() = default;

bool CameraGridEstimator::Fits(unsigned height, unsigned width, unsigned angles,
                               unsigned phases) const {
  return height == height_ && width == width_ && angles == angles_ && phases == phases_;
}

template <typename T>
IlluminationPattern CameraGridEstimator::Estimate(const T*, const std::vector<double>&,
                                                  std::vector<unsigned>&) {
  throw std::invalid_argument(
      "pattern must be given: this build has no pattern estimator yet");
}

template IlluminationPattern CameraGridEstimator::Estimate<float>(const float*,
                                                                  const std::vector<double>&,
                                                                  std::vector<unsigned>&);
template IlluminationPattern CameraGridEstimator::Estimate<double>(const double*,
                                                                   const std::vector<double>&,
                                                                   std::vector<unsigned>&);

}  // namespace korvex::acquisition
