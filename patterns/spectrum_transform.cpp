#include "spectrum_transform.h"

#include <complex>
#include <stdexcept>
#include <string>

#include "caller_terms.h"
#include "gpu.h"

namespace korvex::patterns {

namespace {

// Single precision on the device: the fits accumulate in double on the host, and a
// single-precision transform's rounding (1e-7 relative) lies far below the noise of any
// camera frame, while it halves the transfers and the transform time.
using DeviceComplex = cufftComplex;

[[noreturn]] void Fail(const std::string& what, const std::string& status) {
  throw std::runtime_error(Caller_Prefix() + what + " failed (" + status + ")");
}

void Check(cudaError_t status, const char* what) {
  if (status != cudaSuccess) Fail(what, cudaGetErrorString(status));
}

void Check(cufftResult status, const char* what) {
  if (status != CUFFT_SUCCESS) Fail(what, "cuFFT status " + std::to_string(int(status)));
}

}  // namespace

SpectrumTransform::SpectrumTransform(const SpectralGrid& grid)
    : pixels_(grid.pixels), staging_(2 * grid.pixels) {
  Check(cudaMalloc(&device_, pixels_ * sizeof(DeviceComplex)), "cudaMalloc");
  cufftHandle plan = 0;
  // Column-major images: the column index is the slow dimension.
  const cufftResult planned =
      cufftPlan2d(&plan, static_cast<int>(grid.width), static_cast<int>(grid.height), CUFFT_C2C);
  if (planned != CUFFT_SUCCESS) {
    cudaFree(device_);
    Check(planned, "cufftPlan2d");
  }
  plan_ = static_cast<int>(plan);
  planned_ = true;
}

SpectrumTransform::~SpectrumTransform() {
  if (planned_) cufftDestroy(static_cast<cufftHandle>(plan_));
  cudaFree(device_);
}

void SpectrumTransform::Forward(ComplexImage& image) { Run(image, CUFFT_FORWARD); }
void SpectrumTransform::Inverse(ComplexImage& image) { Run(image, CUFFT_INVERSE); }

void SpectrumTransform::Inverse(FloatImage& image) {
  static_assert(sizeof(std::complex<float>) == sizeof(DeviceComplex),
                "std::complex<float> and cufftComplex share one layout");
  if (image.size() != pixels_) throw std::logic_error("SpectrumTransform: image of another size");
  Execute(image.data(), CUFFT_INVERSE);
}

void SpectrumTransform::Run(ComplexImage& image, int direction) {
  for (size_t i = 0; i < pixels_; ++i) {
    staging_[2 * i] = static_cast<float>(image[i].real());
    staging_[2 * i + 1] = static_cast<float>(image[i].imag());
  }
  Execute(staging_.data(), direction);
  for (size_t i = 0; i < pixels_; ++i) image[i] = Complex(staging_[2 * i], staging_[2 * i + 1]);
}

// hostData: pixels_ single-precision complex values, transformed in place.
void SpectrumTransform::Execute(void* hostData, int direction) {
  const size_t bytes = pixels_ * sizeof(DeviceComplex);
  Check(cudaMemcpy(device_, hostData, bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
  auto* data = static_cast<DeviceComplex*>(device_);
  Check(cufftExecC2C(static_cast<cufftHandle>(plan_), data, data, direction), "cufftExecC2C");
  Check(cudaMemcpy(hostData, device_, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy");
}

}  // namespace korvex::patterns
