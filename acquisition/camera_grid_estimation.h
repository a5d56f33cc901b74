// The pipeline's pattern estimation stage: the illumination read from the camera frames by
// the estimator of patterns/, in korvex_masks' convention on the camera grid.
#pragma once

#include <memory>

#include "illumination_pattern.h"

namespace korvex::acquisition {

class CameraGridEstimator {
 public:
  // Throws std::invalid_argument, in the pipeline's terms, when frames of this size are too
  // small to estimate a pattern from.
  CameraGridEstimator(unsigned height, unsigned width, unsigned angles, unsigned phases);
  ~CameraGridEstimator();
  CameraGridEstimator(const CameraGridEstimator&) = delete;
  CameraGridEstimator& operator=(const CameraGridEstimator&) = delete;

  bool Fits(unsigned height, unsigned width, unsigned angles, unsigned phases) const;

  // frames: H x W x (A P) column-major; otf: the camera grid's, centred, H x W. Orientations
  // too faint to trust come flagged lowModulation.
  template <typename T>
  IlluminationPattern Estimate(const T* frames, const T* otf,
                               const korvex::patterns::PatternGuess& guess);

 private:
  std::unique_ptr<korvex::patterns::PatternEstimator> estimator_;
};

}  // namespace korvex::acquisition
