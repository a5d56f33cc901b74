// Korvex<T>: the data term for masks given by their harmonics.
//
// With m_j = sum_l c_{j,l} E_l (l from -2 to 2, c_{j,0} = 1, c_{j,-l} = conj c_{j,l},
// E_l = e^{i l k.r}), the normal operator folds by harmonic instead of by frame:
//   sum_j m_j H'H (m_j x) = sum_{l,l'} M_{l,l'} E_l' u_l,  u_l = H'H (E_l x),
//   M_{l,l'} = sum_j c_{j,l} c_{j,l'},
// per orientation. x is real and the transfer function of H'H real and even, so
// u_{-l} = conj u_l: one transform pair for u_0, shared by every orientation, and one per
// orientation and harmonic order, whatever the number of phases.
#include <cmath>
#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Korvex.h"
#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex";
constexpr size_t kWeights = 13;

using Complex = std::complex<double>;

template <typename T>
CudaComplex<T> Device_Value(Complex z) {
  return {static_cast<T>(z.real()), static_cast<T>(z.imag())};
}

// Where each part of d_harmonics starts, for a capacity of F orientations.
struct Table_Layout {
  size_t tableLength;  // 2 (W + H): one orientation's phase tables
  size_t coefficients, means, weights;
  Table_Layout(unsigned W, unsigned H, unsigned F)
      : tableLength(2 * (size_t{W} + H)),
        coefficients(size_t{F} * tableLength),
        means(coefficients + 2 * size_t{F}),
        weights(means + 2 * size_t{F}) {}
};

// M_{l,l'} of one orientation's frames, in the order the combining kernel reads them.
std::vector<Complex> Orientation_Weights(const std::array<Complex, 2>* c, unsigned frames) {
  std::vector<Complex> w(kWeights);
  for (unsigned j = 0; j < frames; ++j) {
    const Complex c1 = c[j][0];
    const Complex c2 = c[j][1];
    w[0] += 1.0;
    w[1] += c1;
    w[2] += c2;
    w[4] += c1 * c1;
    w[5] += std::norm(c1);
    w[6] += c2 * c1;
    w[7] += std::conj(c2) * c1;
    w[10] += std::conj(c1) * c2;
    w[11] += c2 * c2;
    w[12] += std::norm(c2);
  }
  w[3] = w[1];
  w[8] = w[2];
  w[9] = w[6];
  return w;
}

}  // namespace

template <typename T>
void Korvex<T>::Check_Harmonics(const KorvexHarmonics& harmonics, unsigned frames) {
  const size_t orientations = harmonics.orientations.size();
  if (orientations == 0 || frames % orientations != 0 || harmonics.coefficients.size() != frames) {
    throw std::runtime_error("KorvexCUDA Error: harmonics must describe " + std::to_string(frames) +
                             " frames, the same number for every orientation (got " +
                             std::to_string(harmonics.coefficients.size()) + " frames in " +
                             std::to_string(orientations) + " orientations)!\n");
  }
  bool finite = true;
  for (const KorvexHarmonics::Orientation& o : harmonics.orientations) {
    finite = finite && std::isfinite(o.kx) && std::isfinite(o.ky);
  }
  for (const std::array<Complex, 2>& c : harmonics.coefficients) {
    for (const Complex& z : c) {
      finite = finite && std::isfinite(z.real()) && std::isfinite(z.imag());
    }
  }
  for (double v : harmonics.multiplier) finite = finite && std::isfinite(v);
  for (double v : harmonics.approximation) finite = finite && std::isfinite(v);
  if (!finite) throw std::runtime_error("KorvexCUDA Error: harmonics hold NaN or Inf!\n");
}

// Phase tables, coefficients, mean coefficients and weights of every orientation, built in
// double precision and uploaded once.
template <typename T>
void Korvex<T>::Upload_Harmonics(const KorvexHarmonics& harmonics) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const Table_Layout layout(W, H, m_frames);
  const unsigned orientations = static_cast<unsigned>(harmonics.orientations.size());
  const unsigned phases = m_frames / orientations;
  std::vector<CudaComplex<T>> table(Harmonic_Table_Length(W, H, m_frames), CudaComplex<T>{});
  m_secondOrder.assign(orientations, false);
  for (unsigned a = 0; a < orientations; ++a) {
    const KorvexHarmonics::Orientation& o = harmonics.orientations[a];
    CudaComplex<T>* phasesOut = table.data() + a * layout.tableLength;
    for (unsigned order = 1; order <= 2; ++order) {
      CudaComplex<T>* columns = phasesOut + (order - 1) * (size_t{W} + H);
      for (unsigned c = 0; c < W; ++c) {
        columns[c] = Device_Value<T>(std::polar(1.0, order * o.kx * c));
      }
      for (unsigned r = 0; r < H; ++r) {
        columns[W + r] = Device_Value<T>(std::polar(1.0, order * o.ky * r));
      }
    }
    const std::array<Complex, 2>* c = harmonics.coefficients.data() + a * phases;
    Complex mean[2];
    for (unsigned p = 0; p < phases; ++p) {
      for (unsigned l = 0; l < 2; ++l) {
        table[layout.coefficients + 2 * (a * phases + p) + l] = Device_Value<T>(c[p][l]);
        mean[l] += c[p][l] / static_cast<double>(phases);
      }
      if (c[p][1] != Complex(0.0)) m_secondOrder[a] = true;
    }
    table[layout.means + 2 * a] = Device_Value<T>(mean[0]);
    table[layout.means + 2 * a + 1] = Device_Value<T>(mean[1]);
    const std::vector<Complex> w = Orientation_Weights(c, phases);
    for (size_t n = 0; n < kWeights; ++n) {
      table[layout.weights + kWeights * a + n] = Device_Value<T>(w[n]);
    }
  }
  m_orientations = orientations;
  KORVEX_CHECK(cudaMemcpy(d_harmonics, table.data(), table.size() * sizeof(CudaComplex<T>),
                          cudaMemcpyHostToDevice));
}

// The even part (v(q) + v(-q)) / 2 of a centred, column-major W x H array.
template <typename T>
std::vector<double> Korvex<T>::Even_Part(const std::vector<double>& centred, unsigned W,
                                         unsigned H) {
  std::vector<double> even(size_t{W} * H);
  // Frequency zero sits at index n / 2 of n: index i mirrors to 2 (n / 2) - i, modulo n.
  const auto mirror = [](unsigned i, unsigned n) { return (2 * (n / 2) + n - i) % n; };
  std::vector<unsigned> mirrorRows(H);
  for (unsigned r = 0; r < H; ++r) mirrorRows[r] = mirror(r, H);
  for (unsigned c = 0; c < W; ++c) {
    const double* column = centred.data() + size_t{c} * H;
    const double* mirrored = centred.data() + size_t{mirror(c, W)} * H;
    double* out = even.data() + size_t{c} * H;
    for (unsigned r = 0; r < H; ++r) out[r] = 0.5 * (column[r] + mirrored[mirrorRows[r]]);
  }
  return even;
}

// The transfer function of H'H: the square of the OTF's even part (centred, column-major),
// ((otf(q) + otf(-q)) / 2)^2. The frame-by-frame gradient keeps the real part of each inverse
// transform, which is the even part's action, through H and again through H'; the harmonic
// form needs an even transfer function to pair the l and -l terms as conjugates. For an even
// OTF it is the square.
template <typename T>
std::vector<double> Korvex<T>::Even_Transfer(const T* otf) const {
  std::vector<double> even =
      Even_Part(std::vector<double>(otf, otf + size_t{m_width} * m_height), m_width, m_height);
  for (double& v : even) v *= v;
  return even;
}

// A centred, column-major transfer function into `destination` in device order.
template <typename T>
void Korvex<T>::Upload_Centred(const std::vector<double>& centred, T* destination) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  // Filtering through d_otf follows its band (Set_Band), read once the new values are in.
  if (destination == d_otf) m_band = 0;
  const std::vector<T> values(centred.begin(), centred.end());
  T* stagingA = reinterpret_cast<T*>(d_scratchA);
  T* stagingB = reinterpret_cast<T*>(d_scratchB);
  KORVEX_CHECK(
      cudaMemcpy(stagingA, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice));
  CuCall_Col2Row_Tiles(Tile_Launch(), stagingA, stagingB, W, H);
  CuCall_FFTShift2D_R(m_launch, stagingB, destination, W, H);
  if (destination == d_otf) Set_Band(centred);
}

template <typename T>
KernelLaunch_t Korvex<T>::Tile_Launch() const {
  KernelLaunch_t launch = m_launch;
  launch.grid = dim3((m_width + 8 * launch.block.x - 1) / (8 * launch.block.x),
                     (m_height + 8 * launch.block.y - 1) / (8 * launch.block.y), 1);
  return launch;
}

// A transfer function of H'H (or the multiplier), centred and column-major, into d_otf in
// device order.
template <typename T>
void Korvex<T>::Upload_Transfer(const std::vector<double>& multiplier) {
  Upload_Centred(multiplier, d_otf);
}

// The F column-major frames of `image` folded into d_images = -b + sparsity w,
// b = sum_j m_j H' d_j (d_j = y_j, or m_j y_j without frameData), w = sum_j m_j; their sum
// into d_estimate as the widefield start. d_otf holds the OTF's even part, through which H'
// keeps real images real and commutes with complex weights, so b folds by harmonic like the
// normal operator: with m_j = 1 + 2 Re(c_{j,1} E1 + c_{j,2} E2),
//   b = H' sum_j d_j + 2 Re sum_a sum_l E_l H' (sum_{j in a} c_{j,l} d_j):
// one transform pair for the sum and one per orientation and harmonic order, whatever the
// number of phases.
template <typename T>
void Korvex<T>::Fold_Harmonic_Data(T* image, bool frameData, T sparsity) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const unsigned pixels = W * H;
  const size_t imageBytes = size_t{pixels} * sizeof(T);
  const size_t complexBytes = size_t{pixels} * sizeof(CudaComplex<T>);
  const Table_Layout layout(W, H, m_frames);
  const unsigned phases = m_frames / m_orientations;
  T* staging = d_gradPrev;
  T* frame = d_grad;
  T* mask = d_masks;
  // sum_j d_j: with frameData the frames' sum, the widefield start itself.
  T* sum = frameData ? d_estimate : d_estimatePrev;
  KORVEX_CHECK(cudaMemset(d_dataGrad, 0, imageBytes));
  KORVEX_CHECK(cudaMemset(d_estimate, 0, imageBytes));
  if (sum != d_estimate) KORVEX_CHECK(cudaMemset(sum, 0, imageBytes));
  if (m_parts == 2) KORVEX_CHECK(cudaMemset(Haze_Part(kHazeData), 0, imageBytes));
  for (unsigned a = 0; a < m_orientations; ++a) {
    CudaComplex<T>* tables = d_harmonics + a * layout.tableLength;
    const unsigned orders = m_secondOrder[a] ? 2 : 1;
    KORVEX_CHECK(cudaMemset(d_scratchA, 0, complexBytes));
    if (orders == 2) KORVEX_CHECK(cudaMemset(d_scratchB, 0, complexBytes));
    for (unsigned j = a * phases; j < (a + 1) * phases; ++j) {
      CudaComplex<T>* coefficients = d_harmonics + layout.coefficients + 2 * j;
      KORVEX_CHECK(
          cudaMemcpy(staging, image + size_t{j} * pixels, imageBytes, cudaMemcpyHostToDevice));
      CuCall_Col2Row_Tiles(Tile_Launch(), staging, frame, W, H);
      if (!frameData) {
        CuCall_Addition(m_launch, d_estimate, frame, d_estimate, W, H);
        CuCall_Harmonic_Mask(m_launch, tables, coefficients, mask, W, H);
        CuCall_MM_Mult_RR(m_launch, frame, mask, frame, W, H);
      }
      CuCall_Accumulate_Harmonics(m_launch, frame, coefficients, d_scratchA, d_scratchB, orders,
                                  sum, W, H);
    }
    Filter_In_Place(d_scratchA);
    if (orders == 2) Filter_In_Place(d_scratchB);
    CuCall_Harmonic_Spread(m_launch, d_scratchA, d_scratchB, tables, orders, d_dataGrad, W, H);
  }
  if (m_parts == 2) {
    KORVEX_CHECK(
        cudaMemcpy(Haze_Part(kHazeData), sum, imageBytes, cudaMemcpyDeviceToDevice));
  }
  // H' sum_j d_j into d_estimatePrev, free until the iterations.
  Filter_Real(sum, d_otf, d_estimatePrev);
  sum = d_estimatePrev;
  // -b = -(H' sum_j d_j) - (the harmonics' share).
  KORVEX_CHECK(cudaMemset(d_images, 0, imageBytes));
  CuCall_Subtract(m_launch, d_images, d_dataGrad, d_images, W, H);
  CuCall_Subtract(m_launch, d_images, sum, d_images, W, H);
  if (sparsity != T(0)) Add_Mask_Sum(sparsity, d_images);
}

// weight * w added to `acc`, w = sum_j m_j: per orientation `phases` masks with its mean
// coefficients. d_masks is the work image.
template <typename T>
void Korvex<T>::Add_Mask_Sum(T weight, T* acc) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const Table_Layout layout(W, H, m_frames);
  const unsigned phases = m_frames / m_orientations;
  for (unsigned a = 0; a < m_orientations; ++a) {
    CuCall_Harmonic_Mask(m_launch, d_harmonics + a * layout.tableLength,
                         d_harmonics + layout.means + 2 * a, d_masks, W, H);
    CuCall_UpdateMapping(m_launch, acc, -weight * static_cast<T>(phases), d_masks, W, H);
  }
}

// sum_j m_j H'H (m_j x) - b (+ sparsity w) into d_dataGrad, after Fold_Harmonic_Data. With
// `hazeOnly` (the out-of-focus model's start) only b's gradient: the transforms of x and of
// the modulated images are taken for it, and nothing is filtered back to x.
template <typename T>
void Korvex<T>::Harmonic_Data_Gradient(bool hazeOnly) {
  const unsigned W = m_width;
  const unsigned H = m_height;
  const Table_Layout layout(W, H, m_frames);
  T* base = d_masks;  // u_0
  if (m_parts == 2) {
    Haze_Start(m_multiplier ? d_dataGrad : base, hazeOnly);
  } else {
    Filter_Real(d_estimate, d_otf, m_multiplier ? d_dataGrad : base);
  }
  if (m_multiplier) {
    if (!hazeOnly) CuCall_Addition(m_launch, d_dataGrad, d_images, d_dataGrad, W, H);
    if (m_parts == 2) Haze_Finish();
    return;
  }
  for (unsigned a = 0; a < m_orientations; ++a) {
    // The first orientation's share starts from -b (+ sparsity w).
    T* from = a == 0 ? d_images : d_dataGrad;
    CudaComplex<T>* tables = d_harmonics + a * layout.tableLength;
    CudaComplex<T>* weights = d_harmonics + layout.weights + kWeights * a;
    // Two orientations without second harmonic share one pass over x and one over the
    // gradient, their u_1 in the two work buffers (each filtered on its own, where the haze's
    // gradient takes its share).
    if (a + 1 < m_orientations && !m_secondOrder[a] && !m_secondOrder[a + 1]) {
      CudaComplex<T>* tablesB = tables + layout.tableLength;
      CuCall_Modulate_Pair(m_launch, d_estimate, tables, tablesB, d_scratchA, d_scratchB, W, H);
      Filter_Modulated(d_scratchA, a, 1, hazeOnly);
      Filter_Modulated(d_scratchB, a + 1, 1, hazeOnly);
      if (!hazeOnly) {
        CuCall_Harmonic_Combine_Pair(m_launch, base, d_scratchA, d_scratchB, tables, tablesB,
                                     weights, weights + kWeights, from, d_dataGrad, W, H);
      }
      ++a;
      continue;
    }
    CuCall_Modulate(m_launch, d_estimate, tables, tables + W, d_scratchA, W, H);
    Filter_Modulated(d_scratchA, a, 1, hazeOnly);
    if (!m_secondOrder[a]) {
      if (!hazeOnly) {
        CuCall_Harmonic_Combine_First(m_launch, base, d_scratchA, tables, weights, from,
                                      d_dataGrad, W, H);
      }
      continue;
    }
    CudaComplex<T>* order2 = tables + W + H;
    CuCall_Modulate(m_launch, d_estimate, order2, order2 + W, d_scratchB, W, H);
    Filter_Modulated(d_scratchB, a, 2, hazeOnly);
    if (!hazeOnly) {
      CuCall_Harmonic_Combine(m_launch, base, d_scratchA, d_scratchB, tables, weights, from,
                              d_dataGrad, W, H);
    }
  }
  if (m_parts == 2) Haze_Finish();
}

template void Korvex<float>::Check_Harmonics(const KorvexHarmonics&, unsigned);
template void Korvex<double>::Check_Harmonics(const KorvexHarmonics&, unsigned);
template void Korvex<float>::Upload_Harmonics(const KorvexHarmonics&);
template void Korvex<double>::Upload_Harmonics(const KorvexHarmonics&);
template void Korvex<float>::Fold_Harmonic_Data(float*, bool, float);
template void Korvex<double>::Fold_Harmonic_Data(double*, bool, double);
template std::vector<double> Korvex<float>::Even_Transfer(const float*) const;
template std::vector<double> Korvex<double>::Even_Transfer(const double*) const;
template std::vector<double> Korvex<float>::Even_Part(const std::vector<double>&, unsigned,
                                                     unsigned);
template std::vector<double> Korvex<double>::Even_Part(const std::vector<double>&, unsigned,
                                                      unsigned);
template void Korvex<float>::Upload_Centred(const std::vector<double>&, float*);
template void Korvex<double>::Upload_Centred(const std::vector<double>&, double*);
template KernelLaunch_t Korvex<float>::Tile_Launch() const;
template KernelLaunch_t Korvex<double>::Tile_Launch() const;
template void Korvex<float>::Upload_Transfer(const std::vector<double>&);
template void Korvex<double>::Upload_Transfer(const std::vector<double>&);
template void Korvex<float>::Add_Mask_Sum(float, float*);
template void Korvex<double>::Add_Mask_Sum(double, double*);
template void Korvex<float>::Harmonic_Data_Gradient(bool);
template void Korvex<double>::Harmonic_Data_Gradient(bool);
