// Korvex<T>: the out-of-focus term of a harmonic engine. The model
//   y_j = H(m_j x) + G b,
// b one non-negative image shared by every frame, adds to the data term's gradients
//   x:  w H'G b,                          w = sum_j m_j,
//   b:  G'(H(w x) + F G b - sum_j d_j) + F sparsity G(0),
// with d_j the data the frames are compared with. G'sum_j d_j is formed once at fold time.
// The harmonic gradient multiplies u_0 = H'H x by w already, so H'G b joins u_0 in the
// transform of x, beside b's own (every filter here is real and even). w x is
// F x plus the mean masks' harmonics, whose transforms E_l x the harmonic gradient takes
// anyway: the b-gradient's spectrum is gathered from them and costs one inverse transform an
// iteration. Only real parts come back, so u_0 and the b-gradient are gathered as half spectra
// (of their Hermitian parts, where a complex spectrum adds to them) and come back through the
// real inverse transforms.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Korvex.h"
#include "library_calls.h"
#include "status_check.h"

namespace {

using korvex::detail::Dot;
using korvex::detail::Execute_FFT;
using korvex::detail::Execute_Real_Forward;
using korvex::detail::Execute_Real_Inverse;
using korvex::detail::Sum_Abs;

constexpr const char* kUnit = "Korvex";

// eps of Reduced_Operator, a share of b's curvature at zero frequency F G(0)^2.
constexpr double kHazeCurvatureFloor = 1e-4;

// Projected gradient steps that bring b towards its optimum for the current x (Haze_Eliminate):
// at the start, where b starts from 0, and in the first iteration, where x moves farthest;
// warm-started from there, one step an iteration keeps b with x.
constexpr int kHazeStartSteps = 4;
constexpr int kHazeFirstSteps = 2;

// The start found no haze (Haze_Prepare) where fewer than this share of b0's pixels are above
// 0 and b0 holds less than kHazeLightFloor of the modelled light. Noise lifts a few pixels of a
// thin specimen's b0, with well under 1% of the light (0.45% at most on the thin stacks
// measured, 100 photons); a compact out-of-focus blob lifts few pixels too, but carries a few
// per cent.
constexpr double kHazeFreeFloor = 0.02;
constexpr double kHazeLightFloor = 0.01;

}  // namespace

template <typename T>
void Korvex<T>::Check_Out_Of_Focus(const std::vector<double>& transfer, unsigned W, unsigned H) {
  if (transfer.size() != size_t{W} * H) {
    throw std::runtime_error("KorvexCUDA Error: the out-of-focus transfer must hold " +
                             std::to_string(size_t{W} * H) + " values (got " +
                             std::to_string(transfer.size()) + ")!\n");
  }
  for (double v : transfer) {
    if (!std::isfinite(v)) {
      throw std::runtime_error("KorvexCUDA Error: the out-of-focus transfer holds NaN or Inf!\n");
    }
  }
}

// G's even part g and G E (E the OTF's even part e) into d_haze in device order; their values
// at zero frequency kept for the share.
template <typename T>
void Korvex<T>::Upload_Out_Of_Focus(const std::vector<double>& g, const std::vector<double>& e) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  std::vector<double> ge = e;
  const size_t zero = size_t{W / 2} * H + H / 2;
  m_hazeZero = g[zero];
  m_otfZero = ge[zero];
  // G E beyond the narrow G is far below the precision's reach of its peak: held at 0 there,
  // so that the kernels that gather the b-gradient skip those frequencies.
  const double negligible = std::numeric_limits<T>::epsilon() * std::fabs(g[zero] * ge[zero]);
  for (size_t i = 0; i < ge.size(); ++i) {
    ge[i] *= g[i];
    if (std::fabs(ge[i]) < negligible) ge[i] = 0.0;
  }
  unsigned bands[2] = {0, 0};
  unsigned blur[2] = {0, 0};
  Haze_Bands(g, ge, W, H, 0.5 * std::numeric_limits<T>::epsilon(), bands, blur);
  m_hazeColumns = bands[0];
  m_hazeRows = bands[1];
  m_blurColumns = blur[0];
  m_blurRows = blur[1];
  Set_Haze_Band();
  Set_Haze_Grid();
  Upload_Centred(g, Haze_Part(kHazeG));
  Upload_Centred(ge, Haze_Part(kHazeGE));
  m_hazeSpectrumKept = false;
}

// One of b's images to its half spectrum and back (`spectrum` overwritten), unnormalised: on b's
// own grid where it is coarser than x's (Set_Haze_Grid), else pruned to b's band
// (Set_Haze_Band) where it has one, else through the 2-D plans. Every spectrum taken on x's
// grid is multiplied by G E or G'G kept to that band, so the columns outside it, which hold
// their rows' transforms only, go to 0.
template <typename T>
void Korvex<T>::Haze_Real_Forward(T* in, CudaComplex<T>* spectrum) {
  if (Haze_Coarse()) {
    KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_hazeGridForward, in, spectrum));
  } else if (m_hazeBand != 0) {
    KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realRowForward, in, spectrum));
    KORVEX_CHECK(Execute_FFT(m_hazeColumnPlan, spectrum, spectrum, CUFFT_FORWARD));
  } else {
    KORVEX_CHECK(Execute_Real_Forward(m_realForward, in, spectrum));
  }
}

template <typename T>
void Korvex<T>::Haze_Real_Inverse(CudaComplex<T>* spectrum, T* out) {
  if (Haze_Coarse()) {
    KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_hazeGridInverse, spectrum, out));
  } else {
    Haze_Fine_Inverse(spectrum, out);
  }
}

template <typename T>
void Korvex<T>::Haze_Fine_Inverse(CudaComplex<T>* spectrum, T* out) {
  if (m_hazeBand != 0) {
    KORVEX_CHECK(Execute_FFT(m_hazeColumnPlan, spectrum, spectrum, CUFFT_INVERSE));
    KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realRowInverse, spectrum, out));
  } else {
    KORVEX_CHECK(Execute_Real_Inverse(m_realInverse, spectrum, out));
  }
}

// Where b's grid is coarser than x's, its samples of G' sum_j d_j follow b's kept half spectrum
// in the room of a second complex image, which on that grid holds far less.
template <typename T>
T* Korvex<T>::Haze_Data() const {
  if (!Haze_Coarse()) return Haze_Part(kHazeData);
  const size_t kept = 2 * (size_t{m_hazeWidth} / 2 + 1) * m_hazeHeight;
  return Haze_Part(6) + (kept + 15) / 16 * 16;
}

template <typename T>
CudaComplex<T>* Korvex<T>::Haze_Grid_Spectrum() const {
  if (!Haze_Coarse()) return d_scratchB;
  const size_t pixels = size_t{m_width} * m_height;
  return d_scratchB + (pixels - (size_t{m_hazeWidth} / 2 + 1) * m_hazeHeight) / 8 * 8;
}

// b's fine half spectrum, times `factor` and, unless null, the fine `filter`, into d_scratchB:
// transformed on b's grid into the end of d_scratchB and spread over x's grid.
template <typename T>
void Korvex<T>::Haze_Fine_Spectrum(T* filter, T factor) {
  CudaComplex<T>* own = Haze_Grid_Spectrum();
  Haze_Real_Forward(d_estimate + size_t{m_width} * m_height, own);
  CuCall_Haze_Spread(m_launch, own, filter, factor * static_cast<T>(Haze_Ratio()), nullptr,
                     d_scratchB, m_width, m_height, m_hazeWidth, m_hazeHeight);
}

// After Fold_Harmonic_Data has summed the data into the kHazeData image: that sum, lowered by
// F sparsity, through G' (and sampled on b's grid, Haze_Data), and w = sum_j m_j (per
// orientation `phases` masks with the mean coefficients). The sparsity penalty on x is what
// lowering every frame by `sparsity` adds to its gradient; the same lowering adds
// F sparsity G(0) to b's. Light then costs the same in x as in b, so the penalty gains nothing
// by moving in-focus light into the haze, and the patterned data alone decide between them.
// `sparsity` comes here times KorvexOptions::outOfFocusCost: below 1 the haze is cheaper.
template <typename T>
void Korvex<T>::Fold_Out_Of_Focus(T sparsity) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  T* data = Haze_Part(kHazeData);
  if (sparsity != T(0)) {
    CuCall_Add_Scalar(m_launch, data, -sparsity * static_cast<T>(m_frames), W, H);
  }
  if (Haze_Coarse()) {
    // One transform serves both: the spectrum through G, gathered to b's grid, then back.
    KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realForward, data, d_scratchB));
    CuCall_Filter_Half(m_launch, d_scratchB, Haze_Part(kHazeG), W, H);
    CuCall_Haze_Gather(m_launch, d_scratchB, d_scratchA, W, H, m_hazeWidth, m_hazeHeight);
    KORVEX_CHECK(
        korvex::detail::Execute_Real_Inverse(m_hazeGridInverse, d_scratchA, Haze_Data()));
    KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realInverse, d_scratchB, data));
  } else {
    Filter_Real(data, Haze_Part(kHazeG), data);
  }
  T* weight = Haze_Part(kHazeWeight);
  KORVEX_CHECK(cudaMemset(weight, 0, size_t{W} * H * sizeof(T)));
  Add_Mask_Sum(T(1), weight);
}

// The transform of x that the data term needs, with b's beside it: `out` gets H'H x + s H'G b
// (s = 1 where the harmonic combination multiplies u_0 by w = sum_j m_j, F with a multiplier,
// which stands for w = F), and the b-gradient's half spectrum starts with G'H(F x) + F G'G b.
// b's half spectrum is transformed here unless Haze_Eliminate has kept it with b's moves.
// `hazeOnly`: b's gradient alone is wanted, and `out` is left as it was.
template <typename T>
void Korvex<T>::Haze_Start(T* out, bool hazeOnly) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const T frames = static_cast<T>(m_frames);
  if (Blur_Band() != 0) {
    Band_Real_Forward(d_estimate, d_scratchA);
  } else {
    KORVEX_CHECK(Execute_Real_Forward(m_realForward, d_estimate, d_scratchA));
  }
  if (!m_eliminate || !m_hazeSpectrumKept) {
    Haze_Real_Forward(d_estimate + size_t{W} * H, Haze_Kept_Spectrum());
    m_hazeSpectrumKept = m_eliminate;
  }
  CuCall_Haze_Split(m_launch, d_scratchA, Haze_Kept_Spectrum(), d_otf, Haze_Part(kHazeG),
                    Haze_Part(kHazeGE), m_multiplier ? frames : T(1), frames, Haze_Spectrum(),
                    Haze_Band(), static_cast<T>(Haze_Ratio()), W, H, m_hazeWidth,
                    m_hazeHeight);
  // t and G E only, within the OTF's band
  if (hazeOnly) return;
  if (Blur_Band() != 0) {
    Band_Real_Inverse(d_scratchA, out);
  } else {
    KORVEX_CHECK(Execute_Real_Inverse(m_realInverse, d_scratchA, out));
  }
}

// `buffer` = E_l x through d_otf in place, unnormalised, as Filter_In_Place; with the
// out-of-focus term, its spectrum first adds the mean mask's share P (mu E_l + conj(mu) E_-l) x
// of w x to the b-gradient's spectrum. `hazeOnly`: the spectrum is left in `buffer`.
template <typename T>
void Korvex<T>::Filter_Modulated(CudaComplex<T>* buffer, unsigned orientation, unsigned order,
                                 bool hazeOnly) {
  if (m_parts != 2) {
    Filter_In_Place(buffer);
    return;
  }
  const unsigned W = m_width;
  const unsigned H = m_height;
  // The mean coefficients follow the phase tables of every orientation and the coefficients
  // of every frame (Table_Layout in Korvex_Harmonic.cpp).
  const size_t means = size_t{m_frames} * 2 * (size_t{W} + H) + 2 * size_t{m_frames};
  // Pruned as Filter_In_Place is, where G E lies within d_otf's band as well.
  const bool pruned = Blur_Band() != 0;
  if (pruned) {
    Band_Forward(buffer);
  } else {
    KORVEX_CHECK(Execute_FFT(m_fftPlan, buffer, buffer, CUFFT_FORWARD));
  }
  // Only G E's columns and rows, of the nonnegative frequencies' half: a box at the corner.
  const unsigned columns = std::min(m_blurColumns, W / 2 + 1);
  const unsigned rows = std::min(2 * m_blurRows - 1, H);
  CuCall_Haze_Accumulate(m_launch, buffer, Haze_Part(kHazeGE),
                         d_harmonics + means + 2 * orientation + (order - 1),
                         static_cast<T>(m_frames / m_orientations), Haze_Spectrum(), columns,
                         rows, W, H, m_hazeWidth, m_hazeHeight);
  if (hazeOnly) return;
  CuCall_MM_Mult_CR(m_launch, buffer, d_otf, buffer, W, H);
  if (pruned) {
    Band_Inverse(buffer);
  } else {
    KORVEX_CHECK(Execute_FFT(m_fftPlan, buffer, buffer, CUFFT_INVERSE));
  }
}

// The b-gradient from its gathered spectrum into the second half of d_grad. With plain steps it
// is projected: zero where b = 0 and the gradient would push it below. Those pixels cannot
// move, so they leave the step size and the convergence measure alone: where the model finds
// no haze, the iteration runs as without it. Haze_Eliminate takes the inverse transform as it
// comes back and forms the gradient, whole, in its first step.
template <typename T>
void Korvex<T>::Haze_Finish() {
  const size_t pixels = size_t{m_width} * m_height;
  T* bGrad = d_grad + pixels;
  Haze_Real_Inverse(Haze_Spectrum(), bGrad);
  if (m_eliminate) return;
  CuCall_Haze_Gradient(m_launch, bGrad, Haze_Data(), d_estimate + pixels, bGrad, 1u, m_width,
                       m_height, m_hazeWidth, m_hazeHeight);
}

// With preconditioned steps b is no unknown of the step: after each gradient it moves towards
// its optimum for the current x, and the step works on x alone, on the reduced objective
// min_{b >= 0} f(x, b). b's part of f is a quadratic whose curvature F G'G is largest at zero
// frequency, F G(0)^2, where b's light lies: `steps` projected gradient steps of length
// 1 / (F G(0)^2) bring it close, and warm-started from the last iteration's b they follow x as
// it converges. Every image filtered here is real, so every transform is a real one through
// the half spectrum: a pair for each step's change of the gradient (the last step's is not
// needed) and a pair for the whole move, summed in real space, through G E. (One Newton step per
// frequency, clipped at 0, lands far from the constrained optimum where much of b is held at
// 0.) By the envelope theorem the reduced gradient in x is the pair's x-gradient at the moved
// b: w H'G (b_new - b) is added to it, and to its change from the last iteration's in
// d_gradPrev (Gradient_Step's y), and b's gradient is zeroed, so that the step size and the
// convergence measure see x alone. Before the iterations (kHazeStart) b moves alone: the first
// iteration forms x's gradient afresh, and only b's kept spectrum follows the move.
template <typename T>
void Korvex<T>::Haze_Eliminate(unsigned iteration) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned Wb = m_hazeWidth;
  const unsigned Hb = m_hazeHeight;
  const size_t pixels = size_t{W} * H;
  const T frames = static_cast<T>(m_frames);
  T* b = d_estimate + pixels;
  T* bGrad = d_grad + pixels;
  // Real images in d_scratchA: one step's move, then the change of the gradient it makes (on
  // b's grid); b's whole move, then x's share of it on x's grid. The half spectra in
  // d_scratchB: b's grid's at its end where that grid is coarser (Set_Haze_Grid leaves room),
  // x's from its start.
  T* move = reinterpret_cast<T*>(d_scratchA);
  T* moved = move + pixels;
  CudaComplex<T>* fine = d_scratchB;
  CudaComplex<T>* spectrum = Haze_Grid_Spectrum();
  // A G that passes nothing at zero frequency leaves b where it is.
  const T step =
      m_hazeZero > 0.0 ? static_cast<T>(1.0 / (m_frames * m_hazeZero * m_hazeZero)) : T(0);
  const int steps = iteration == kHazeStart ? kHazeStartSteps
                    : iteration == 0          ? kHazeFirstSteps
                                              : 1;
  if (steps == 1) {
    // The gradient, the step and bGrad's zeroing in one pass.
    CuCall_Haze_Step(m_launch, bGrad, Haze_Data(), b, step, moved, W, H, Wb, Hb);
  } else {
    CuCall_Haze_Gradient(m_launch, bGrad, Haze_Data(), b, bGrad, 0u, W, H, Wb, Hb);
    for (int s = 0; s < steps; ++s) {
      CuCall_Haze_Descend(m_launch, b, bGrad, step, move, moved, s == 0 ? 1u : 0u, Wb, Hb);
      if (s + 1 == steps) break;  // the last move's gradient change is not needed
      Haze_Real_Forward(move, spectrum);
      CuCall_Haze_Curvature(m_launch, spectrum, Haze_Part(kHazeG), frames, Haze_Band(), W, H,
                            Wb, Hb);
      Haze_Real_Inverse(spectrum, move);
      CuCall_Addition(m_launch, bGrad, move, bGrad, Wb, Hb);
    }
    KORVEX_CHECK(cudaMemset(bGrad, 0, size_t{Wb} * Hb * sizeof(T)));
  }
  T* change = moved;  // H'G (b_new - b) on x's grid, once filtered
  Haze_Real_Forward(moved, spectrum);
  // b's kept spectrum moves with b (Haze_Start formed it in this gradient); the move goes through
  // G E onto x's grid, normalised for its inverse transform there.
  CuCall_Haze_Spread(m_launch, spectrum, Haze_Part(kHazeGE),
                     static_cast<T>(1.0 / (static_cast<double>(Wb) * Hb)), Haze_Kept_Spectrum(),
                     fine, W, H, Wb, Hb);
  // Before the iterations only b is wanted: the first forms x's gradient afresh.
  if (iteration == kHazeStart) return;
  Haze_Fine_Inverse(fine, change);
  // w = F with a multiplier; the gradient's free part, which Precondition starts from, is
  // formed beside the sum (in d_masks).
  if (m_multiplier) {
    CuCall_UpdateMapping(m_launch, d_grad, -frames, change, W, H);
    CuCall_UpdateMapping(m_launch, d_gradPrev, -frames, change, W, H);
    CuCall_Free_Part(m_launch, d_grad, d_grad, d_estimate, d_masks, W, H);
  } else {
    CuCall_Haze_Change(m_launch, change, Haze_Part(kHazeWeight), d_estimate, d_grad, d_gradPrev,
                       d_masks, W, H);
  }
}

// The reduced problem in x, with A~ standing for the data term's normal operator: b's
// curvature is D = F G^2 + eps (eps the share of F G(0)^2 below which b is left out: the
// frequencies G hardly passes, which b's steps do not reach) and its coupling to x is
// C = w H'G, about F E G (E the OTF's even part, w about F). Eliminating b gives
//   normal operator  A~ - C^2 / D = A~ - F E^2 F G^2 / D   (`reduced`, clipped at 0): the
//                    widefield term F E^2 loses the share b's optimum takes back; what is left
//                    at low frequencies is what the patterned bands carry, the slow direction
//                    the preconditioner speeds;
//   right-hand side  r_x - (C / D) r_b,
// r_x and r_b the data x and b are fitted to. `share` scales the reduction. g and e are G's
// and the OTF's even parts. Centred and column-major like the approximation. C / D and C
// filter on the device (Cuda_Haze_Couple), from G and G E as uploaded.
template <typename T>
void Korvex<T>::Reduced_Operator(const std::vector<double>& approximation,
                                 const std::vector<double>& g, const std::vector<double>& e,
                                 double share, std::vector<double>& reduced) const {
  const double frames = m_frames;
  const double eps = Haze_Curvature_Floor();
  reduced.resize(approximation.size());
  for (size_t i = 0; i < approximation.size(); ++i) {
    const double crossing = frames * e[i] * g[i];
    const double coupling = crossing / (frames * g[i] * g[i] + eps);
    // Clipped as std::fmax(0, v) would (0 for a NaN), without its library call per frequency.
    const double v = approximation[i] - share * coupling * crossing;
    reduced[i] = v > 0.0 ? v : 0.0;
  }
}

template <typename T>
double Korvex<T>::Haze_Curvature_Floor() const {
  return kHazeCurvatureFloor * m_frames * m_hazeZero * m_hazeZero;
}

// The start and the preconditioner with the out-of-focus model. The reduced problem's Fourier
// solution x_r gives the haze room (the widefield start would hand all of it to the specimen);
// b then steps to its optimum b0 for x_r, and x starts from the plain problem's Fourier
// solution with G b0 taken out of the frames. The reduction holds only where b is free to
// move, so the preconditioner's takes the share of b0's pixels that are above 0: a haze that
// fills the field gets the whole reduction. Where that share is below kHazeFreeFloor and b0
// holds less than kHazeLightFloor of the light, the start found no haze (noise lifts a few
// pixels of a thin specimen's b0): the call goes on as it would without the model, from the
// same start (the widefield sum or, with fourierStart, the plain Fourier start) with the same
// preconditioner and steps, and b stays 0. A thin specimen then gets the image and nearly the
// time of a call without the model.
template <typename T>
void Korvex<T>::Haze_Prepare(const std::vector<double>& approximation,
                             const std::vector<double>& g, const std::vector<double>& e,
                             bool fourierStart, bool nonNegative) {
  const size_t pixels = size_t{m_width} * m_height;
  std::vector<double> reduced;
  Reduced_Operator(approximation, g, e, 1.0, reduced);
  double share = 1.0;
  if (fourierStart || m_eliminate) {
    // The widefield start, kept in d_directionPrev, which is free until the iterations.
    const size_t bytes = pixels * sizeof(T);
    if (!fourierStart) {
      KORVEX_CHECK(cudaMemcpy(d_directionPrev, d_estimate, bytes, cudaMemcpyDeviceToDevice));
    }
    Fourier_Start(reduced, nonNegative, Haze_Coupling::kReduced, Haze_Part(kHazeData));
    if (m_eliminate) {
      Harmonic_Data_Gradient(true);
      Haze_Eliminate(kHazeStart);
      const size_t hazePixels = size_t{m_hazeWidth} * m_hazeHeight;
      std::vector<T> b(hazePixels);
      KORVEX_CHECK(cudaMemcpy(b.data(), d_estimate + pixels, hazePixels * sizeof(T),
                              cudaMemcpyDeviceToHost));
      size_t free = 0;
      for (T v : b) free += v > T(0);
      share = static_cast<double>(free) / static_cast<double>(hazePixels);
      if (share < kHazeFreeFloor && Haze_Light_Share() < kHazeLightFloor) {
        share = 0.0;
        KORVEX_CHECK(cudaMemset(d_estimate + pixels, 0, hazePixels * sizeof(T)));
        m_hazeSpectrumKept = false;
        m_parts = 1;
        m_eliminate = false;
        m_hazeIdle = true;
      }
      if (share > 0.0) {
        // Without b on x's grid, Fourier_Start takes its fine spectrum (Haze_Fine_Spectrum).
        Fourier_Start(approximation, nonNegative, Haze_Coupling::kCrossing,
                      Haze_Coarse() ? nullptr : d_estimate + pixels);
      } else if (fourierStart) {
        Fourier_Start(approximation, nonNegative);
      } else {
        KORVEX_CHECK(cudaMemcpy(d_estimate, d_directionPrev, bytes, cudaMemcpyDeviceToDevice));
      }
      // Without haze the preconditioner is the one without the model, from the approximation.
      if (share == 0.0) {
        reduced = approximation;
      } else if (share != 1.0) {
        Reduced_Operator(approximation, g, e, share, reduced);
      }
    }
  }
  if (m_preconditioned) {
    // The floor stays the plain approximation's, whose zero frequency sets the scale.
    const size_t zero = size_t{m_width / 2} * m_height + m_height / 2;
    const double floor = kPreconditionerFloor * approximation[zero] /
                         std::fmax(reduced[zero], 1e-12 * approximation[zero]);
    Upload_Centred(Fourier_Filter(reduced, static_cast<double>(m_lambda), floor),
                   d_preconditioner);
  }
}

template <typename T>
double Korvex<T>::Out_Of_Focus(T* haze) {
  if ((m_parts != 2 && !m_hazeIdle) || d_haze == nullptr) {
    throw std::runtime_error(
        "KorvexCUDA Error: the last reconstruction had no out-of-focus model!\n");
  }
  const unsigned W = m_width;
  const unsigned H = m_height;
  if (m_hazeIdle) {
    // The start found no haze and b stayed 0.
    if (haze != nullptr) std::fill(haze, haze + size_t{W} * H, T(0));
    return 0.0;
  }
  T* b = d_estimate + size_t{W} * H;
  if (haze != nullptr) {
    T* staging = reinterpret_cast<T*>(d_scratchA);
    if (Haze_Coarse()) {
      // G b on x's grid, normalised for the inverse transform.
      Haze_Fine_Spectrum(Haze_Part(kHazeG),
                         static_cast<T>(1.0 / (static_cast<double>(W) * H)));
      KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realInverse, d_scratchB, d_dataGrad));
    } else {
      Filter_Real(b, Haze_Part(kHazeG), d_dataGrad);
    }
    CuCall_Row2Col_Tiles(Tile_Launch(), d_dataGrad, staging, W, H);
    KORVEX_CHECK(cudaMemcpy(haze, staging, size_t{W} * H * sizeof(T), cudaMemcpyDeviceToHost));
  }
  return Haze_Light_Share();
}

// The share of the modelled mean frame's light that G b is, G b / (G b + sum_j H(m_j x) / F)
// summed over the image, for the x and b in d_estimate.
template <typename T>
double Korvex<T>::Haze_Light_Share() {
  const size_t pixels = size_t{m_width} * m_height;
  // b >= 0, so its sum is the sum of its magnitudes.
  T hazeSum = 0;
  T weighted = 0;
  KORVEX_CHECK(Sum_Abs(m_blasHandle, static_cast<int>(size_t{m_hazeWidth} * m_hazeHeight),
                       d_estimate + pixels, &hazeSum));
  KORVEX_CHECK(Dot(m_blasHandle, static_cast<int>(pixels), Haze_Part(kHazeWeight), d_estimate,
                   &weighted));
  const double hazeLight = m_hazeZero * Haze_Ratio() * static_cast<double>(hazeSum);
  const double focusLight = m_otfZero * static_cast<double>(weighted) / m_frames;
  const double total = hazeLight + focusLight;
  return total > 0.0 && hazeLight > 0.0 ? hazeLight / total : 0.0;
}

template void Korvex<float>::Check_Out_Of_Focus(const std::vector<double>&, unsigned, unsigned);
template void Korvex<double>::Check_Out_Of_Focus(const std::vector<double>&, unsigned, unsigned);
template void Korvex<float>::Upload_Out_Of_Focus(const std::vector<double>&,
                                                 const std::vector<double>&);
template void Korvex<double>::Upload_Out_Of_Focus(const std::vector<double>&,
                                                  const std::vector<double>&);
template void Korvex<float>::Haze_Real_Forward(float*, CudaComplex<float>*);
template void Korvex<double>::Haze_Real_Forward(double*, CudaComplex<double>*);
template void Korvex<float>::Haze_Real_Inverse(CudaComplex<float>*, float*);
template void Korvex<double>::Haze_Real_Inverse(CudaComplex<double>*, double*);
template void Korvex<float>::Haze_Fine_Inverse(CudaComplex<float>*, float*);
template void Korvex<double>::Haze_Fine_Inverse(CudaComplex<double>*, double*);
template CudaComplex<float>* Korvex<float>::Haze_Grid_Spectrum() const;
template CudaComplex<double>* Korvex<double>::Haze_Grid_Spectrum() const;
template void Korvex<float>::Haze_Fine_Spectrum(float*, float);
template void Korvex<double>::Haze_Fine_Spectrum(double*, double);
template float* Korvex<float>::Haze_Data() const;
template double* Korvex<double>::Haze_Data() const;
template void Korvex<float>::Fold_Out_Of_Focus(float);
template void Korvex<double>::Fold_Out_Of_Focus(double);
template void Korvex<float>::Haze_Start(float*, bool);
template void Korvex<double>::Haze_Start(double*, bool);
template void Korvex<float>::Filter_Modulated(CudaComplex<float>*, unsigned, unsigned, bool);
template void Korvex<double>::Filter_Modulated(CudaComplex<double>*, unsigned, unsigned, bool);
template void Korvex<float>::Haze_Finish();
template void Korvex<double>::Haze_Finish();
template void Korvex<float>::Haze_Eliminate(unsigned);
template void Korvex<double>::Haze_Eliminate(unsigned);
template void Korvex<float>::Reduced_Operator(const std::vector<double>&,
                                              const std::vector<double>&,
                                              const std::vector<double>&, double,
                                              std::vector<double>&) const;
template void Korvex<double>::Reduced_Operator(const std::vector<double>&,
                                               const std::vector<double>&,
                                               const std::vector<double>&, double,
                                               std::vector<double>&) const;
template double Korvex<float>::Haze_Curvature_Floor() const;
template double Korvex<double>::Haze_Curvature_Floor() const;
template void Korvex<float>::Haze_Prepare(const std::vector<double>&, const std::vector<double>&,
                                          const std::vector<double>&, bool, bool);
template void Korvex<double>::Haze_Prepare(const std::vector<double>&, const std::vector<double>&,
                                           const std::vector<double>&, bool, bool);
template double Korvex<float>::Out_Of_Focus(float*);
template double Korvex<double>::Out_Of_Focus(double*);
template double Korvex<float>::Haze_Light_Share();
template double Korvex<double>::Haze_Light_Share();
