// The pipeline's pattern estimation stage: the illumination read from the camera frames by
// the estimator of patterns/, in korvex_masks' convention on the camera grid.
#pragma once

#include <memory>
#include <vector>

#include "illumination_pattern.h"

namespace korvex::patterns {
class PatternEstimator;
}

namespace korvex::acquisition {

class CameraGridEstimator {
 public:
  CameraGridEstimator(unsigned height, unsigned width, unsigned angles, unsigned phases);
  ~CameraGridEstimator();
  CameraGridEstimator(const CameraGridEstimator&) = delete;
  CameraGridEstimator& operator=(const CameraGridEstimator&) = delete;

  bool Fits(unsigned height, unsigned width, unsigned angles, unsigned phases) const;

  // frames: H x W x (A P) column-major; otf: the camera grid's, centred, H x W. Orientations
  // whose pattern is too faint to trust are listed in `lowModulation`.
  template <typename T>
  IlluminationPattern Estimate(const T* frames, const T* otf,
                               std::vector<unsigned>& lowModulation);

 private:
  std::unique_ptr<korvex::patterns::PatternEstimator> estimator_;
};

}  // namespace korvex::acquisition
