// Korvex<T>: Fourier filters built from a multiplier A~ that approximates the data term's
// normal operator A = sum_j m_j H'H m_j (KorvexHarmonics::approximation).
//
// The objective's smooth part is the quadratic 1/2 x'A x - (b - s w)'x + lambda x'(-L)x,
// L the five-point Laplacian, whose symbol -S is diagonal in Fourier space like A~.
//   - The start: with A replaced by A~ the minimiser is one division,
//       x0 = F^-1[ F(b - s w) / (A~ + 2 lambda S) ],
//     clipped at zero when the image is kept non-negative.
//   - The preconditioner: P = A~ + 2 lambda S + floor A~(0). A gradient step along P^-1 g
//     moves the band-edge frequencies, where A~ is small and plain steps crawl, as fast as the
//     rest; the floor bounds the gain where A~ vanishes (outside the band, where the data hold
//     nothing and P^-1 g stays small since g does).
#include <cmath>
#include <vector>

#include "Korvex.h"
#include "library_calls.h"
#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex";

}  // namespace

// 1 / (multiplier + 2 lambda S + floor multiplier(0)), centred and column-major like the
// multiplier; with a floor, scaled to 1 at zero frequency. Without one, frequencies whose
// denominator is at or below 1e-9 of the largest (outside the support when lambda is 0) get 0.
template <typename T>
std::vector<double> Korvex<T>::Fourier_Filter(const std::vector<double>& multiplier, double lambda,
                                              double floor) const {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const double pi = std::acos(-1.0);
  const double offset = floor * multiplier[size_t{W / 2} * H + H / 2];
  std::vector<double> filter(size_t{W} * H);
  std::vector<double> sy(H);
  for (unsigned r = 0; r < H; ++r) sy[r] = 2.0 - 2.0 * std::cos(2.0 * pi * (double(r) - H / 2) / H);
  double largest = 0.0;
  for (unsigned c = 0; c < W; ++c) {
    const double sx = 2.0 - 2.0 * std::cos(2.0 * pi * (double(c) - W / 2) / W);
    for (unsigned r = 0; r < H; ++r) {
      const size_t i = size_t{c} * H + r;
      filter[i] = multiplier[i] + 2.0 * lambda * (sx + sy[r]) + offset;
      // As std::fmax (a NaN is passed over), without its library call per frequency.
      if (filter[i] > largest) largest = filter[i];
    }
  }
  const double scale = floor > 0.0 ? filter[size_t{W / 2} * H + H / 2] : 1.0;
  for (double& v : filter) v = v > 1e-9 * largest ? scale / v : 0.0;
  return filter;
}

// x0 into d_estimate from -(b - s w), which Fold_Harmonic_Data left in d_images. With the
// out-of-focus model (Haze_Prepare) the `source` image through the `coupling` filter joins it:
// r_b (the kHazeData image) through C / D with the reduced problem's multiplier, or the haze b0
// through C with the plain one, which takes G b0 out of the frames (Reduced_Operator). A null
// `source` stands for b where it lives on a grid of its own (Haze_Fine_Spectrum).
template <typename T>
void Korvex<T>::Fourier_Start(const std::vector<double>& multiplier, bool nonNegative,
                              Haze_Coupling coupling, T* source) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  std::vector<double> filter = Fourier_Filter(multiplier, static_cast<double>(m_lambda), 0.0);
  // The filter waits in d_preconditioner, which the preconditioner's own replaces later.
  Upload_Centred(filter, d_preconditioner);
  // d_dataGrad is free until the first gradient: -x0 unclipped.
  if (coupling == Haze_Coupling::kNone) {
    Filter_Real(d_images, d_preconditioner, d_dataGrad);
  } else {
    // Both images' half spectra through their filters are summed and come back through one
    // inverse transform; the coupled filter, formed on the device from G and G E, waits in
    // d_gradPrev, free until the iterations.
    const bool reduced = coupling == Haze_Coupling::kReduced;
    CuCall_Haze_Couple(m_launch, d_preconditioner, Haze_Part(kHazeG), Haze_Part(kHazeGE),
                       static_cast<T>(m_frames),
                       static_cast<T>(reduced ? Haze_Curvature_Floor() : 0.0), reduced ? 1u : 0u,
                       d_gradPrev, W, H);
    KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realForward, d_images, d_scratchA));
    if (source != nullptr) {
      KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realForward, source, d_scratchB));
    } else {
      Haze_Fine_Spectrum(nullptr, T(1));
    }
    CuCall_Filter_Half_Sum(m_launch, d_scratchA, d_preconditioner, d_scratchB, d_gradPrev, W, H);
    KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realInverse, d_scratchA, d_dataGrad));
  }
  KORVEX_CHECK(cudaMemset(d_estimate, 0, size_t{W} * H * sizeof(T)));
  if (nonNegative) {
    CuCall_UpdateNonNegative(m_launch, d_estimate, T(1), d_dataGrad, W, H);
  } else {
    CuCall_UpdateMapping(m_launch, d_estimate, T(1), d_dataGrad, W, H);
  }
}

// The direction of the gradient in d_grad into d_dataGrad (free once the gradient is formed):
// P^-1 g, or with `nonNegative` the two-metric direction: P^-1 applied to the gradient's free
// part (Free_Part), kept on the free pixels, 0 on those the bound holds. Its fixed points are
// those of the projected gradient (g = 0 where x > 0, g >= 0 where x = 0); clipping P^-1 g
// itself would stop short of them. The gradient's free part is formed with the gradient, in
// d_masks (Gradient_Step), and again by Haze_Eliminate where the haze's share joins it.
template <typename T>
T* Korvex<T>::Precondition(bool nonNegative) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  T* free = d_masks;  // a work image between gradients
  Filter_Real(nonNegative ? free : d_grad, d_preconditioner, d_dataGrad);
  // The direction's change from the last one, which d_directionPrev holds, replaces it there
  // for the step size (Change_Alpha).
  if (nonNegative) {
    CuCall_Free_Part_Change(m_launch, d_dataGrad, d_grad, d_estimate, d_dataGrad, d_directionPrev,
                            W, H);
  } else {
    CuCall_Subtract(m_launch, d_dataGrad, d_directionPrev, d_directionPrev, W, H);
  }
  return d_dataGrad;
}

template std::vector<double> Korvex<float>::Fourier_Filter(const std::vector<double>&, double,
                                                           double) const;
template std::vector<double> Korvex<double>::Fourier_Filter(const std::vector<double>&, double,
                                                            double) const;
template void Korvex<float>::Fourier_Start(const std::vector<double>&, bool,
                                              Korvex<float>::Haze_Coupling, float*);
template void Korvex<double>::Fourier_Start(const std::vector<double>&, bool,
                                              Korvex<double>::Haze_Coupling, double*);
template float* Korvex<float>::Precondition(bool);
template double* Korvex<double>::Precondition(bool);
