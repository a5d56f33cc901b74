// Iteration timing. The transform loop goes through the same platform calls as the engine
// (cufftPlan2d and cufftExecC2C/Z2Z on device buffers, in place and out of place in the
// engine's order), so on the host backend it runs the same FFTW plans with the same threads
// and on a GPU the same cuFFT plan: the ratio is the engine's overhead over its transforms.
#include "iteration_timing.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Korvex.h"
#include "bench_data.h"

namespace korvex::bench {
namespace {

using Clock = std::chrono::steady_clock;

double elapsed_ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void check(cudaError_t status, const char* what) {
  if (status != cudaSuccess) {
    throw std::runtime_error(std::string(what) + ": " + cudaGetErrorString(status));
  }
}

void check(cufftResult status, const char* what) {
  if (status != CUFFT_SUCCESS) {
    throw std::runtime_error(std::string(what) + " failed with cuFFT status " +
                             std::to_string(static_cast<int>(status)));
  }
}

// Two complex device buffers and a plan, as the engine holds them.
template <typename T>
class TransformLoop {
 public:
  TransformLoop(unsigned size, unsigned frames) : size_(size), frames_(frames) {
    const size_t bytes = size_t{size} * size * sizeof(CudaComplex<T>);
    check(cudaMalloc(reinterpret_cast<void**>(&a_), bytes), "cudaMalloc");
    check(cudaMalloc(reinterpret_cast<void**>(&b_), bytes), "cudaMalloc");
    // Transform speed does not depend on the values; zeros stay finite through the
    // unnormalised round trips.
    check(cudaMemset(a_, 0, bytes), "cudaMemset");
    check(cudaMemset(b_, 0, bytes), "cudaMemset");
    const cufftType type = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;
    check(cufftPlan2d(&plan_, static_cast<int>(size), static_cast<int>(size), type), "cufftPlan2d");
  }
  ~TransformLoop() {
    if (plan_) cufftDestroy(plan_);
    cudaFree(a_);
    cudaFree(b_);
  }
  TransformLoop(const TransformLoop&) = delete;
  TransformLoop& operator=(const TransformLoop&) = delete;

  // The 4 x F transforms of one iteration, finished on return.
  void run() {
    for (unsigned j = 0; j < frames_; ++j) {
      execute(b_, b_, CUFFT_FORWARD);
      execute(b_, b_, CUFFT_INVERSE);
      execute(b_, a_, CUFFT_FORWARD);
      execute(a_, a_, CUFFT_INVERSE);
    }
    check(cudaDeviceSynchronize(), "cudaDeviceSynchronize");
  }

 private:
  void execute(CudaComplex<T>* in, CudaComplex<T>* out, int direction) {
    if constexpr (std::is_same_v<T, float>) {
      check(cufftExecC2C(plan_, reinterpret_cast<cufftComplex*>(in),
                         reinterpret_cast<cufftComplex*>(out), direction),
            "cufftExecC2C");
    } else {
      check(cufftExecZ2Z(plan_, reinterpret_cast<cufftDoubleComplex*>(in),
                         reinterpret_cast<cufftDoubleComplex*>(out), direction),
            "cufftExecZ2Z");
    }
  }

  unsigned size_;
  unsigned frames_;
  CudaComplex<T>* a_ = nullptr;
  CudaComplex<T>* b_ = nullptr;
  cufftHandle plan_ = 0;
};

template <typename T>
double time_reconstruction(Korvex<T>& engine, Acquisition<T>& data) {
  // Threshold 0 never stops the loop early; lambda and alpha as a user would start.
  const auto started = Clock::now();
  engine.Mapsim_Compute(data.image.data(), data.otf.data(), data.masks.data(), data.output.data(),
                        T(0), T(0.01), T(0.05));
  return elapsed_ms(started);
}

}  // namespace

template <typename T>
IterationFigures time_iterations(unsigned size, unsigned frames, unsigned iterations,
                                 unsigned repeats) {
  if (iterations == 0 || repeats == 0) {
    throw std::invalid_argument("iterations and repeats must be positive");
  }
  IterationFigures figures;
  figures.size = size;
  figures.frames = frames;
  figures.iterations = iterations;

  Acquisition<T> data = make_acquisition<T>(size, size, frames);
  const auto built = Clock::now();
  auto engine = std::make_unique<Korvex<T>>(size, size, frames, iterations);
  figures.buildMs = elapsed_ms(built);
  Korvex<T> setupOnly(size, size, frames, 0);
  TransformLoop<T> transforms(size, frames);

  // One untimed round: first touches of memory and of the FFT plans.
  time_reconstruction(setupOnly, data);
  time_reconstruction(*engine, data);
  transforms.run();

  std::vector<double> setup, iteration, fft;
  for (unsigned r = 0; r < repeats; ++r) {
    const double t0 = time_reconstruction(setupOnly, data);
    const double tk = time_reconstruction(*engine, data);
    const auto started = Clock::now();
    transforms.run();
    fft.push_back(elapsed_ms(started));
    setup.push_back(t0);
    iteration.push_back((tk - t0) / iterations);
  }
  figures.iterationsRun = engine->m_iteration + 1;
  figures.setupMs = median(setup);
  figures.iterationMs = median(iteration);
  figures.fftMs = median(fft);
  return figures;
}

template IterationFigures time_iterations<float>(unsigned, unsigned, unsigned, unsigned);
template IterationFigures time_iterations<double>(unsigned, unsigned, unsigned, unsigned);

}  // namespace korvex::bench
