// The reconstruction does what it is for: on simulated SIM data it lowers its objective and
// comes closer to the true object than the widefield image.
#include <gtest/gtest.h>

#include "engine_run.h"
#include "reference_model.h"
#include "synthetic_sim.h"

namespace {

using namespace korvex::test;

constexpr double kLambda = 0.001;
constexpr double kAlpha = 0.05;

template <typename T>
class ReconstructionQualityTest : public ::testing::Test {
 protected:
  static const SimScene& Scene() {
    static const SimScene scene = Simulated_Scene(64, 64);
    return scene;
  }
  static std::vector<double> After(unsigned iterations) {
    return To_Double(Run_Engine<T>(Scene().problem, iterations, 0.0, kLambda, kAlpha).output);
  }
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ReconstructionQualityTest, Precisions);

TYPED_TEST(ReconstructionQualityTest, ObjectiveFallsFarBelowItsValueAfterTheFirstStep) {
  const Problem& p = this->Scene().problem;
  const double first = Objective(p, this->After(1), kLambda);
  const double fiftieth = Objective(p, this->After(50), kLambda);
  EXPECT_LT(fiftieth, 0.1 * first) << "after 1: " << first << ", after 50: " << fiftieth;
}

// Metric: distance from the object after a least-squares scale match (scale-free, like a
// normalised correlation).
TYPED_TEST(ReconstructionQualityTest, ReconstructionIsCloserToTheObjectThanWidefield) {
  const SimScene& scene = this->Scene();
  const double widefield = Scaled_Error(this->After(0), scene.object);
  const double early = Scaled_Error(this->After(3), scene.object);
  const double reconstructed = Scaled_Error(this->After(50), scene.object);
  EXPECT_LT(reconstructed, 0.9 * widefield) << "widefield " << widefield;
  EXPECT_LT(reconstructed, 0.9 * early) << "after 3 iterations " << early;
}

}  // namespace
