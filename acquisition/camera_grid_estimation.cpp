#include "camera_grid_estimation.h"

#include "pattern_estimate.h"

namespace korvex::acquisition {

CameraGridEstimator::CameraGridEstimator(unsigned height, unsigned width, unsigned angles,
                                         unsigned phases)
    : estimator_(
          std::make_unique<korvex::patterns::PatternEstimator>(height, width, angles, phases)) {}

CameraGridEstimator::~CameraGridEstimator() = default;

bool CameraGridEstimator::Fits(unsigned height, unsigned width, unsigned angles,
                               unsigned phases) const {
  return estimator_->Height() == height && estimator_->Width() == width &&
         estimator_->Angles() == angles && estimator_->Phases() == phases;
}

template <typename T>
IlluminationPattern CameraGridEstimator::Estimate(const T* frames, const T* otf,
                                                  std::vector<unsigned>& lowModulation) {
  const korvex::patterns::PatternEstimate estimate = estimator_->Estimate(frames, otf);
  IlluminationPattern pattern;
  lowModulation.clear();
  for (size_t a = 0; a < estimate.orientations.size(); ++a) {
    const korvex::patterns::OrientationEstimate& o = estimate.orientations[a];
    pattern.angle.push_back(o.angle);
    pattern.period.push_back(o.period);
    pattern.modulation.push_back(o.modulation);
    pattern.mcnr.push_back(o.mcnr);
    if (o.lowModulation) lowModulation.push_back(static_cast<unsigned>(a));
  }
  pattern.phase = estimate.phases;
  // A second harmonic travels with the pattern only where one was found: two-beam patterns
  // keep modulation2 and phase2 empty.
  for (const korvex::patterns::OrientationEstimate& o : estimate.orientations) {
    if (o.modulation2 == 0.0) continue;
    for (const korvex::patterns::OrientationEstimate& each : estimate.orientations) {
      pattern.modulation2.push_back(each.modulation2);
      pattern.phase2.push_back(each.phase2);
    }
    break;
  }
  return pattern;
}

template IlluminationPattern CameraGridEstimator::Estimate<float>(const float*, const float*,
                                                                  std::vector<unsigned>&);
template IlluminationPattern CameraGridEstimator::Estimate<double>(const double*, const double*,
                                                                   std::vector<unsigned>&);

}  // namespace korvex::acquisition
