// Korvex<T>: construction (platform checks, resource acquisition) and release.
#include "Korvex.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex";

static_assert(sizeof(size_t) >= 8, "byte counts of an engine need a 64-bit size_t");

constexpr uint64_t kElementLimit = uint64_t{1} << 32;

// Element counts are unsigned 32-bit products, so a geometry whose counts would wrap must
// never reach the platform.
void Check_Geometry(unsigned width, unsigned height, unsigned frames) {
  const uint64_t pixels = uint64_t{width} * height;
  if (pixels < kElementLimit && pixels * frames < kElementLimit) return;
  throw std::runtime_error("KorvexCUDA Error: Geometry too large! " + std::to_string(width) +
                           " x " + std::to_string(height) + " x " + std::to_string(frames) +
                           " values reach 2^32!\n");
}

// Runs one acquisition group: a failure releases everything acquired so far and leaves as a
// fresh exception with the same text.
template <typename T, typename Steps>
void Acquire_Group(Korvex<T>& engine, Steps&& steps) {
  try {
    steps();
  } catch (const std::runtime_error& failure) {
    engine.Clean_Resources();
    throw std::runtime_error(failure.what());
  }
}

template <typename T>
unsigned Grid_Extent(unsigned pixels) {
  return static_cast<unsigned>(std::ceil(static_cast<T>(pixels) * static_cast<T>(0.0625)));
}

}  // namespace

template <typename T>
Korvex<T>::Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter)
    : d_grad(nullptr),
      d_gradPrev(nullptr),
      d_dataGrad(nullptr),
      d_estimate(nullptr),
      d_estimatePrev(nullptr),
      d_masks(nullptr),
      d_images(nullptr),
      d_otf(nullptr),
      d_scratchA(nullptr),
      d_scratchB(nullptr),
      h_history(nullptr),
      m_deviceProp{},
      m_fftPlan(0),
      m_blasHandle(nullptr),
      m_stream1(nullptr),
      m_stream2(nullptr),
      m_launch(),
      m_launchStream1(),
      m_launchStream2(),
      m_computeMajor(0),
      m_computeMinor(0),
      m_runtimeVersion(0),
      m_driverVersion(0),
      m_deviceCount(0),
      m_width(width),
      m_height(height),
      m_frames(frames),
      m_maxIter(maxIter),
      m_iteration(0),
      m_lambda(0),
      m_alpha(0),
      m_threshold(0),
      m_ratio(0) {
  Check_Geometry(width, height, frames);
  const size_t pixels = size_t{width} * height;
  const size_t realBytes = pixels * sizeof(T);
  const size_t complexBytes = pixels * sizeof(CudaComplex<T>);
  const size_t stackBytes = pixels * frames * sizeof(T);
  // At least one element, so that an engine with an iteration limit of 0 is usable.
  const size_t historyBytes = (maxIter > 0 ? size_t{maxIter} : size_t{1}) * sizeof(T);

  // The version queries are judged by the last error, so one left behind by an unrelated
  // earlier call must not be blamed on them.
  cudaGetLastError();
  cudaRuntimeGetVersion(&m_runtimeVersion);
  KORVEX_CHECK(cudaGetLastError());
  cudaDriverGetVersion(&m_driverVersion);
  KORVEX_CHECK(cudaGetLastError());
  if (m_runtimeVersion > m_driverVersion) {
    throw std::runtime_error(
        "Cuda Runtime Version : " + std::to_string(m_runtimeVersion) + "\n" +
        "Cuda Driver Version  : " + std::to_string(m_driverVersion) + "\n" +
        "KorvexCUDA : Internal Error. Insufficient Driver, please update Graphics Drivers to "
        "the latest version\n");
  }

  if (cudaGetDeviceCount(&m_deviceCount) == cudaErrorNoDevice) {
    throw std::runtime_error("KorvexCUDA : Internal Error. No CUDA Capable Device Founnd!\n");
  }
  // Any other status of the count goes unexamined, so it must not stay behind as the last
  // error, to be blamed on the first kernel launch.
  cudaGetLastError();

  KORVEX_CHECK(cudaGetDeviceProperties(&m_deviceProp, 0));
  m_computeMajor = static_cast<unsigned>(m_deviceProp.major);
  m_computeMinor = static_cast<unsigned>(m_deviceProp.minor);
  if (m_computeMajor < 6) {
    throw std::runtime_error("Device Compute Capability: " + std::to_string(m_computeMajor) + "." +
                             std::to_string(m_computeMinor) + "\n" +
                             "KorvexCUDA : Internal Error. Device Architecture Not Supported\n");
  }

  // Exactly the ten device buffers below; library workspaces and h_history are not counted.
  const size_t requiredBytes = 2 * sizeof(T) * (5 * pixels + pixels * frames);
  size_t freeBytes = 0;
  size_t totalBytes = 0;
  KORVEX_CHECK(cudaMemGetInfo(&freeBytes, &totalBytes));
  if (freeBytes < requiredBytes) {
    throw std::runtime_error("KorvexCUDA : Error Not enough graphic memory. Required:" +
                             std::to_string(requiredBytes >> 20) +
                             " MB | Available: " + std::to_string(freeBytes >> 20) + " MB\n");
  }

  Acquire_Group(*this, [&] {
    KORVEX_CHECK(cudaMalloc(&d_otf, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_grad, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_gradPrev, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_dataGrad, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_estimate, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_estimatePrev, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_scratchA, complexBytes));
    KORVEX_CHECK(cudaMalloc(&d_scratchB, complexBytes));
    KORVEX_CHECK(cudaMalloc(&d_masks, stackBytes));
    KORVEX_CHECK(cudaMalloc(&d_images, stackBytes));
    KORVEX_CHECK(cudaHostAlloc(&h_history, historyBytes, 0));
  });
  Acquire_Group(*this, [&] {
    KORVEX_CHECK(cudaStreamCreate(&m_stream1));
    KORVEX_CHECK(cudaStreamCreate(&m_stream2));
  });
  Acquire_Group(*this, [&] {
    const cufftType type = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;
    KORVEX_CHECK(cufftPlan2d(&m_fftPlan, static_cast<int>(height), static_cast<int>(width), type));
  });
  Acquire_Group(*this, [&] { KORVEX_CHECK(cublasCreate_v2(&m_blasHandle)); });

  const dim3 block(16, 16, 1);
  const dim3 grid(Grid_Extent<T>(width), Grid_Extent<T>(height), 1);
  m_launch.block = block;
  m_launch.grid = grid;
  m_launch.stream = nullptr;
  m_launchStream1 = m_launch;
  m_launchStream1.stream = m_stream1;
  m_launchStream2 = m_launch;
  m_launchStream2.stream = m_stream2;
}

template <typename T>
Korvex<T>::~Korvex() {
  Clean_Resources();
}

namespace {

// Release steps skip empty members, ignore the release status and empty the member.
template <typename P>
void Free_Device(P*& pointer) {
  if (pointer == nullptr) return;
  cudaFree(pointer);
  pointer = nullptr;
}

}  // namespace

template <typename T>
void Korvex<T>::Clean_Resources() {
  Free_Device(d_otf);
  Free_Device(d_grad);
  Free_Device(d_gradPrev);
  Free_Device(d_dataGrad);
  Free_Device(d_estimate);
  Free_Device(d_estimatePrev);
  Free_Device(d_masks);
  Free_Device(d_scratchA);
  Free_Device(d_scratchB);
  Free_Device(d_images);
  if (h_history != nullptr) {
    cudaFreeHost(h_history);
    h_history = nullptr;
  }
  if (m_stream1 != nullptr) {
    cudaStreamDestroy(m_stream1);
    m_stream1 = nullptr;
  }
  if (m_stream2 != nullptr) {
    cudaStreamDestroy(m_stream2);
    m_stream2 = nullptr;
  }
  if (m_fftPlan != 0) {
    cufftDestroy(m_fftPlan);
    m_fftPlan = 0;
  }
  if (m_blasHandle != nullptr) {
    cublasDestroy_v2(m_blasHandle);
    m_blasHandle = nullptr;
  }
}

template class Korvex<float>;
template class Korvex<double>;
