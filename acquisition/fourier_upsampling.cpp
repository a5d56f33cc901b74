#include "fourier_upsampling.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace korvex::acquisition {

namespace {

void Check(cudaError_t status, const char* call) {
  if (status == cudaSuccess) return;
  throw std::runtime_error(std::string("Fourier up-sampling: ") + call +
                           " failed: " + cudaGetErrorString(status));
}

void Check(cufftResult status, const char* call) {
  if (status == CUFFT_SUCCESS) return;
  throw std::runtime_error(std::string("Fourier up-sampling: ") + call +
                           " failed with cuFFT status " + std::to_string(int(status)));
}

template <typename T>
constexpr cufftType kTransformType = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;

template <typename T>
cufftResult Execute(cufftHandle plan, void* data, int direction) {
  if constexpr (std::is_same_v<T, float>) {
    auto* values = static_cast<cufftComplex*>(data);
    return cufftExecC2C(plan, values, values, direction);
  } else {
    auto* values = static_cast<cufftDoubleComplex*>(data);
    return cufftExecZ2Z(plan, values, values, direction);
  }
}

}  // namespace

template <typename T>
std::vector<typename FourierUpsampler<T>::Landing> FourierUpsampler<T>::Landings(unsigned coarse,
                                                                                 unsigned factor) {
  const unsigned fine = coarse * factor;
  std::vector<Landing> landings(coarse);
  for (unsigned k = 0; k < coarse; ++k) {
    // Bins 0 .. ceil(N/2)-1 are the non-negative frequencies, the rest negative.
    const bool negative = k >= (coarse + 1) / 2;
    const unsigned target = negative ? fine - (coarse - k) : k;
    landings[k] = {target, target, 1.0};
  }
  if (coarse % 2 == 0 && factor > 1) {
    const unsigned nyquist = coarse / 2;
    landings[nyquist] = {fine - nyquist, nyquist, 0.5};
  }
  return landings;
}

template <typename T>
FourierUpsampler<T>::FourierUpsampler(unsigned height, unsigned width, unsigned factor)
    : height_(height),
      width_(width),
      factor_(factor),
      fineHeight_(height * factor),
      fineWidth_(width * factor),
      rowLandings_(Landings(height, factor)),
      columnLandings_(Landings(width, factor)),
      coarse_(factor > 1 ? size_t{height} * width : 0),
      fine_(factor > 1 ? size_t{fineHeight_} * fineWidth_ : 0) {
  if (height == 0 || width == 0 || factor == 0) {
    throw std::invalid_argument("Fourier up-sampling needs a non-empty image and a factor >= 1");
  }
  if (factor == 1) return;  // a copy: no transforms
  try {
    // Column-major images are row-major width x height arrays: the plan's slow dimension is
    // the column index.
    Check(cudaMalloc(&deviceCoarse_, coarse_.size() * sizeof(Complex)), "cudaMalloc");
    Check(cufftPlan2d(&coarsePlan_, int(width), int(height), kTransformType<T>), "cufftPlan2d");
    coarsePlanned_ = true;
    Check(cudaMalloc(&deviceFine_, fine_.size() * sizeof(Complex)), "cudaMalloc");
    Check(cufftPlan2d(&finePlan_, int(fineWidth_), int(fineHeight_), kTransformType<T>),
          "cufftPlan2d");
    finePlanned_ = true;
  } catch (...) {
    Release();
    throw;
  }
}

template <typename T>
FourierUpsampler<T>::~FourierUpsampler() {
  Release();
}

template <typename T>
void FourierUpsampler<T>::Release() noexcept {
  if (finePlanned_) cufftDestroy(finePlan_);
  if (coarsePlanned_) cufftDestroy(coarsePlan_);
  if (deviceFine_ != nullptr) cudaFree(deviceFine_);
  if (deviceCoarse_ != nullptr) cudaFree(deviceCoarse_);
  finePlanned_ = coarsePlanned_ = false;
  deviceFine_ = deviceCoarse_ = nullptr;
}

template <typename T>
void FourierUpsampler<T>::Transform(int plan, void* data, int direction) {
  Check(Execute<T>(plan, data, direction),
        direction == CUFFT_FORWARD ? "forward transform" : "inverse transform");
}

template <typename T>
void FourierUpsampler<T>::Pad_Spectrum() {
  // The inverse transform is unnormalised: 1 / (H W) makes fine samples equal coarse ones.
  const double scale = 1.0 / (double(height_) * width_);
  std::fill(fine_.begin(), fine_.end(), Complex{0, 0});
  for (unsigned c = 0; c < width_; ++c) {
    const Landing& cl = columnLandings_[c];
    const unsigned columns[2] = {cl.first, cl.second};
    const unsigned columnCount = cl.first == cl.second ? 1 : 2;
    for (unsigned r = 0; r < height_; ++r) {
      const Landing& rl = rowLandings_[r];
      const unsigned rows[2] = {rl.first, rl.second};
      const unsigned rowCount = rl.first == rl.second ? 1 : 2;
      const Complex v = coarse_[size_t{c} * height_ + r];
      const double w = scale * cl.weight * rl.weight;
      const Complex part{T(w * v.re), T(w * v.im)};
      for (unsigned i = 0; i < columnCount; ++i) {
        for (unsigned j = 0; j < rowCount; ++j) {
          fine_[size_t{columns[i]} * fineHeight_ + rows[j]] = part;
        }
      }
    }
  }
}

template <typename T>
void FourierUpsampler<T>::Upsample(const T* frames, unsigned count, T* fine) {
  const size_t pixels = size_t{height_} * width_;
  const size_t finePixels = size_t{fineHeight_} * fineWidth_;
  if (factor_ == 1) {
    std::copy(frames, frames + pixels * count, fine);
    return;
  }
  // Two real frames travel as the real and imaginary parts of one complex image: padding
  // keeps each one's spectrum Hermitian, so they come back apart in the real and imaginary
  // parts, and a stack costs half the transforms.
  for (unsigned f = 0; f < count; f += 2) {
    const T* first = frames + f * pixels;
    const T* second = f + 1 < count ? first + pixels : nullptr;
    for (size_t i = 0; i < pixels; ++i) coarse_[i] = {first[i], second ? second[i] : T(0)};
    const size_t coarseBytes = pixels * sizeof(Complex);
    const size_t fineBytes = finePixels * sizeof(Complex);
    Check(cudaMemcpy(deviceCoarse_, coarse_.data(), coarseBytes, cudaMemcpyHostToDevice),
          "cudaMemcpy");
    Transform(coarsePlan_, deviceCoarse_, CUFFT_FORWARD);
    Check(cudaMemcpy(coarse_.data(), deviceCoarse_, coarseBytes, cudaMemcpyDeviceToHost),
          "cudaMemcpy");
    Pad_Spectrum();
    Check(cudaMemcpy(deviceFine_, fine_.data(), fineBytes, cudaMemcpyHostToDevice), "cudaMemcpy");
    Transform(finePlan_, deviceFine_, CUFFT_INVERSE);
    Check(cudaMemcpy(fine_.data(), deviceFine_, fineBytes, cudaMemcpyDeviceToHost), "cudaMemcpy");
    T* out = fine + f * finePixels;
    for (size_t i = 0; i < finePixels; ++i) out[i] = fine_[i].re;
    if (second) {
      out += finePixels;
      for (size_t i = 0; i < finePixels; ++i) out[i] = fine_[i].im;
    }
  }
}

template class FourierUpsampler<float>;
template class FourierUpsampler<double>;

}  // namespace korvex::acquisition
