// Korvex<T>: the MAP-SIM reconstruction driver, the Barzilai-Borwein step size and the
// convergence measure.
#include <cmath>
#include <exception>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "Korvex.h"
#include "library_calls.h"
#include "status_check.h"

namespace {

using korvex::detail::Dot;
using korvex::detail::Execute_FFT;
using korvex::detail::Sum_Abs;

constexpr const char* kUnit = "Korvex";

// Both precisions start the ratio at the largest finite single-precision value.
constexpr float kRatioStart = std::numeric_limits<float>::max();

// Page-locks the caller's arrays for one call and keeps track of what it locked. On the way
// out it undoes every registration still held, so a failed call leaves no caller memory
// locked and the same arrays can be passed again. A failure may leave uploads from those
// arrays queued on the work streams, so it waits for both streams (whatever they report)
// before unlocking. An exception also leaves behind the runtime's last error; it is
// discarded so that it is not blamed on a later, unrelated check.
class Host_Registrations {
 public:
  Host_Registrations(cudaStream_t uploads1, cudaStream_t uploads2)
      : m_uploads{uploads1, uploads2}, m_uncaught(std::uncaught_exceptions()) {}
  Host_Registrations(const Host_Registrations&) = delete;
  Host_Registrations& operator=(const Host_Registrations&) = delete;
  ~Host_Registrations() {
    const bool failed = std::uncaught_exceptions() > m_uncaught;
    if (failed && m_count > 0) {
      for (cudaStream_t stream : m_uploads) cudaStreamSynchronize(stream);
    }
    for (void*& held : m_held) {
      if (held != nullptr) cudaHostUnregister(held);
      held = nullptr;
    }
    if (failed) cudaGetLastError();
  }

  // Memory that is page-locked already (the same array passed twice, or one MATLAB shares
  // between two variables, or one the caller locked) is used as it is and left registered.
  cudaError_t Lock(void* pointer, size_t bytes) {
    const cudaError_t status = cudaHostRegister(pointer, bytes, 0);
    if (status == cudaErrorHostMemoryAlreadyRegistered) {
      cudaGetLastError();
      return cudaSuccess;
    }
    if (status == cudaSuccess) m_held[m_count++] = pointer;
    return status;
  }

  // Undoes the registration of `pointer` if this call made it.
  cudaError_t Unlock(void* pointer) {
    for (void*& held : m_held) {
      if (held == pointer) {
        // A failed unregistration is tried once more on the way out.
        const cudaError_t status = cudaHostUnregister(pointer);
        if (status == cudaSuccess) held = nullptr;
        return status;
      }
    }
    return cudaSuccess;
  }

 private:
  cudaStream_t m_uploads[2];
  void* m_held[4] = {nullptr, nullptr, nullptr, nullptr};  // image, masks, otf, output
  unsigned m_count = 0;
  int m_uncaught;
};

template <typename T>
T* Reals(CudaComplex<T>* buffer) {
  return reinterpret_cast<T*>(buffer);
}

}  // namespace

template <typename T>
void Korvex<T>::Mapsim_Compute(T* image, T* otf, T* masks, T* output, T threshold, T lambda,
                               T alpha) {
  Mapsim_Compute(image, otf, masks, output, threshold, lambda, alpha, KorvexOptions{});
}

template <typename T>
void Korvex<T>::Mapsim_Compute(T* image, T* otf, T* masks, T* output, T threshold, T lambda,
                               T alpha, const KorvexOptions& options) {
  if (image == nullptr) throw std::runtime_error("KorvexCUDA Error: Input Image NULL!\n");
  if (otf == nullptr) throw std::runtime_error("KorvexCUDA Error: OTF NULL!\n");
  if (masks == nullptr) throw std::runtime_error("KorvexCUDA Error: Masks NULL!\n");
  if (output == nullptr) {
    throw std::runtime_error("KorvexCUDA Internal Error: Output buffer NULL!\n");
  }
  if (d_grad == nullptr || d_gradPrev == nullptr || d_dataGrad == nullptr ||
      d_estimate == nullptr || d_estimatePrev == nullptr || d_masks == nullptr ||
      d_images == nullptr || d_otf == nullptr || d_scratchA == nullptr || d_scratchB == nullptr ||
      h_history == nullptr) {
    std::ostringstream message;
    message << "KorvexCUDA "
            << " Initialization Failure!" << '\n';
    throw std::runtime_error(message.str());
  }
  if (m_harmonic) {
    throw std::runtime_error(
        "KorvexCUDA Error: an engine built for harmonics takes no mask images!\n");
  }
  if (!options.outOfFocus.empty()) {
    throw std::runtime_error(
        "KorvexCUDA Error: the out-of-focus model needs masks given by their harmonics!\n");
  }
  if (options.fourierStart || options.preconditioned) {
    throw std::runtime_error(
        "KorvexCUDA Error: the Fourier start and the preconditioner need masks given by their "
        "harmonics!\n");
  }

  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned F = m_frames;
  const unsigned pixels = W * H;  // the constructor keeps W * H * F below 2^32
  const size_t imageBytes = size_t{pixels} * sizeof(T);
  const size_t stackBytes = size_t{pixels * F} * sizeof(T);
  T* stagingA = Reals(d_scratchA);
  T* stagingB = Reals(d_scratchB);

  Host_Registrations locked(m_stream1, m_stream2);
  KORVEX_CHECK(locked.Lock(image, stackBytes));
  KORVEX_CHECK(locked.Lock(masks, stackBytes));
  KORVEX_CHECK(locked.Lock(otf, imageBytes));
  KORVEX_CHECK(locked.Lock(output, imageBytes));

  m_iteration = 0;
  m_ratio = static_cast<T>(kRatioStart);
  m_threshold = threshold;
  m_lambda = lambda;
  m_alpha = alpha;
  m_parts = 1;
  m_eliminate = false;
  m_hazeIdle = false;

  // Image and mask frames travel on their own streams, each through its own staging buffer.
  for (unsigned i = 0; i < F; ++i) {
    const unsigned offset = i * pixels;
    KORVEX_CHECK(
        cudaMemcpyAsync(stagingA, image + offset, imageBytes, cudaMemcpyHostToDevice, m_stream1));
    KORVEX_CHECK(
        cudaMemcpyAsync(stagingB, masks + offset, imageBytes, cudaMemcpyHostToDevice, m_stream2));
    CuCall_Col2Row(m_launchStream1, stagingA, d_images + offset, W, H);
    CuCall_Col2Row(m_launchStream2, stagingB, d_masks + offset, W, H);
  }
  KORVEX_CHECK(cudaStreamSynchronize(m_stream1));
  KORVEX_CHECK(cudaStreamSynchronize(m_stream2));

  CuCall_EstimateWidefield(m_launch, d_images, d_estimate, W, H, F);
  for (unsigned i = 0; i < F && !options.frameData; ++i) {
    const unsigned offset = i * pixels;
    CuCall_MM_Mult_RR(m_launch, d_images + offset, d_masks + offset, d_images + offset, W, H);
  }
  KORVEX_CHECK(cudaMemcpy(stagingA, otf, imageBytes, cudaMemcpyHostToDevice));
  CuCall_Col2Row(m_launch, stagingA, stagingB, W, H);
  CuCall_FFTShift2D_R(m_launch, stagingB, d_otf, W, H);
  const T sparsity = static_cast<T>(options.sparsity);
  if (options.foldedData) {
    Fold_Data();
    Upload_Transfer(Even_Transfer(otf));
    // The penalty's gradient does not depend on x: it joins -b once.
    Add_Sparsity_Gradient(sparsity, d_images);
  }
  Iterate(options, sparsity);

  CuCall_Row2Col(m_launch, d_estimate, stagingA, W, H);
  KORVEX_CHECK(cudaMemcpy(output, stagingA, imageBytes, cudaMemcpyDeviceToHost));

  KORVEX_CHECK(locked.Unlock(image));
  KORVEX_CHECK(locked.Unlock(otf));
  KORVEX_CHECK(locked.Unlock(masks));
  KORVEX_CHECK(locked.Unlock(output));
}

template <typename T>
void Korvex<T>::Mapsim_Compute(T* image, T* otf, const KorvexHarmonics& harmonics, T* output,
                               T threshold, T lambda, T alpha, const KorvexOptions& options) {
  if (image == nullptr) throw std::runtime_error("KorvexCUDA Error: Input Image NULL!\n");
  if (otf == nullptr) throw std::runtime_error("KorvexCUDA Error: OTF NULL!\n");
  if (output == nullptr) {
    throw std::runtime_error("KorvexCUDA Internal Error: Output buffer NULL!\n");
  }
  if (!m_harmonic) {
    throw std::runtime_error(
        "KorvexCUDA Error: masks given by their harmonics need an engine built for them!\n");
  }
  if (d_grad == nullptr || d_gradPrev == nullptr || d_dataGrad == nullptr ||
      d_estimate == nullptr || d_estimatePrev == nullptr || d_masks == nullptr ||
      d_images == nullptr || d_otf == nullptr || d_scratchA == nullptr || d_scratchB == nullptr ||
      h_history == nullptr || d_harmonics == nullptr) {
    throw std::runtime_error("KorvexCUDA  Initialization Failure!\n");
  }
  Check_Harmonics(harmonics, m_frames);
  const bool outOfFocus = !options.outOfFocus.empty();
  if (outOfFocus && !m_outOfFocus) {
    throw std::runtime_error(
        "KorvexCUDA Error: the out-of-focus model needs an engine built for it!\n");
  }
  if (outOfFocus) Check_Out_Of_Focus(options.outOfFocus, m_width, m_height);
  if (outOfFocus && !(options.outOfFocusCost >= 0.0 && options.outOfFocusCost <= 1.0)) {
    throw std::runtime_error("KorvexCUDA Error: outOfFocusCost must lie in [0, 1], got " +
                             std::to_string(options.outOfFocusCost) + "!\n");
  }
  for (const std::vector<double>* m : {&harmonics.multiplier, &harmonics.approximation}) {
    if (!m->empty() && m->size() != size_t{m_width} * m_height) {
      throw std::runtime_error(std::string("KorvexCUDA Error: the ") +
                               (m == &harmonics.multiplier ? "multiplier" : "approximation") +
                               " must hold " + std::to_string(size_t{m_width} * m_height) +
                               " values (got " + std::to_string(m->size()) + ")!\n");
    }
  }
  if ((options.fourierStart || options.preconditioned) && harmonics.approximation.empty()) {
    throw std::runtime_error(
        "KorvexCUDA Error: the Fourier start and the preconditioner need "
        "harmonics.approximation!\n");
  }

  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned pixels = W * H;
  const size_t imageBytes = size_t{pixels} * sizeof(T);
  T* stagingA = Reals(d_scratchA);

  Host_Registrations locked(m_stream1, m_stream2);
  KORVEX_CHECK(locked.Lock(image, size_t{pixels * m_frames} * sizeof(T)));
  KORVEX_CHECK(locked.Lock(otf, imageBytes));
  KORVEX_CHECK(locked.Lock(output, imageBytes));

  m_iteration = 0;
  m_ratio = static_cast<T>(kRatioStart);
  m_threshold = threshold;
  m_lambda = lambda;
  m_alpha = alpha;
  m_parts = outOfFocus ? 2 : 1;
  m_preconditioned = options.preconditioned;
  // With preconditioned steps the haze follows x (Haze_Eliminate), on a grid of its own.
  m_eliminate = outOfFocus && m_preconditioned;
  m_hazeIdle = false;

  Upload_Harmonics(harmonics);
  // The OTF's even part, and the out-of-focus transfer's, formed once for all that need them.
  const std::vector<double> even = Even_Part(std::vector<double>(otf, otf + size_t{pixels}), W, H);
  const std::vector<double> hazeEven =
      outOfFocus ? Even_Part(options.outOfFocus, W, H) : std::vector<double>();
  if (outOfFocus) Upload_Out_Of_Focus(hazeEven, even);
  // The folding filters through the OTF's even part; the iterations through its square.
  Upload_Centred(even, d_otf);
  const T sparsity = static_cast<T>(options.sparsity);
  Fold_Harmonic_Data(image, options.frameData, sparsity);
  if (outOfFocus) {
    Fold_Out_Of_Focus(sparsity * static_cast<T>(options.outOfFocusCost));
    // The haze starts at zero: the widefield start explains all light as specimen.
    KORVEX_CHECK(cudaMemset(d_estimate + pixels, 0, imageBytes));
  }
  m_multiplier = !harmonics.multiplier.empty();
  if (m_multiplier) {
    Upload_Transfer(harmonics.multiplier);
  } else {
    // The transfer function of H'H, the even part squared, in place: its band is the even
    // part's.
    CuCall_MM_Mult_RR(m_launch, d_otf, d_otf, d_otf, W, H);
  }
  if (outOfFocus && (options.fourierStart || m_preconditioned)) {
    Haze_Prepare(harmonics.approximation, hazeEven, even, options.fourierStart,
                 options.nonNegative);
  } else {
    if (options.fourierStart) Fourier_Start(harmonics.approximation, options.nonNegative);
    if (m_preconditioned) {
      Upload_Centred(Fourier_Filter(harmonics.approximation, static_cast<double>(lambda),
                                   kPreconditionerFloor),
                    d_preconditioner);
    }
  }
  Iterate(options, sparsity);

  CuCall_Row2Col_Tiles(Tile_Launch(), d_estimate, stagingA, W, H);
  KORVEX_CHECK(cudaMemcpy(output, stagingA, imageBytes, cudaMemcpyDeviceToHost));

  KORVEX_CHECK(locked.Unlock(image));
  KORVEX_CHECK(locked.Unlock(otf));
  KORVEX_CHECK(locked.Unlock(output));
}

// The iterations: gradient, step, convergence measure and update, from the estimate in
// d_estimate, until a stopping rule holds.
template <typename T>
void Korvex<T>::Iterate(const KorvexOptions& options, T sparsity) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const size_t pixels = size_t{W} * H;
  // The pair (x, b) with the out-of-focus term: both halves move together.
  const size_t pairBytes = m_parts * pixels * sizeof(T);
  const unsigned historyLength = History_Length(m_maxIter);
  T previousMeasure = T(0);
  // Harmonic engines keep, instead of the previous estimate and gradient, the changes the step
  // size needs: the update leaves its move s in d_estimatePrev, the gradient step the
  // gradient's change y in d_gradPrev and, with preconditioned steps, the direction's change in
  // d_directionPrev. The gradient and the direction are then formed from the ones they
  // replace, which start at 0. So does the haze pair when b follows x: the step works on x
  // alone (b's gradient is 0), and Haze_Eliminate adds its share of the gradient to the
  // change too. Only the pair that steps together keeps whole copies.
  const bool changes = m_harmonic && (m_parts == 1 || m_eliminate);
  if (changes) {
    KORVEX_CHECK(cudaMemset(d_grad, 0, pixels * sizeof(T)));
    if (m_preconditioned) KORVEX_CHECK(cudaMemset(d_directionPrev, 0, pixels * sizeof(T)));
  }
  for (unsigned k = 0; k < m_maxIter; ++k) {
    m_iteration = k;
    // The last direction moves to d_directionPrev by exchanging buffers rather than copying;
    // the new one overwrites the older.
    if (changes && m_preconditioned && k >= 1) std::swap(d_dataGrad, d_directionPrev);
    if (m_harmonic) {
      Harmonic_Data_Gradient();
    } else if (options.foldedData) {
      Folded_Data_Gradient();
    } else {
      Data_Gradient();
      Add_Sparsity_Gradient(sparsity, d_dataGrad);
    }
    if (changes) {
      // With preconditioned steps and the constraint, the two-metric direction starts from the
      // gradient's free part, formed beside it.
      Gradient_Step();
    } else {
      CuCall_ComputeGradian(m_launch, d_grad, d_dataGrad, d_estimate, m_lambda, W, H);
    }
    // With preconditioned steps the haze follows x instead of taking the step with it.
    if (m_eliminate) Haze_Eliminate(k);
    T* direction = m_preconditioned ? Precondition(options.nonNegative) : d_grad;

    if (k >= 1) {
      m_alpha = changes ? Change_Alpha() : Compute_Alpha();
    }
    // A step that is not positive, or not finite (an unchanged gradient gives 0 / 0), ends
    // the loop before it touches the estimate.
    if (!(m_alpha > T(0)) || !std::isfinite(m_alpha)) break;

    const T measure = Compute_Threshold(m_alpha, d_grad);
    if (k < historyLength) h_history[k] = measure;
    if (k >= 1) m_ratio = measure / previousMeasure;
    previousMeasure = measure;

    if (changes) {
      CuCall_Update_Change(m_launch, d_estimate, m_alpha, direction, d_estimatePrev,
                           options.nonNegative ? 1u : 0u, W, H);
      if (k >= 1 && m_threshold > m_ratio) break;
      continue;
    }
    KORVEX_CHECK(cudaMemcpy(d_estimatePrev, d_estimate, pairBytes, cudaMemcpyDeviceToDevice));
    KORVEX_CHECK(cudaMemcpy(d_gradPrev, d_grad, pairBytes, cudaMemcpyDeviceToDevice));
    if (options.nonNegative) {
      CuCall_UpdateNonNegative(m_launch, d_estimate, m_alpha, direction, W, H);
    } else {
      CuCall_UpdateMapping(m_launch, d_estimate, m_alpha, direction, W, H);
    }
    // The haze is non-negative whatever the specimen's constraint.
    if (m_parts == 2 && !m_eliminate) {
      CuCall_UpdateNonNegative(m_launch, d_estimate + pixels, m_alpha, d_grad + pixels, W, H);
    }

    if (k >= 1 && m_threshold > m_ratio) break;
  }
}

// The image `real` blurred through d_otf into d_scratchB, unnormalised: real part the value.
template <typename T>
void Korvex<T>::Blur_Into_ScratchB(T* real) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  CuCall_Real2Complex(m_launch, real, d_scratchB, W, H);
  KORVEX_CHECK(Execute_FFT(m_fftPlan, d_scratchB, d_scratchB, CUFFT_FORWARD));
  CuCall_MM_Mult_CR(m_launch, d_scratchB, d_otf, d_scratchB, W, H);
  KORVEX_CHECK(Execute_FFT(m_fftPlan, d_scratchB, d_scratchB, CUFFT_INVERSE));
}

// `buffer` through `filter` in place, unnormalised; by default through d_otf, after Fold_Data
// or Fold_Harmonic_Data the transfer function of H'H.
template <typename T>
void Korvex<T>::Filter_In_Place(CudaComplex<T>* buffer) {
  Filter_In_Place(buffer, d_otf);
}

template <typename T>
void Korvex<T>::Filter_Real(T* in, T* transfer, T* out) {
  if (transfer == d_otf && m_band != 0) {
    Band_Filter_Real(in, out);
    return;
  }
  KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realForward, in, d_scratchB));
  CuCall_Filter_Half(m_launch, d_scratchB, transfer, m_width, m_height);
  KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realInverse, d_scratchB, out));
}

// `buffer` through `transfer` (device order) in place, unnormalised.
template <typename T>
void Korvex<T>::Filter_In_Place(CudaComplex<T>* buffer, T* transfer) {
  if (transfer == d_otf && m_band != 0) {
    Band_Filter(buffer);
    return;
  }
  KORVEX_CHECK(Execute_FFT(m_fftPlan, buffer, buffer, CUFFT_FORWARD));
  CuCall_MM_Mult_CR(m_launch, buffer, transfer, buffer, m_width, m_height);
  KORVEX_CHECK(Execute_FFT(m_fftPlan, buffer, buffer, CUFFT_INVERSE));
}

// sum_j m_j H' (H (m_j x) - d_j) into d_dataGrad, with d_j the stored data of frame j.
template <typename T>
void Korvex<T>::Data_Gradient() {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned pixels = W * H;
  T* stagingA = Reals(d_scratchA);
  KORVEX_CHECK(cudaMemset(d_dataGrad, 0, size_t{pixels} * sizeof(T)));
  for (unsigned j = 0; j < m_frames; ++j) {
    const unsigned offset = j * pixels;
    CuCall_MM_Mult_RR(m_launch, d_masks + offset, d_estimate, stagingA, W, H);
    Blur_Into_ScratchB(stagingA);
    CuCall_Iter_Middle(m_launch, d_scratchB, d_images + offset, W, H);
    KORVEX_CHECK(Execute_FFT(m_fftPlan, d_scratchB, d_scratchA, CUFFT_FORWARD));
    CuCall_MM_Mult_CR(m_launch, d_scratchA, d_otf, d_scratchA, W, H);
    KORVEX_CHECK(Execute_FFT(m_fftPlan, d_scratchA, d_scratchA, CUFFT_INVERSE));
    CuCall_Iter_Final(m_launch, d_scratchA, d_masks + offset, d_dataGrad, W, H);
  }
}

// Replaces the data by -b = -sum_j m_j H' d_j, kept in the first frame of d_images; the caller
// then replaces the OTF by the transfer function of H'H.
template <typename T>
void Korvex<T>::Fold_Data() {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned pixels = W * H;
  KORVEX_CHECK(cudaMemset(d_dataGrad, 0, size_t{pixels} * sizeof(T)));
  for (unsigned j = 0; j < m_frames; ++j) {
    const unsigned offset = j * pixels;
    Blur_Into_ScratchB(d_images + offset);
    CuCall_Iter_Final(m_launch, d_scratchB, d_masks + offset, d_dataGrad, W, H);
  }
  KORVEX_CHECK(cudaMemset(d_images, 0, size_t{pixels} * sizeof(T)));
  CuCall_Subtract(m_launch, d_images, d_dataGrad, d_images, W, H);
}

// sum_j m_j H'H (m_j x) - b into d_dataGrad, after Fold_Data.
template <typename T>
void Korvex<T>::Folded_Data_Gradient() {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned pixels = W * H;
  T* stagingA = Reals(d_scratchA);
  KORVEX_CHECK(
      cudaMemcpy(d_dataGrad, d_images, size_t{pixels} * sizeof(T), cudaMemcpyDeviceToDevice));
  for (unsigned j = 0; j < m_frames; ++j) {
    const unsigned offset = j * pixels;
    CuCall_MM_Mult_RR(m_launch, d_masks + offset, d_estimate, stagingA, W, H);
    Blur_Into_ScratchB(stagingA);
    CuCall_Iter_Final(m_launch, d_scratchB, d_masks + offset, d_dataGrad, W, H);
  }
}

// sparsity * sum_j m_j added to `gradient`, one mask at a time (the update kernel with step
// -sparsity adds sparsity * m_j).
template <typename T>
void Korvex<T>::Add_Sparsity_Gradient(T sparsity, T* gradient) {
  if (sparsity == T(0)) return;
  const unsigned pixels = m_width * m_height;
  for (unsigned j = 0; j < m_frames; ++j) {
    CuCall_UpdateMapping(m_launch, gradient, -sparsity, d_masks + j * pixels, m_width, m_height);
  }
}

template <typename T>
T Korvex<T>::Compute_Alpha() {
  // The pair (x, b) is reduced as one image of W x 2H.
  const unsigned W = m_width;
  const unsigned H = m_height * m_parts;
  const int n = static_cast<int>(W * H);
  const KernelLaunch_t launch = Pair_Launch();
  T* positive = Reals(d_scratchA);
  T* negative = Reals(d_scratchB);

  CuCall_Criterion_L0(launch, d_grad, d_gradPrev, d_estimate, d_estimatePrev, positive, negative,
                      W, H);
  T a = 0;
  T b = 0;
  KORVEX_CHECK(Sum_Abs(m_blasHandle, n, positive, &a));
  KORVEX_CHECK(Sum_Abs(m_blasHandle, n, negative, &b));
  // The split by sign turns two sums of absolute values into the signed sum s . y.
  const T numerator = a - b;

  T* squares = Reals(d_scratchA);
  CuCall_Criterion_L1(launch, d_grad, d_gradPrev, squares, W, H);
  T c = 0;
  KORVEX_CHECK(Sum_Abs(m_blasHandle, n, squares, &c));
  return numerator / c;
}

// The gradient step of Iterate's harmonic iteration that keeps changes (Iterate): x's gradient
// into d_grad, its change from the one there into d_gradPrev and its free part under x >= 0 into
// d_masks, off the border and on it.
template <typename T>
void Korvex<T>::Gradient_Step() {
  const unsigned W = m_width;
  const unsigned H = m_height;
  CuCall_Gradient_Inside(m_launch, d_grad, d_gradPrev, d_dataGrad, d_estimate, m_lambda, d_masks,
                         W, H);
  // The border's pixels, one thread each along x: the first and last rows, then the first and
  // last columns between them.
  const unsigned rows = H > 1 ? 2 : H;
  const unsigned columns = W > 1 ? 2 : W;
  const unsigned border = rows * W + (H > 2 ? (H - 2) * columns : 0);
  KernelLaunch_t launch = m_launch;
  launch.grid = dim3((border + launch.block.x - 1) / launch.block.x, 1, 1);
  CuCall_Gradient_Border(launch, d_grad, d_gradPrev, d_dataGrad, d_estimate, d_masks, W, H);
}

// The Barzilai-Borwein step from the changes Iterate keeps (harmonic engines, save a haze
// pair that steps with x): s.y / y.P^-1 y with preconditioned steps, which keep the last step
// when that is not positive and finite (directions restricted to changing free sets can make
// y.P^-1 y meaningless), s.y / y.y otherwise (as Compute_Alpha). Each sum is one dot product
// of two stored changes.
template <typename T>
T Korvex<T>::Change_Alpha() {
  const int n = static_cast<int>(m_width * m_height);
  T numerator = 0;
  T denominator = 0;
  KORVEX_CHECK(Dot(m_blasHandle, n, d_estimatePrev, d_gradPrev, &numerator));
  KORVEX_CHECK(Dot(m_blasHandle, n, d_gradPrev, m_preconditioned ? d_directionPrev : d_gradPrev,
                   &denominator));
  const T step = numerator / denominator;
  if (!m_preconditioned) return step;
  return step > T(0) && std::isfinite(step) ? step : m_alpha;
}

template <typename T>
T Korvex<T>::Compute_Threshold(T alpha, void* vector) {
  // b's gradient is 0 while b follows x: the pair's measure is x's.
  const int n = static_cast<int>(m_width * m_height * (m_eliminate ? 1 : m_parts));
  const T* values = static_cast<const T*>(vector);
  T r = 0;
  KORVEX_CHECK(Dot(m_blasHandle, n, values, values, &r));
  return alpha * r;
}

template void Korvex<float>::Mapsim_Compute(float*, float*, float*, float*, float, float, float);
template void Korvex<float>::Mapsim_Compute(float*, float*, float*, float*, float, float, float,
                                            const KorvexOptions&);
template float Korvex<float>::Compute_Alpha();
template float Korvex<float>::Compute_Threshold(float, void*);
template void Korvex<double>::Mapsim_Compute(double*, double*, double*, double*, double, double,
                                             double);
template void Korvex<double>::Mapsim_Compute(double*, double*, double*, double*, double, double,
                                             double, const KorvexOptions&);
template double Korvex<double>::Compute_Alpha();
template double Korvex<double>::Compute_Threshold(double, void*);
template void Korvex<float>::Blur_Into_ScratchB(float*);
template void Korvex<double>::Blur_Into_ScratchB(double*);
template void Korvex<float>::Mapsim_Compute(float*, float*, const KorvexHarmonics&, float*, float,
                                            float, float, const KorvexOptions&);
template void Korvex<double>::Mapsim_Compute(double*, double*, const KorvexHarmonics&, double*,
                                             double, double, double, const KorvexOptions&);
template void Korvex<float>::Filter_In_Place(CudaComplex<float>*);
template void Korvex<double>::Filter_In_Place(CudaComplex<double>*);
template void Korvex<float>::Filter_In_Place(CudaComplex<float>*, float*);
template void Korvex<double>::Filter_In_Place(CudaComplex<double>*, double*);
template void Korvex<float>::Filter_Real(float*, float*, float*);
template void Korvex<double>::Filter_Real(double*, double*, double*);
template void Korvex<float>::Iterate(const KorvexOptions&, float);
template void Korvex<double>::Iterate(const KorvexOptions&, double);
template void Korvex<float>::Data_Gradient();
template void Korvex<float>::Fold_Data();
template void Korvex<float>::Folded_Data_Gradient();
template void Korvex<double>::Data_Gradient();
template void Korvex<double>::Fold_Data();
template void Korvex<double>::Folded_Data_Gradient();
template void Korvex<float>::Gradient_Step();
template void Korvex<double>::Gradient_Step();
template float Korvex<float>::Change_Alpha();
template double Korvex<double>::Change_Alpha();
template void Korvex<float>::Add_Sparsity_Gradient(float, float*);
template void Korvex<double>::Add_Sparsity_Gradient(double, double*);
