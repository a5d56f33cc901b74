#include "frame_simulation.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu.h"

namespace korvex::acquisition {

namespace {

void Check(cudaError_t status, const char* call) {
  if (status == cudaSuccess) return;
  throw std::runtime_error(std::string("frame simulation: ") + call +
                           " failed: " + cudaGetErrorString(status));
}

void Check(cufftResult status, const char* call) {
  if (status == CUFFT_SUCCESS) return;
  throw std::runtime_error(std::string("frame simulation: ") + call + " failed with cuFFT status " +
                           std::to_string(int(status)));
}

// One double-precision plan and its device buffer, released on every path.
class Transform {
 public:
  Transform(unsigned height, unsigned width) : values_(size_t{height} * width) {
    Check(cudaMalloc(&device_, values_ * sizeof(cufftDoubleComplex)), "cudaMalloc");
    // Column-major images: the column index is the slow dimension.
    Check(cufftPlan2d(&plan_, int(width), int(height), CUFFT_Z2Z), "cufftPlan2d");
    planned_ = true;
  }
  ~Transform() {
    if (planned_) cufftDestroy(plan_);
    cudaFree(device_);
  }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  void Run(std::vector<std::complex<double>>& image, int direction) {
    const size_t bytes = values_ * sizeof(cufftDoubleComplex);
    Check(cudaMemcpy(device_, image.data(), bytes, cudaMemcpyHostToDevice), "cudaMemcpy");
    auto* data = static_cast<cufftDoubleComplex*>(device_);
    Check(cufftExecZ2Z(plan_, data, data, direction), "cufftExecZ2Z");
    Check(cudaMemcpy(image.data(), device_, bytes, cudaMemcpyDeviceToHost), "cudaMemcpy");
  }

 private:
  size_t values_;
  void* device_ = nullptr;
  cufftHandle plan_ = 0;
  bool planned_ = false;
};

}  // namespace

void Simulate_Frames(const double* truth, const double* masks, const double* otf, unsigned height,
                     unsigned width, unsigned frames, double photons, double background,
                     double* expected) {
  if (height == 0 || width == 0 || frames == 0) {
    throw std::invalid_argument("frame simulation: empty truth or masks");
  }
  if (!(photons > 0)) throw std::invalid_argument("photons must be positive");
  if (!(background >= 0) || !std::isfinite(background)) {
    throw std::invalid_argument("background must be a non-negative finite number");
  }
  const size_t pixels = size_t{height} * width;
  // The OTF as an unshifted spectrum filter (ifftshift of the centred one).
  std::vector<double> filter(pixels);
  for (unsigned c = 0; c < width; ++c) {
    const unsigned sc = (c + width / 2) % width;
    for (unsigned r = 0; r < height; ++r) {
      filter[size_t{c} * height + r] = otf[size_t{sc} * height + (r + height / 2) % height];
    }
  }

  Transform transform(height, width);
  std::vector<std::complex<double>> image(pixels);
  for (unsigned f = 0; f < frames; ++f) {
    const double* mask = masks + size_t{f} * pixels;
    for (size_t i = 0; i < pixels; ++i) image[i] = mask[i] * truth[i];
    transform.Run(image, CUFFT_FORWARD);
    for (size_t i = 0; i < pixels; ++i) image[i] *= filter[i];
    transform.Run(image, CUFFT_INVERSE);
    double* out = expected + size_t{f} * pixels;
    for (size_t i = 0; i < pixels; ++i) out[i] = image[i].real() / double(pixels);
  }

  const size_t total = pixels * frames;
  if (std::isinf(photons)) {
    for (size_t i = 0; i < total; ++i) expected[i] += background;
    return;
  }
  const double peak = *std::max_element(expected, expected + total);
  const double scale = peak > 0 ? photons / peak : 1.0;
  // Rounding in the transforms leaves tiny negative values where the image is dark; a photon
  // rate cannot be negative.
  for (size_t i = 0; i < total; ++i) expected[i] = std::max(expected[i] * scale, 0.0) + background;
}

}  // namespace korvex::acquisition
