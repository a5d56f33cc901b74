// The platform calls of the pipeline (estimation included) and of the estimator alone, made to
// fail in turn: each operation at its first, second and last call of a good run. Every failure
// must surface as an exception with a message, leave nothing held on the device, and the next
// call must give the good run's result exactly.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "acquisition_pipeline.h"
#include "host/host_control.h"
#include "pattern_estimate.h"
#include "pattern_sim.h"
#include "platform_faults.h"

namespace {

using namespace korvex::acquisition;
namespace host = korvex::host;

constexpr unsigned kSide = 32;

struct FaultPoint {
  std::string operation;
  unsigned nth;
};

// First, second and last call of each operation in `log` that can fail (releases cannot).
std::vector<FaultPoint> Fault_Points(const std::vector<std::string>& log) {
  std::map<std::string, unsigned> total;
  for (const std::string& operation : log) {
    if (korvex::test::Realistic_Failures().count(operation)) ++total[operation];
  }
  std::vector<FaultPoint> points;
  for (const auto& [operation, count] : total) {
    for (unsigned nth : {1u, 2u, count}) {
      if (nth <= count &&
          (points.empty() || points.back().operation != operation || points.back().nth != nth)) {
        points.push_back({operation, nth});
      }
    }
  }
  return points;
}

// Runs `call` once for its log and result, then once per fault point.
template <typename Call>
void Sweep(const Call& call) {
  host::reset();
  host::set_call_log(true);
  const auto good = call();
  const std::vector<FaultPoint> points = Fault_Points(host::call_log());
  host::set_call_log(false);
  ASSERT_FALSE(points.empty());
  for (const FaultPoint& point : points) {
    SCOPED_TRACE(point.operation + " #" + std::to_string(point.nth));
    host::reset();
    host::fail_call(point.operation, point.nth,
                    korvex::test::Realistic_Failures().at(point.operation));
    try {
      call();
      ADD_FAILURE() << "the failure went unreported";
    } catch (const std::exception& e) {
      EXPECT_GT(std::string(e.what()).size(), 10u);
    }
    EXPECT_TRUE(host::ledger().empty());
    host::clear_failures();
    EXPECT_EQ(call(), good) << "the next call differs";
  }
  host::reset();
}

korvex_test::SimStack Stack() {
  const auto truth = korvex_test::Random_Truth(3, 3, 2.6, 0.3, 0.0, 5);
  return korvex_test::Simulate_Stack(kSide, kSide, 2 * 1.2 / 0.52 * 0.1, truth, 1000, 0, 5);
}

TEST(PipelineFaultSweep, EveryPlatformCallOfAnEstimatingReconstruction) {
  const korvex_test::SimStack stack = Stack();
  const std::vector<float> frames(stack.frames.begin(), stack.frames.end());
  AcquisitionOptions options;
  options.optics = {1.2, 0.52, 0.1};
  options.iterations = 2;
  AcquisitionPipeline<float> pipeline;  // kept across the calls, as front ends keep it
  Sweep([&] {
    const AcquisitionResult<float> r =
        pipeline.Reconstruct(frames.data(), kSide, kSide, 9, options);
    std::vector<double> out(r.image.begin(), r.image.end());
    out.insert(out.end(), r.pattern.phases.begin(), r.pattern.phases.end());
    pipeline.Release();
    return out;
  });
}

TEST(PipelineFaultSweep, EveryPlatformCallOfTheEstimator) {
  const korvex_test::SimStack stack = Stack();
  Sweep([&] {
    const korvex::patterns::PatternEstimate e = korvex::patterns::Estimate_Patterns(
        stack.frames.data(), stack.otf.data(), kSide, kSide, 3, 3);
    std::vector<double> out = e.phases;
    for (const auto& o : e.orientations) out.push_back(o.period);
    return out;
  });
}

}  // namespace
