// Mapsim_Compute on the simulated device: what it calls, and how it leaves the engine and the
// caller's arrays after an injected failure.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <type_traits>

#include "engine_run.h"
#include "host_fixture.h"

namespace {

using namespace korvex::test;
namespace host = korvex::host;

constexpr unsigned kIterations = 4;
constexpr double kLambda = 0.01;
constexpr double kAlpha = 0.1;

template <typename T>
class ReconstructionHostTest : public HostDeviceTest {
 protected:
  const Problem problem_ = Random_Problem(12, 9, 3, 21);
};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ReconstructionHostTest, Precisions);

TYPED_TEST(ReconstructionHostTest, CallAllocatesNothingAndReleasesTheCallerArrays) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, kIterations);
  HostArrays<T> arrays(this->problem_);
  const host::Ledger before = host::ledger();
  host::clear_call_counts();
  Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
  EXPECT_EQ(host::call_count("cudaMalloc"), 0u);
  EXPECT_EQ(host::call_count("cudaHostAlloc"), 0u);
  EXPECT_EQ(host::call_count("cudaHostRegister"), 4u);
  EXPECT_EQ(host::call_count("cudaHostUnregister"), 4u);
  EXPECT_EQ(host::call_count("cudaMemcpyAsync"), 2 * this->problem_.F);
  EXPECT_EQ(host::call_count("cudaStreamSynchronize"), 2u);
  const std::string fft = std::is_same_v<T, float> ? "cufftExecC2C" : "cufftExecZ2Z";
  EXPECT_EQ(host::call_count(fft), 4 * this->problem_.F * kIterations);
  const host::Ledger after = host::ledger();
  EXPECT_EQ(after.device_allocations, before.device_allocations);
  EXPECT_EQ(after.device_bytes, before.device_bytes);
  EXPECT_EQ(after.registered_ranges, 0u);
}

TYPED_TEST(ReconstructionHostTest, RefusedArgumentsTouchNoPlatform) {
  using T = TypeParam;
  Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, kIterations);
  HostArrays<T> arrays(this->problem_);
  host::clear_call_counts();
  Message_Of([&] {
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), nullptr, arrays.output.data(),
                          T(0), T(0), T(1));
  });
  T* kept = engine.d_gradPrev;
  engine.d_gradPrev = nullptr;
  Message_Of([&] { Run_Engine(engine, arrays, 0.0, kLambda, kAlpha); });
  engine.d_gradPrev = kept;
  EXPECT_EQ(host::total_call_count(), 0u);
  EXPECT_EQ(host::ledger().registered_ranges, 0u);
}

// One platform call of the reconstruction made to fail, and the form of the message it must
// produce.
struct Injection {
  const char* floatOperation;
  const char* doubleOperation;
  unsigned nth;
  int status;
  const char* form;
};

#define KORVEX_RUNTIME_FORM(name, unit) \
  "CUDA Error : " name " Desc\\. : [^\n]+ \\| File : " unit " \\| Line : ([0-9]+)\n"

const Injection kInjections[] = {
    {"cudaHostRegister", "cudaHostRegister", 1, cudaErrorMemoryAllocation,
     KORVEX_RUNTIME_FORM("cudaErrorMemoryAllocation", "Korvex")},
    {"cudaHostRegister", "cudaHostRegister", 3, cudaErrorMemoryAllocation,
     KORVEX_RUNTIME_FORM("cudaErrorMemoryAllocation", "Korvex")},
    {"cudaHostRegister", "cudaHostRegister", 4, cudaErrorInvalidValue,
     KORVEX_RUNTIME_FORM("cudaErrorInvalidValue", "Korvex")},
    {"cudaMemcpyAsync", "cudaMemcpyAsync", 3, cudaErrorInvalidValue,
     KORVEX_RUNTIME_FORM("cudaErrorInvalidValue", "Korvex")},
    {"cudaStreamSynchronize", "cudaStreamSynchronize", 2, cudaErrorLaunchFailure,
     KORVEX_RUNTIME_FORM("cudaErrorLaunchFailure", "Korvex")},
    {"cudaMemcpy", "cudaMemcpy", 1, cudaErrorInvalidValue,
     KORVEX_RUNTIME_FORM("cudaErrorInvalidValue", "Korvex")},
    {"cudaMemset", "cudaMemset", 2, cudaErrorInvalidValue,
     KORVEX_RUNTIME_FORM("cudaErrorInvalidValue", "Korvex")},
    {"cudaMemcpy", "cudaMemcpy", 4, cudaErrorIllegalAddress,
     KORVEX_RUNTIME_FORM("cudaErrorIllegalAddress", "Korvex")},
    {"cudaMemcpy", "cudaMemcpy", 2 + 2 * kIterations, cudaErrorIllegalAddress,
     KORVEX_RUNTIME_FORM("cudaErrorIllegalAddress", "Korvex")},
    {"cufftExecC2C", "cufftExecZ2Z", 7, CUFFT_EXEC_FAILED,
     "CUFFT ERR - EXEC_FAILED in: Korvex at line: ([0-9]+)\n"},
    {"cublasSasum_v2", "cublasDasum_v2", 2, CUBLAS_STATUS_EXECUTION_FAILED,
     "CUBLAS ERR - EXECUTION_FAILED in: Korvex at line: ([0-9]+)\n"},
    {"cublasSasum_v2", "cublasDasum_v2", 6, CUBLAS_STATUS_INTERNAL_ERROR,
     "CUBLAS ERR - INTERNAL_ERROR in: Korvex at line: ([0-9]+)\n"},
    {"cublasSdot_v2", "cublasDdot_v2", 2, CUBLAS_STATUS_EXECUTION_FAILED,
     "CUBLAS ERR - EXECUTION_FAILED in: Korvex at line: ([0-9]+)\n"},
    {"cudaLaunchKernel", "cudaLaunchKernel", 40, cudaErrorLaunchFailure,
     KORVEX_RUNTIME_FORM("cudaErrorLaunchFailure", "Korvex_Kernels")},
    {"cudaHostUnregister", "cudaHostUnregister", 2, cudaErrorHostMemoryNotRegistered,
     KORVEX_RUNTIME_FORM("cudaErrorHostMemoryNotRegistered", "Korvex")},
};

TYPED_TEST(ReconstructionHostTest, FailedCallLeavesNothingLockedAndTheEngineReusable) {
  using T = TypeParam;
  const EngineResult<T> fresh = Run_Engine<T>(this->problem_, kIterations, 0.0, kLambda, kAlpha);
  ASSERT_EQ(fresh.iteration, kIterations - 1);
  for (const Injection& injection : kInjections) {
    const char* operation =
        std::is_same_v<T, float> ? injection.floatOperation : injection.doubleOperation;
    SCOPED_TRACE(std::string(operation) + " #" + std::to_string(injection.nth));
    Korvex<T> engine(this->problem_.W, this->problem_.H, this->problem_.F, kIterations);
    HostArrays<T> arrays(this->problem_);
    host::clear_call_counts();
    host::fail_call(operation, injection.nth, injection.status);
    const std::string message =
        Message_Of([&] { Run_Engine(engine, arrays, 0.0, kLambda, kAlpha); });
    EXPECT_GT(Line_Of(message, injection.form), 0) << message;
    EXPECT_EQ(host::ledger().registered_ranges, 0u);
    host::clear_failures();

    const EngineResult<T> again = Run_Engine(engine, arrays, 0.0, kLambda, kAlpha);
    EXPECT_EQ(again.output, fresh.output);
    EXPECT_EQ(again.iteration, fresh.iteration);
    EXPECT_EQ(again.alpha, fresh.alpha);
    EXPECT_EQ(again.ratio, fresh.ratio);
  }
}

}  // namespace

// A harmonic engine makes the plans of an OTF's band at its first call and keeps them while
// the band's width stays; a new width makes the two column plans again; an OTF nonzero
// everywhere makes none and leaves the plans it holds alone.
TYPED_TEST(ReconstructionHostTest, BandPlansAreMadeOncePerBandWidth) {
  using T = TypeParam;
  const Problem& p = this->problem_;
  KorvexHarmonics harmonics;
  harmonics.orientations = {{1.1, 0.4}, {0.3, -1.2}, {-0.7, 0.9}};
  harmonics.coefficients.assign(p.F, {{{0.4, 0.1}, {0.0, 0.0}}});
  // Nonzero in centred columns W / 2 - reach .. W / 2 + reach: a band of reach + 1.
  const auto limited = [&](unsigned reach) {
    Problem q = p;
    for (unsigned c = 0; c < p.W; ++c) {
      if (c + reach >= p.W / 2 && c <= p.W / 2 + reach) continue;
      for (unsigned r = 0; r < p.H; ++r) q.otf[size_t{c} * p.H + r] = 0.0;
    }
    return q;
  };
  Korvex<T> engine(p.W, p.H, p.F, kIterations, true);
  const auto planned = [&](const Problem& q) {
    HostArrays<T> arrays(q);
    host::clear_call_counts();
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics, arrays.output.data(),
                          T(0), T(kLambda), T(kAlpha), KorvexOptions{});
    EXPECT_EQ(host::call_count("cufftPlan2d"), 0u);
    return host::call_count("cufftPlanMany") * 10 + host::call_count("cufftDestroy");
  };
  EXPECT_EQ(planned(limited(2)), 50u);  // rows, real rows both ways, two column plans
  EXPECT_EQ(planned(limited(2)), 0u);
  EXPECT_EQ(planned(limited(1)), 22u);  // the column plans again
  EXPECT_EQ(planned(p), 0u);
  EXPECT_EQ(planned(limited(1)), 0u);
  EXPECT_EQ(host::ledger().fft_plans, 8u);
}

// With the out-of-focus model x's transforms follow the OTF's band whatever G. b's are pruned
// to G's own band when G'G is below rounding outside it (a narrow Gaussian) and whole when it is
// not (the same Gaussian over a floor): each iteration's real transform of b then has no batch
// of columns after it, nor the b-gradient's real inverse before it.
TYPED_TEST(ReconstructionHostTest, HazeTransformsFollowTheBandWhereItsLowPassVanishes) {
  using T = TypeParam;
  const bool single = std::is_same_v<T, float>;
  const Problem& p = this->problem_;
  KorvexHarmonics harmonics;
  harmonics.orientations = {{1.1, 0.4}, {0.3, -1.2}, {-0.7, 0.9}};
  harmonics.coefficients.assign(p.F, {{{0.4, 0.1}, {0.0, 0.0}}});
  Problem q = p;  // the OTF in a band of 3 columns
  for (unsigned c = 0; c < p.W; ++c) {
    if (c + 2 >= p.W / 2 && c <= p.W / 2 + 2) continue;
    for (unsigned r = 0; r < p.H; ++r) q.otf[size_t{c} * p.H + r] = 0.0;
  }
  const auto gaussian = [&](double floor) {
    std::vector<double> g(size_t{p.W} * p.H);
    for (unsigned c = 0; c < p.W; ++c) {
      for (unsigned r = 0; r < p.H; ++r) {
        const double fx = (double(c) - p.W / 2) / p.W, fy = (double(r) - p.H / 2) / p.H;
        g[size_t{c} * p.H + r] = std::exp(-(fx * fx + fy * fy) / (2 * 0.03 * 0.03)) + floor;
      }
    }
    return g;
  };
  Korvex<T> engine(p.W, p.H, p.F, kIterations, true, true);
  struct Counts {
    unsigned complex, real;
  };
  const auto run = [&](const std::vector<double>& transfer) {
    HostArrays<T> arrays(q);
    KorvexOptions options;
    options.outOfFocus = transfer;
    host::clear_call_counts();
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics, arrays.output.data(),
                          T(0), T(kLambda), T(kAlpha), options);
    EXPECT_EQ(engine.m_iteration, kIterations - 1);
    return Counts{host::call_count(single ? "cufftExecC2C" : "cufftExecZ2Z"),
                  host::call_count(single ? "cufftExecR2C" : "cufftExecD2Z") +
                      host::call_count(single ? "cufftExecC2R" : "cufftExecZ2D")};
  };
  const Counts pruned = run(gaussian(0.0));
  const Counts whole = run(gaussian(1e-3));
  EXPECT_EQ(pruned.real, whole.real);
  EXPECT_EQ(pruned.complex, whole.complex + 2 * kIterations);
}

// With preconditioned steps b follows x on a grid of its own, sized to a narrow G: its two real
// plans are made at the first call and kept while that grid stays. A failed plan leaves nothing
// locked, and the engine then gives, bit for bit, what an engine that never failed gives.
TYPED_TEST(ReconstructionHostTest, HazeGridPlansAreMadeOnceAndAFailedOneLeavesTheEngineReusable) {
  using T = TypeParam;
  const Problem p = Random_Problem(40, 36, 3, 5);
  KorvexHarmonics harmonics;
  harmonics.orientations = {{1.1, 0.4}, {0.3, -1.2}, {-0.7, 0.9}};
  harmonics.coefficients.assign(p.F, {{{0.4, 0.1}, {0.0, 0.0}}});
  harmonics.approximation.resize(size_t{p.W} * p.H);
  for (size_t i = 0; i < harmonics.approximation.size(); ++i) {
    harmonics.approximation[i] = p.F * p.otf[i] * p.otf[i] + 0.1;
  }
  KorvexOptions options;
  options.preconditioned = true;
  options.outOfFocus.resize(size_t{p.W} * p.H);
  for (unsigned c = 0; c < p.W; ++c) {
    for (unsigned r = 0; r < p.H; ++r) {
      const double fx = (double(c) - p.W / 2) / p.W, fy = (double(r) - p.H / 2) / p.H;
      options.outOfFocus[size_t{c} * p.H + r] = std::exp(-(fx * fx + fy * fy) / (2 * 0.03 * 0.03));
    }
  }
  const auto run = [&](Korvex<T>& engine) {
    HostArrays<T> arrays(p);
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), harmonics, arrays.output.data(),
                          T(0), T(kLambda), T(kAlpha), options);
    return arrays.output;
  };
  Korvex<T> engine(p.W, p.H, p.F, kIterations, true, true);
  host::clear_call_counts();
  const std::vector<T> expected = run(engine);
  EXPECT_LT(2 * engine.Haze_Width() * engine.Haze_Height(), p.W * p.H);
  EXPECT_EQ(host::call_count("cufftPlan2d"), 2u);
  host::clear_call_counts();
  EXPECT_EQ(run(engine), expected);
  EXPECT_EQ(host::call_count("cufftPlan2d"), 0u);

  for (unsigned nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    Korvex<T> failing(p.W, p.H, p.F, kIterations, true, true);
    host::clear_call_counts();
    host::fail_call("cufftPlan2d", nth, CUFFT_ALLOC_FAILED);
    const std::string message = Message_Of([&] { run(failing); });
    EXPECT_GT(Line_Of(message, "CUFFT ERR - ALLOC_FAILED in: Korvex at line: ([0-9]+)\n"), 0)
        << message;
    EXPECT_EQ(host::ledger().registered_ranges, 0u);
    host::clear_failures();
    EXPECT_EQ(run(failing), expected);
  }
}
