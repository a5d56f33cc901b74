// Every platform call of an engine's construction and of a complete reconstruction, made to
// fail one at a time with a status the real platform gives for that call. Each failure must
// surface as the handler's message, make no further platform call beyond the release of what
// is held, leave no caller memory page-locked and the engine as good as new, and lose nothing
// once the engine is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "engine_run.h"
#include "host_fixture.h"
#include "platform_faults.h"

namespace {

using namespace korvex::test;
namespace host = korvex::host;

constexpr unsigned kWidth = 5;  // odd and non-square: partial tiles and the layout matter
constexpr unsigned kHeight = 4;
constexpr unsigned kFrames = 2;
constexpr unsigned kIterations = 4;
constexpr double kThreshold = 0.0;  // never converges early, so every iteration runs
constexpr double kLambda = 0.01;
constexpr double kAlpha = 0.1;

// One fault point: the i-th platform call, which is the nth call of `operation`.
struct FaultPoint {
  size_t index;
  std::string operation;
  unsigned nth;
};

std::vector<FaultPoint> Fault_Points(const std::vector<std::string>& log) {
  std::map<std::string, unsigned> seen;
  std::vector<FaultPoint> points;
  for (size_t i = 0; i < log.size(); ++i) points.push_back({i, log[i], ++seen[log[i]]});
  return points;
}

bool Starts_With(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

int Failure_Status(const std::string& operation) {
  const std::map<std::string, int>& kStatuses = Realistic_Failures();
  const auto it = kStatuses.find(operation);
  if (it == kStatuses.end()) throw std::logic_error("no failure status for " + operation);
  return it->second;
}

// The message form the failing call must produce; a group captures the line where it has one.
std::string Expected_Form(const std::string& operation, int status) {
  if (operation == "cudaGetDeviceCount") {
    return "KorvexCUDA : Internal Error\\. No CUDA Capable Device Founnd!\n";
  }
  if (Starts_With(operation, "cufft")) {
    const std::string name = status == CUFFT_ALLOC_FAILED ? "ALLOC_FAILED" : "EXEC_FAILED";
    return "CUFFT ERR - " + name + " in: Korvex at line: ([0-9]+)\n";
  }
  if (Starts_With(operation, "cublas")) {
    const std::string name =
        status == CUBLAS_STATUS_NOT_INITIALIZED ? "NOT_INITIALIZED" : "EXECUTION_FAILED";
    return "CUBLAS ERR - " + name + " in: Korvex at line: ([0-9]+)\n";
  }
  const std::string unit = operation == "cudaLaunchKernel" ? "Korvex_Kernels" : "Korvex";
  const auto code = static_cast<cudaError_t>(status);
  return std::string("CUDA Error : ") + cudaGetErrorName(code) +
         " Desc\\. : " + cudaGetErrorString(code) + " \\| File : " + unit +
         " \\| Line : ([0-9]+)\n";
}

// The message has the form of the failing call, and a line where the form names one.
::testing::AssertionResult Has_Form(const std::string& message, const std::string& operation,
                                    int status) {
  std::smatch match;
  const std::string form = Expected_Form(operation, status);
  if (!std::regex_match(message, match, std::regex(form))) {
    return ::testing::AssertionFailure()
           << "message \"" << message << "\" is not of the form \"" << form << "\"";
  }
  if (match.size() > 1 && std::stoi(match[1].str()) <= 0) {
    return ::testing::AssertionFailure() << "no line in \"" << message << "\"";
  }
  return ::testing::AssertionSuccess();
}

bool Is_Release(const std::string& operation) {
  static const std::set<std::string> kReleases = {"cudaFree", "cudaFreeHost", "cudaStreamDestroy",
                                                  "cufftDestroy", "cublasDestroy_v2"};
  return kReleases.count(operation) == 1;
}

// The calls made from the fault point on (itself excluded).
std::vector<std::string> Calls_After(size_t index) {
  const std::vector<std::string> log = host::call_log();
  if (log.size() <= index) return {};
  return std::vector<std::string>(log.begin() + static_cast<long>(index) + 1, log.end());
}

std::string Ledger_Text(const host::Ledger& held) {
  return "device " + std::to_string(held.device_allocations) + ", pinned " +
         std::to_string(held.pinned_buffers) + ", registered " +
         std::to_string(held.registered_ranges) + ", streams " + std::to_string(held.streams) +
         ", plans " + std::to_string(held.fft_plans) + ", handles " +
         std::to_string(held.blas_handles);
}

template <typename T>
void Expect_Same(const EngineResult<T>& actual, const EngineResult<T>& expected) {
  EXPECT_EQ(actual.output, expected.output);
  EXPECT_EQ(actual.iteration, expected.iteration);
  EXPECT_EQ(actual.alpha, expected.alpha);
  EXPECT_EQ(actual.ratio, expected.ratio);
}

template <typename T>
class FaultSweep : public HostDeviceTest {
 protected:
  void SetUp() override {
    HostDeviceTest::SetUp();
    fresh_ = Run_Engine<T>(problem_, kIterations, kThreshold, kLambda, kAlpha);
    ASSERT_EQ(fresh_.iteration, kIterations - 1);
  }

  std::unique_ptr<Korvex<T>> New_Engine() const {
    return std::make_unique<Korvex<T>>(problem_.W, problem_.H, problem_.F, kIterations, harmonic_);
  }
  EngineResult<T> Run(Korvex<T>& engine, HostArrays<T>& arrays) const {
    if (!harmonic_) return Run_Engine(engine, arrays, kThreshold, kLambda, kAlpha);
    KorvexOptions options;
    options.frameData = true;
    options.sparsity = 0.1;
    engine.Mapsim_Compute(arrays.image.data(), arrays.otf.data(), Harmonics(), arrays.output.data(),
                          T(kThreshold), T(kLambda), T(kAlpha), options);
    return {arrays.output, engine.m_iteration, engine.m_alpha, engine.m_ratio};
  }
  // One orientation of two frames, with a second harmonic.
  static KorvexHarmonics Harmonics() {
    KorvexHarmonics h;
    h.orientations = {{1.1, 0.4}};
    h.coefficients = {{{{0.4, 0.1}, {0.1, -0.2}}}, {{{-0.3, 0.2}, {0.0, 0.15}}}};
    return h;
  }
  // Masks given by their harmonics from here on; with `bandLimited` through an OTF nonzero in
  // its middle column only, so that the engine filters through transforms pruned to one column.
  void Use_Harmonics(bool bandLimited = false) {
    harmonic_ = true;
    for (unsigned c = 0; c < kWidth && bandLimited; ++c) {
      for (unsigned r = 0; r < kHeight; ++r) {
        if (c != kWidth / 2) problem_.otf[size_t{c} * kHeight + r] = 0.0;
      }
    }
    fresh_ = [this] {
      const auto engine = New_Engine();
      HostArrays<T> arrays(problem_);
      return Run(*engine, arrays);
    }();
  }

  // The operations of the constructor, or of one reconstruction on a healthy engine, in call
  // order.
  std::vector<std::string> Constructor_Log() const {
    host::clear_call_counts();
    host::set_call_log(true);
    const auto engine = New_Engine();
    std::vector<std::string> log = host::call_log();
    host::set_call_log(false);
    return log;
  }
  std::vector<std::string> Reconstruction_Log() const {
    const auto engine = New_Engine();
    HostArrays<T> arrays(problem_);
    host::clear_call_counts();
    host::set_call_log(true);
    Run(*engine, arrays);
    std::vector<std::string> log = host::call_log();
    host::set_call_log(false);
    return log;
  }

  static void Report(const char* phase, size_t points, const std::set<std::string>& messages) {
    std::printf("[ sweep    ] %s %s: %zu fault points, %zu distinct messages\n",
                std::is_same_v<T, float> ? "float" : "double", phase, points, messages.size());
  }

  void Sweep_Constructor();
  void Sweep_Reconstruction();

  Problem problem_ = Random_Problem(kWidth, kHeight, kFrames, 8);
  EngineResult<T> fresh_;
  bool harmonic_ = false;
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FaultSweep, Precisions);

TYPED_TEST(FaultSweep, CallLogNamesEveryCountedCallInOrder) {
  // The log is switched off before the engine is destroyed, while the counts go on.
  const std::vector<std::string> log = this->Reconstruction_Log();
  EXPECT_EQ(host::call_log(), log);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "cudaHostRegister");
  EXPECT_EQ(log.back(), "cudaHostUnregister");
  EXPECT_EQ(log.size() + 15, host::total_call_count());  // the 15 release steps went unlogged
  host::clear_call_counts();
  EXPECT_TRUE(host::call_log().empty());
}

template <typename T>
void FaultSweep<T>::Sweep_Constructor() {
  const std::vector<FaultPoint> points = Fault_Points(this->Constructor_Log());
  ASSERT_GE(points.size(),
            harmonic_ ? 19u : 18u);  // versions, count, properties, memory, 11 + 2 + 1 + 1 created
  std::set<std::string> messages;
  for (const FaultPoint& point : points) {
    SCOPED_TRACE("call " + std::to_string(point.index) + ": " + point.operation + " #" +
                 std::to_string(point.nth));
    host::reset();
    host::set_call_log(true);
    const int status = Failure_Status(point.operation);
    host::fail_call(point.operation, point.nth, status);
    std::unique_ptr<Korvex<T>> engine;
    const std::string message = Message_Of([&] { engine = this->New_Engine(); });
    EXPECT_EQ(engine, nullptr);
    EXPECT_TRUE(Has_Form(message, point.operation, status));
    messages.insert(message);
    for (const std::string& later : Calls_After(point.index)) {
      EXPECT_TRUE(Is_Release(later)) << later << " called after the failure";
    }
    EXPECT_TRUE(host::ledger().empty()) << Ledger_Text(host::ledger());

    // A failed construction leaves nothing behind that troubles the next engine.
    host::clear_failures();
    engine = this->New_Engine();
    HostArrays<T> arrays(this->problem_);
    Expect_Same(this->Run(*engine, arrays), this->fresh_);
  }
  this->Report(harmonic_ ? "harmonic constructor" : "constructor", points.size(), messages);
}

TYPED_TEST(FaultSweep, EveryConstructorCall) { this->Sweep_Constructor(); }

TYPED_TEST(FaultSweep, EveryHarmonicConstructorCall) {
  this->Use_Harmonics();
  this->Sweep_Constructor();
}

// The device count's status is examined only for "no device"; any other failure of that query
// must not be blamed on a later call.
TYPED_TEST(FaultSweep, UnexaminedDeviceCountFailureIsNotBlamedLater) {
  using T = TypeParam;
  host::fail_call("cudaGetDeviceCount", 1, cudaErrorInsufficientDriver);
  const auto engine = this->New_Engine();
  HostArrays<T> arrays(this->problem_);
  Expect_Same(this->Run(*engine, arrays), this->fresh_);
}

template <typename T>
void FaultSweep<T>::Sweep_Reconstruction() {
  const std::vector<FaultPoint> points = Fault_Points(this->Reconstruction_Log());
  ASSERT_GT(points.size(), 100u);
  std::set<std::string> messages;
  for (const FaultPoint& point : points) {
    SCOPED_TRACE("call " + std::to_string(point.index) + ": " + point.operation + " #" +
                 std::to_string(point.nth));
    host::reset();
    auto engine = this->New_Engine();
    HostArrays<T> arrays(this->problem_);
    host::clear_call_counts();
    host::set_call_log(true);
    const int status = Failure_Status(point.operation);
    host::fail_call(point.operation, point.nth, status);
    const std::string message = Message_Of([&] { this->Run(*engine, arrays); });
    EXPECT_TRUE(Has_Form(message, point.operation, status));
    messages.insert(message);
    // Only the undoing of the page-locks may follow the failing call, after a wait for both
    // upload streams, since uploads from the locked arrays may still be queued.
    std::vector<std::string> later = Calls_After(point.index);
    const bool locked = !later.empty();
    if (locked) {
      ASSERT_GE(later.size(), 2u);
      EXPECT_EQ(later[0], "cudaStreamSynchronize");
      EXPECT_EQ(later[1], "cudaStreamSynchronize");
      later.erase(later.begin(), later.begin() + 2);
    }
    for (const std::string& call : later) {
      EXPECT_EQ(call, "cudaHostUnregister") << "called after the failure";
    }
    EXPECT_EQ(host::ledger().registered_ranges, 0u);
    host::set_call_log(false);

    host::clear_failures();
    Expect_Same(this->Run(*engine, arrays), this->fresh_);
    engine.reset();
    EXPECT_TRUE(host::ledger().empty()) << Ledger_Text(host::ledger());
  }
  this->Report(harmonic_ ? "harmonic reconstruction" : "reconstruction", points.size(), messages);
}

TYPED_TEST(FaultSweep, EveryReconstructionCall) { this->Sweep_Reconstruction(); }

TYPED_TEST(FaultSweep, EveryHarmonicReconstructionCall) {
  this->Use_Harmonics();
  this->Sweep_Reconstruction();
}

TYPED_TEST(FaultSweep, EveryBandLimitedHarmonicReconstructionCall) {
  this->Use_Harmonics(true);
  const std::vector<std::string> log = this->Reconstruction_Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "cufftPlanMany"), 5);
  this->Sweep_Reconstruction();
}

}  // namespace
