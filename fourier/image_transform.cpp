#include "image_transform.h"

#include <stdexcept>
#include <type_traits>
#include <utility>

#include "gpu.h"

namespace korvex::fourier {

namespace {

template <typename T>
using DeviceComplex = std::conditional_t<std::is_same_v<T, float>, cufftComplex, cufftDoubleComplex>;
template <typename T>
constexpr cufftType kType = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;

cufftResult Execute(cufftHandle plan, cufftComplex* data, int direction) {
  return cufftExecC2C(plan, data, data, direction);
}
cufftResult Execute(cufftHandle plan, cufftDoubleComplex* data, int direction) {
  return cufftExecZ2Z(plan, data, data, direction);
}

std::string Status(cudaError_t status) { return cudaGetErrorString(status); }
std::string Status(cufftResult status) { return "cuFFT status " + std::to_string(int(status)); }

}  // namespace

template <typename T>
ImageTransform<T>::ImageTransform(unsigned height, unsigned width, std::string user)
    : height_(height), width_(width), user_(std::move(user)) {
  static_assert(sizeof(Complex) == sizeof(DeviceComplex<T>), "one layout of complex values");
  if (height == 0 || width == 0) throw std::invalid_argument(user_ + ": empty image");
  const cudaError_t allocated = cudaMalloc(&device_, Pixels() * sizeof(Complex));
  if (allocated != cudaSuccess) {
    device_ = nullptr;
    Fail("cudaMalloc", Status(allocated));
  }
  cufftHandle plan = 0;
  // Column-major images: the column index is the slow dimension.
  const cufftResult made = cufftPlan2d(&plan, int(width), int(height), kType<T>);
  if (made != CUFFT_SUCCESS) {
    cudaFree(device_);
    Fail("cufftPlan2d", Status(made));
  }
  plan_ = static_cast<int>(plan);
  planned_ = true;
}

template <typename T>
ImageTransform<T>::~ImageTransform() {
  if (planned_) cufftDestroy(static_cast<cufftHandle>(plan_));
  cudaFree(device_);
}

template <typename T>
void ImageTransform<T>::Fail(const char* call, const std::string& status) const {
  throw std::runtime_error(user_ + ": " + call + " failed (" + status + ")");
}

template <typename T>
void ImageTransform<T>::Run(const Complex* in, Complex* out, bool forward) {
  const size_t bytes = Pixels() * sizeof(Complex);
  cudaError_t copied = cudaMemcpy(device_, in, bytes, cudaMemcpyHostToDevice);
  if (copied != cudaSuccess) Fail("cudaMemcpy", Status(copied));
  auto* data = static_cast<DeviceComplex<T>*>(device_);
  const cufftResult done = Execute(static_cast<cufftHandle>(plan_), data,
                                   forward ? CUFFT_FORWARD : CUFFT_INVERSE);
  if (done != CUFFT_SUCCESS) {
    Fail(std::is_same_v<T, float> ? "cufftExecC2C" : "cufftExecZ2Z", Status(done));
  }
  copied = cudaMemcpy(out, device_, bytes, cudaMemcpyDeviceToHost);
  if (copied != cudaSuccess) Fail("cudaMemcpy", Status(copied));
}

template <typename T>
void Split_Pair(std::complex<T>* packed, std::complex<T>* second, unsigned height,
                unsigned width) {
  using C = std::complex<T>;
  const C minusHalfI(T(0), T(-0.5));
  for (unsigned c = 0; c < width; ++c) {
    const unsigned mc = (width - c) % width;
    for (unsigned r = 0; r < height; ++r) {
      const size_t i = size_t{c} * height + r;
      const size_t j = size_t{mc} * height + (height - r) % height;
      if (j < i) continue;  // the pair (i, j) was split from j's side
      const C zi = packed[i];
      const C zj = packed[j];
      second[i] = (zi - std::conj(zj)) * minusHalfI;
      second[j] = (zj - std::conj(zi)) * minusHalfI;
      packed[i] = T(0.5) * (zi + std::conj(zj));
      packed[j] = T(0.5) * (zj + std::conj(zi));
    }
  }
}

template class ImageTransform<float>;
template class ImageTransform<double>;
template void Split_Pair<float>(std::complex<float>*, std::complex<float>*, unsigned, unsigned);
template void Split_Pair<double>(std::complex<double>*, std::complex<double>*, unsigned,
                                 unsigned);

}  // namespace korvex::fourier
