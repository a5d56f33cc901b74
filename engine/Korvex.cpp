// Korvex<T>: construction (platform checks, resource acquisition) and release.
#include "Korvex.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "kernel_image.h"
#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex";

static_assert(sizeof(size_t) >= 8, "byte counts of an engine need a 64-bit size_t");

constexpr uint64_t kElementLimit = uint64_t{1} << 32;
// The BLAS reductions take the pixel count as a signed 32-bit int, and a count that is not
// positive makes them return 0 without an error.
constexpr uint64_t kPixelLimit = uint64_t{1} << 31;
constexpr unsigned kBlockSide = 16;
constexpr uint64_t kMaxGridRows = 65535;  // the device's limit on grid y
constexpr unsigned kMaxHistory = 65536;
// Room for what the device takes beyond our buffers: the BLAS handle's work area and the
// allocator's rounding of each buffer.
constexpr size_t kMemoryMargin = size_t{32} << 20;
// The oldest architecture the build holds code for, 10 x major + minor (set by CMake).
#ifndef KORVEX_MIN_COMPUTE_CAPABILITY
#error "KORVEX_MIN_COMPUTE_CAPABILITY must name the oldest architecture built"
#endif

[[noreturn]] void Geometry_Too_Large(const std::string& geometry, const std::string& why) {
  throw std::runtime_error("KorvexCUDA Error: Geometry too large! " + geometry + why + "\n");
}

// Element counts are unsigned 32-bit products, so a geometry whose counts would wrap must
// never reach the platform; nor may one the reductions or the launch grid cannot cover.
void Check_Geometry(unsigned width, unsigned height, unsigned frames) {
  const uint64_t pixels = uint64_t{width} * height;
  const std::string image = std::to_string(width) + " x " + std::to_string(height);
  if (pixels >= kElementLimit || pixels * frames >= kElementLimit) {
    Geometry_Too_Large(image + " x " + std::to_string(frames), " values reach 2^32!");
  }
  if (pixels >= kPixelLimit) Geometry_Too_Large(image, " pixels reach 2^31!");
  if (height > kMaxGridRows * kBlockSide) {
    Geometry_Too_Large(image, " pixels: more than " + std::to_string(kMaxGridRows * kBlockSide) +
                                  " rows exceed the launch grid!");
  }
}

// The pair (x, b) of the out-of-focus model is reduced and launched as one image of W x 2H.
void Check_Pair_Geometry(unsigned width, unsigned height) {
  const uint64_t rows = 2 * uint64_t{height};
  if (rows * width < kPixelLimit && rows <= kMaxGridRows * kBlockSide) return;
  Geometry_Too_Large(std::to_string(width) + " x " + std::to_string(height),
                     " pixels: the out-of-focus model's pair of images exceeds the reductions or"
                     " the launch grid!");
}

[[noreturn]] void Architecture_Not_Supported(unsigned major, unsigned minor) {
  throw std::runtime_error("Device Compute Capability: " + std::to_string(major) + "." +
                           std::to_string(minor) + "\n" +
                           "KorvexCUDA : Internal Error. Device Architecture Not Supported\n");
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

// Blocks of 16 that cover `pixels`, in integers: a float product would round away the last
// column of very wide images.
unsigned Grid_Extent(unsigned pixels) {
  return static_cast<unsigned>((uint64_t{pixels} + kBlockSide - 1) / kBlockSide);
}

}  // namespace

template <typename T>
Korvex<T>::Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter)
    : Korvex(width, height, frames, maxIter, false) {}

template <typename T>
size_t Korvex<T>::Harmonic_Table_Length(unsigned width, unsigned height, unsigned frames) {
  // Per orientation (at most one a frame): the phase tables of two orders, two mean
  // coefficients and 13 weights; per frame two coefficients.
  return size_t{frames} * (2 * (size_t{width} + height) + 2 + 13) + 2 * size_t{frames};
}

template <typename T>
Korvex<T>::Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter, bool harmonic)
    : Korvex(width, height, frames, maxIter, harmonic, false) {}

template <typename T>
Korvex<T>::Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter, bool harmonic,
                  bool outOfFocus)
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
      m_ratio(0),
      m_harmonic(harmonic),
      d_harmonics(nullptr),
      m_outOfFocus(outOfFocus) {
  Check_Geometry(width, height, frames);
  if (outOfFocus && !harmonic) {
    throw std::runtime_error(
        "KorvexCUDA Error: the out-of-focus model needs an engine built for harmonics!\n");
  }
  // The pair (x, b) is one image of W x 2H for the reductions and the launch grid.
  if (outOfFocus) Check_Pair_Geometry(width, height);
  const size_t pixels = size_t{width} * height;
  const size_t realBytes = pixels * sizeof(T);
  const size_t pairBytes = (outOfFocus ? 2 : 1) * realBytes;
  // G, G E, w, G' sum_j d_j, a complex work image and b's half spectrum in the room of another.
  const size_t hazeBytes = outOfFocus ? 8 * realBytes : 0;
  const size_t complexBytes = pixels * sizeof(CudaComplex<T>);
  const size_t stackFrames = harmonic ? 1 : frames;
  const size_t stackBytes = pixels * stackFrames * sizeof(T);
  const size_t tableBytes =
      harmonic ? Harmonic_Table_Length(width, height, frames) * sizeof(CudaComplex<T>) : 0;
  const size_t historyBytes = size_t{History_Length(maxIter)} * sizeof(T);

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
  if (10 * m_computeMajor + m_computeMinor < KORVEX_MIN_COMPUTE_CAPABILITY) {
    Architecture_Not_Supported(m_computeMajor, m_computeMinor);
  }
  // A device newer or older than every architecture built would otherwise fail only at the
  // first kernel launch, with every buffer allocated and the caller's arrays page-locked.
  const cudaError_t image = Kernel_Image_Status();
  if (image == cudaErrorNoKernelImageForDevice || image == cudaErrorInvalidDeviceFunction) {
    cudaGetLastError();
    Architecture_Not_Supported(m_computeMajor, m_computeMinor);
  }
  KORVEX_CHECK(image);

  // The ten device buffers below (and a harmonic engine's table and two images for the
  // preconditioned steps), the FFT plans' work areas and a margin; h_history is host memory
  // and not counted.
  const cufftType fftType = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;
  size_t fftWorkBytes = 0;
  KORVEX_CHECK(
      cufftEstimate2d(static_cast<int>(height), static_cast<int>(width), fftType, &fftWorkBytes));
  // A harmonic engine's real transforms take work areas of their own, together at most the
  // complex plan's; so do its batched plans for the transfer function's band (rows and band
  // columns, complex and real), made at the first call once the band is known, counted here as
  // at most two complex plans' so that a device without room for them refuses the engine now
  // rather than failing that call.
  // The out-of-focus image's own band column plan counts as one more, and its own grid's two
  // real transforms, smaller than the image's, as another.
  const size_t fourierBytes =
      harmonic ? 2 * realBytes + (outOfFocus ? 5 : 3) * fftWorkBytes : 0;
  const size_t requiredBytes = 2 * sizeof(T) * (5 * pixels + pixels * stackFrames) + tableBytes +
                               fourierBytes + 4 * (pairBytes - realBytes) + hazeBytes + fftWorkBytes +
                               kMemoryMargin;
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
    KORVEX_CHECK(cudaMalloc(&d_grad, pairBytes));
    KORVEX_CHECK(cudaMalloc(&d_gradPrev, pairBytes));
    KORVEX_CHECK(cudaMalloc(&d_dataGrad, realBytes));
    KORVEX_CHECK(cudaMalloc(&d_estimate, pairBytes));
    KORVEX_CHECK(cudaMalloc(&d_estimatePrev, pairBytes));
    KORVEX_CHECK(cudaMalloc(&d_scratchA, complexBytes));
    KORVEX_CHECK(cudaMalloc(&d_scratchB, complexBytes));
    KORVEX_CHECK(cudaMalloc(&d_masks, stackBytes));
    KORVEX_CHECK(cudaMalloc(&d_images, stackBytes));
    KORVEX_CHECK(cudaHostAlloc(&h_history, historyBytes, 0));
    if (harmonic) KORVEX_CHECK(cudaMalloc(&d_harmonics, tableBytes));
    if (harmonic) KORVEX_CHECK(cudaMalloc(&d_preconditioner, realBytes));
    if (harmonic) KORVEX_CHECK(cudaMalloc(&d_directionPrev, realBytes));
    if (outOfFocus) KORVEX_CHECK(cudaMalloc(&d_haze, hazeBytes));
  });
  Acquire_Group(*this, [&] {
    KORVEX_CHECK(cudaStreamCreate(&m_stream1));
    KORVEX_CHECK(cudaStreamCreate(&m_stream2));
  });
  Acquire_Group(*this, [&] {
    KORVEX_CHECK(
        cufftPlan2d(&m_fftPlan, static_cast<int>(height), static_cast<int>(width), fftType));
    // Harmonic engines filter real images through real transforms as well.
    if (harmonic) {
      const bool single = std::is_same_v<T, float>;
      KORVEX_CHECK(cufftPlan2d(&m_realForward, static_cast<int>(height), static_cast<int>(width),
                               single ? CUFFT_R2C : CUFFT_D2Z));
      KORVEX_CHECK(cufftPlan2d(&m_realInverse, static_cast<int>(height), static_cast<int>(width),
                               single ? CUFFT_C2R : CUFFT_Z2D));
    }
  });
  Acquire_Group(*this, [&] { KORVEX_CHECK(cublasCreate_v2(&m_blasHandle)); });

  const dim3 block(kBlockSide, kBlockSide, 1);
  const dim3 grid(Grid_Extent(width), Grid_Extent(height), 1);
  m_launch.block = block;
  m_launch.grid = grid;
  m_launch.stream = nullptr;
  m_launchStream1 = m_launch;
  m_launchStream1.stream = m_stream1;
  m_launchStream2 = m_launch;
  m_launchStream2.stream = m_stream2;
  m_launchPair = m_launch;
  m_launchPair.grid.y = Grid_Extent(2 * height);
}

template <typename T>
unsigned Korvex<T>::History_Length(unsigned maxIter) {
  return maxIter == 0 ? 1 : std::min(maxIter, kMaxHistory);
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
  Free_Device(d_harmonics);
  Free_Device(d_preconditioner);
  Free_Device(d_directionPrev);
  Free_Device(d_haze);
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
  m_band = 0;
  m_bandPlanned = 0;
  m_hazeBand = 0;
  m_hazePlanned = 0;
  m_hazeGridPlanned[0] = m_hazeGridPlanned[1] = 0;
  for (cufftHandle* plan : {&m_fftPlan, &m_realForward, &m_realInverse, &m_rowPlan, &m_columnPlan,
                            &m_realRowForward, &m_realRowInverse, &m_halfColumnPlan,
                            &m_hazeColumnPlan, &m_hazeGridForward, &m_hazeGridInverse}) {
    if (*plan != 0) {
      cufftDestroy(*plan);
      *plan = 0;
    }
  }
  if (m_blasHandle != nullptr) {
    cublasDestroy_v2(m_blasHandle);
    m_blasHandle = nullptr;
  }
}

template class Korvex<float>;
template class Korvex<double>;
