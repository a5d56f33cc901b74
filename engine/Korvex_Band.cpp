// Korvex<T>: filtering through d_otf pruned to the band where it is nonzero.
//
// The transfer function of H'H (and the OTF's even part the folding filters through) vanishes
// outside the OTF's support, which on the engine's grid may cover well under half of the
// columns. A 2-D transform is the row transforms followed by the column transforms; when only
// the band's columns of the spectrum are kept, only those columns need their column transform.
// The filtering is then: every row forward, the band's columns forward, the spectrum
// multiplied by the transfer function (which sets the columns outside the band, holding the
// rows' transforms only, to 0), the band's columns back, every row back. It computes the same
// filter as the 2-D plans, rounded differently; the band is read from the uploaded transfer
// function itself, so a transfer function that is nonzero everywhere keeps the 2-D plans.
//
// The plans are cuFFT's batched one-dimensional ones (cufftPlanMany): one for the rows, one for
// a batch of band columns of stride W, executed once at column 0 and once at column W - m for
// the negative frequencies; the real transforms likewise through the half spectrum's columns
// 0 .. m - 1. The row plans depend on the geometry alone and are made once; the column plans
// are made again only when the band's width changes.
#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "Korvex.h"
#include "library_calls.h"
#include "status_check.h"

namespace {

constexpr const char* kUnit = "Korvex";

using korvex::detail::Execute_FFT;

// `batch` transforms of n points, point k of transform b at b * dist + k * stride.
cufftResult Plan_Batch(cufftHandle* plan, int n, int batch, int istride, int idist, int ostride,
                       int odist, cufftType type) {
  int size[1] = {n};
  int inEmbed[1] = {n};
  int outEmbed[1] = {n};
  return cufftPlanMany(plan, 1, size, inEmbed, istride, idist, outEmbed, ostride, odist, type,
                       batch);
}

// A plan made into `slot` only once it exists, so that a failure leaves the slot empty.
template <typename T, typename Make>
void Make_Plan(cufftHandle& slot, Make&& make) {
  cufftHandle made = 0;
  KORVEX_CHECK(make(&made));
  slot = made;
}

void Destroy_Plan(cufftHandle& slot) {
  if (slot != 0) cufftDestroy(slot);
  slot = 0;
}

}  // namespace

// The band of a centred, column-major W x H transfer function in device order (column c of the
// centred array is device column (c + W - W / 2) mod W): the least m such that every nonzero
// value (NaN included) lies in device columns 0 .. m - 1 or W - m .. W - 1. 0 when the band
// covers more than 3/8 of the columns on each side, where the pruned transforms save too little
// to pay for their second pass over the columns' memory.
template <typename T>
unsigned Korvex<T>::Band_Columns(const std::vector<double>& centred, unsigned W, unsigned H) {
  unsigned low = 0;   // device columns 0 .. low - 1 hold the nonnegative frequencies' values
  unsigned high = 0;  // device columns W - high .. W - 1 the negative frequencies'
  for (unsigned c = 0; c < W; ++c) {
    const double* column = centred.data() + size_t{c} * H;
    const bool nonzero = std::any_of(column, column + H, [](double v) { return v != 0.0; });
    if (!nonzero) continue;
    const unsigned device = (c + W - W / 2) % W;
    if (device <= W / 2) {
      low = std::max(low, device + 1);
    } else {
      high = std::max(high, W - device);
    }
  }
  const unsigned band = std::max({low, high, 1u});
  return 8 * uint64_t{band} > 3 * uint64_t{W} ? 0 : band;
}

// The bands the out-of-focus term's filters need, from G's even part `g` and G E (`ge`), both
// centred and column-major like Band_Columns' argument: every column (row) where G E is
// nonzero, and as many of G's as keep G'G whole to `tolerance`. A Gaussian G is nonzero
// everywhere, but G'G enters the b-gradient only as F G'G applied to b (or to a move of b),
// whose transform is at most its sum at every frequency: leaving out columns where G^2 sums to
// tolerance G(0)^2 changes that image by at most tolerance times its mean,
// F G(0)^2 sum(b) / (W H). With the precision's rounding unit for `tolerance`, that is below
// the rounding of the transforms. G itself (G'sum_j d_j, the haze G b) is filtered once a
// call, through the 2-D plans, whole. `bands` gets the columns' band and the rows', counted
// alike (Band_Columns' rule, device row d in band m when d < m or d >= H - m); `blur` gets the
// columns' band of G E alone, which the filterings without G'G need, and the rows G E reaches:
// the least r such that it is 0 outside device rows 0 .. r - 1 and H - r + 1 .. H - 1. One pass
// reads them all.
template <typename T>
void Korvex<T>::Haze_Bands(const std::vector<double>& g, const std::vector<double>& ge,
                           unsigned W, unsigned H, double tolerance, unsigned bands[2],
                           unsigned blur[2]) {
  // An index's reach along an axis of n points: the least band that holds it.
  const auto reach = [](unsigned index, unsigned n) {
    const unsigned device = (index + n - n / 2) % n;
    return device <= n / 2 ? device + 1 : n - device;
  };
  std::vector<unsigned> rowReach(H);
  std::vector<unsigned> rowSpan(H);  // the least r above, for one row
  for (unsigned r = 0; r < H; ++r) {
    rowReach[r] = reach(r, H);
    const unsigned device = (r + H - H / 2) % H;
    rowSpan[r] = device <= H / 2 ? device + 1 : H - device + 1;
  }
  unsigned span = 1;
  std::vector<double> power[2] = {std::vector<double>(W / 2 + 3, 0.0),
                                  std::vector<double>(H / 2 + 3, 0.0)};
  unsigned needed[2] = {1, 1};
  for (unsigned c = 0; c < W; ++c) {
    const unsigned columnReach = reach(c, W);
    const double* column = g.data() + size_t{c} * H;
    const double* product = ge.data() + size_t{c} * H;
    double sum = 0.0;
    for (unsigned r = 0; r < H; ++r) {
      sum += column[r] * column[r];
      power[1][rowReach[r]] += column[r] * column[r];
      if (product[r] != 0.0) {
        needed[0] = std::max(needed[0], columnReach);
        needed[1] = std::max(needed[1], rowReach[r]);
        span = std::max(span, rowSpan[r]);
      }
    }
    power[0][columnReach] += sum;
  }
  blur[0] = needed[0];
  blur[1] = span;
  const double zero = g[size_t{W / 2} * H + H / 2];
  const double allowed = tolerance * zero * zero;
  // Widen each band from the widest reach down while what it leaves out stays allowed.
  for (int axis = 0; axis < 2; ++axis) {
    unsigned band = (axis == 0 ? W : H) / 2 + 1;
    double left = 0.0;
    while (band > needed[axis] && left + power[axis][band] <= allowed) {
      left += power[axis][band];
      --band;
    }
    bands[axis] = band;
  }
}

// Reads the band of the transfer function just uploaded to d_otf (harmonic engines only) and
// makes the plans it needs.
template <typename T>
void Korvex<T>::Set_Band(const std::vector<double>& centred) {
  m_band = 0;
  if (!m_harmonic) return;
  const unsigned band = Band_Columns(centred, m_width, m_height);
  if (band == 0) return;
  const int W = static_cast<int>(m_width);
  const int H = static_cast<int>(m_height);
  const int halfWidth = W / 2 + 1;
  const bool single = std::is_same_v<T, float>;
  const cufftType complexType = single ? CUFFT_C2C : CUFFT_Z2Z;
  if (m_rowPlan == 0) {
    Make_Plan<T>(m_rowPlan,
              [&](cufftHandle* p) { return Plan_Batch(p, W, H, 1, W, 1, W, complexType); });
  }
  Make_Real_Row_Plans();
  if (band != m_bandPlanned) {
    m_bandPlanned = 0;
    Destroy_Plan(m_columnPlan);
    Destroy_Plan(m_halfColumnPlan);
    const int columns = static_cast<int>(band);
    Make_Plan<T>(m_columnPlan, [&](cufftHandle* p) {
      return Plan_Batch(p, H, columns, W, 1, W, 1, complexType);
    });
    Make_Plan<T>(m_halfColumnPlan, [&](cufftHandle* p) {
      return Plan_Batch(p, H, columns, halfWidth, 1, halfWidth, 1, complexType);
    });
    m_bandPlanned = band;
  }
  m_band = band;
}

// The real transforms of every row, to their W / 2 + 1 frequencies and back, made once.
template <typename T>
void Korvex<T>::Make_Real_Row_Plans() {
  const int W = static_cast<int>(m_width);
  const int H = static_cast<int>(m_height);
  const int halfWidth = W / 2 + 1;
  const bool single = std::is_same_v<T, float>;
  if (m_realRowForward == 0) {
    Make_Plan<T>(m_realRowForward, [&](cufftHandle* p) {
      return Plan_Batch(p, W, H, 1, W, 1, halfWidth, single ? CUFFT_R2C : CUFFT_D2Z);
    });
  }
  if (m_realRowInverse == 0) {
    Make_Plan<T>(m_realRowInverse, [&](cufftHandle* p) {
      return Plan_Batch(p, W, H, 1, halfWidth, 1, W, single ? CUFFT_C2R : CUFFT_Z2D);
    });
  }
}

// b's images are smooth: G, which they pass through, is far narrower than the OTF, so their
// transforms prune to G's band of columns (m_hazeColumns) rather than the OTF's, by the rule of
// Band_Columns. The column plan is made again only when that band's width changes.
template <typename T>
void Korvex<T>::Set_Haze_Band() {
  m_hazeBand = 0;
  if (8 * uint64_t{m_hazeColumns} > 3 * uint64_t{m_width}) return;
  Make_Real_Row_Plans();
  if (m_hazeColumns != m_hazePlanned) {
    m_hazePlanned = 0;
    Destroy_Plan(m_hazeColumnPlan);
    const int H = static_cast<int>(m_height);
    const int halfWidth = static_cast<int>(m_width / 2 + 1);
    const cufftType complexType = std::is_same_v<T, float> ? CUFFT_C2C : CUFFT_Z2Z;
    Make_Plan<T>(m_hazeColumnPlan, [&](cufftHandle* p) {
      return Plan_Batch(p, H, static_cast<int>(m_hazeColumns), halfWidth, 1, halfWidth, 1,
                        complexType);
    });
    m_hazePlanned = m_hazeColumns;
  }
  m_hazeBand = m_hazeColumns;
}

// The side of b's grid along an axis of `side` points whose band reaches `reach` (frequencies
// -reach .. reach - 1, as Haze_Bands counts): room for every one of them below that grid's
// Nyquist frequency, on an even size of small prime factors, which the transforms take fast;
// `side` itself where that is no smaller.
template <typename T>
unsigned Korvex<T>::Haze_Grid_Side(unsigned reach, unsigned side) {
  const auto smooth = [](uint64_t n) {
    for (uint64_t p : {2u, 3u, 5u, 7u}) {
      while (n % p == 0) n /= p;
    }
    return n == 1;
  };
  uint64_t n = 2 * uint64_t{reach} + 2;
  while (!smooth(n)) n += 2;
  return n < side ? static_cast<unsigned>(n) : side;
}

// With b following x, b lives on the least grid that holds G's band (b's images pass through G
// alone, so finer detail of b changes nothing the frames see): its transforms, steps and
// projections then cost a fraction of x's. The grid is used where it holds at most half of x's
// pixels and its spectra fit beside x's in the work images (Haze_Eliminate, Haze_Data); its
// plans are made again only when it changes.
template <typename T>
void Korvex<T>::Set_Haze_Grid() {
  const unsigned W = m_width;
  const unsigned H = m_height;
  m_hazeWidth = W;
  m_hazeHeight = H;
  if (!m_eliminate) return;
  const uint64_t width = Haze_Grid_Side(m_hazeColumns, W);
  const uint64_t height = Haze_Grid_Side(m_hazeRows, H);
  const uint64_t pixels = uint64_t{W} * H;
  const uint64_t spectra = (uint64_t{W} / 2 + 1) * H + (width / 2 + 1) * height + 64;
  if (2 * width * height > pixels || spectra > pixels) return;
  if (m_hazeGridPlanned[0] != width || m_hazeGridPlanned[1] != height) {
    m_hazeGridPlanned[0] = m_hazeGridPlanned[1] = 0;
    Destroy_Plan(m_hazeGridForward);
    Destroy_Plan(m_hazeGridInverse);
    const bool single = std::is_same_v<T, float>;
    const int w = static_cast<int>(width);
    const int h = static_cast<int>(height);
    Make_Plan<T>(m_hazeGridForward, [&](cufftHandle* p) {
      return cufftPlan2d(p, h, w, single ? CUFFT_R2C : CUFFT_D2Z);
    });
    Make_Plan<T>(m_hazeGridInverse, [&](cufftHandle* p) {
      return cufftPlan2d(p, h, w, single ? CUFFT_C2R : CUFFT_Z2D);
    });
    m_hazeGridPlanned[0] = static_cast<unsigned>(width);
    m_hazeGridPlanned[1] = static_cast<unsigned>(height);
  }
  m_hazeWidth = static_cast<unsigned>(width);
  m_hazeHeight = static_cast<unsigned>(height);
}

// `buffer`'s 2-D transform in place, unnormalised, in the band's columns only: every row, then
// the band's columns at both ends. The other columns hold their rows' transforms, which a
// transfer function zero there sets to 0.
template <typename T>
void Korvex<T>::Band_Forward(CudaComplex<T>* buffer) {
  CudaComplex<T>* negative = buffer + (m_width - m_band);
  KORVEX_CHECK(Execute_FFT(m_rowPlan, buffer, buffer, CUFFT_FORWARD));
  KORVEX_CHECK(Execute_FFT(m_columnPlan, buffer, buffer, CUFFT_FORWARD));
  KORVEX_CHECK(Execute_FFT(m_columnPlan, negative, negative, CUFFT_FORWARD));
}

// The inverse of Band_Forward, unnormalised, for a spectrum that is 0 outside the band.
template <typename T>
void Korvex<T>::Band_Inverse(CudaComplex<T>* buffer) {
  CudaComplex<T>* negative = buffer + (m_width - m_band);
  KORVEX_CHECK(Execute_FFT(m_columnPlan, buffer, buffer, CUFFT_INVERSE));
  KORVEX_CHECK(Execute_FFT(m_columnPlan, negative, negative, CUFFT_INVERSE));
  KORVEX_CHECK(Execute_FFT(m_rowPlan, buffer, buffer, CUFFT_INVERSE));
}

// `buffer` through d_otf in place, unnormalised, as Filter_In_Place with the 2-D plan.
template <typename T>
void Korvex<T>::Band_Filter(CudaComplex<T>* buffer) {
  Band_Forward(buffer);
  CuCall_MM_Mult_CR(m_launch, buffer, d_otf, buffer, m_width, m_height);
  Band_Inverse(buffer);
}

// The real image `in`'s half spectrum into `spectrum`, unnormalised, in the band's columns only
// (the others hold their rows' transforms); `in` is left as it was.
template <typename T>
void Korvex<T>::Band_Real_Forward(T* in, CudaComplex<T>* spectrum) {
  KORVEX_CHECK(korvex::detail::Execute_Real_Forward(m_realRowForward, in, spectrum));
  KORVEX_CHECK(Execute_FFT(m_halfColumnPlan, spectrum, spectrum, CUFFT_FORWARD));
}

// The inverse of Band_Real_Forward into `out`, for a half spectrum that is 0 outside the band;
// `spectrum` is overwritten.
template <typename T>
void Korvex<T>::Band_Real_Inverse(CudaComplex<T>* spectrum, T* out) {
  KORVEX_CHECK(Execute_FFT(m_halfColumnPlan, spectrum, spectrum, CUFFT_INVERSE));
  KORVEX_CHECK(korvex::detail::Execute_Real_Inverse(m_realRowInverse, spectrum, out));
}

// The real image `in` through d_otf into `out` (which may be `in`), normalised, through the
// half spectrum in d_scratchB, as Filter_Real with the 2-D plans.
template <typename T>
void Korvex<T>::Band_Filter_Real(T* in, T* out) {
  Band_Real_Forward(in, d_scratchB);
  CuCall_Filter_Half(m_launch, d_scratchB, d_otf, m_width, m_height);
  Band_Real_Inverse(d_scratchB, out);
}

template unsigned Korvex<float>::Band_Columns(const std::vector<double>&, unsigned, unsigned);
template unsigned Korvex<double>::Band_Columns(const std::vector<double>&, unsigned, unsigned);
template void Korvex<float>::Make_Real_Row_Plans();
template void Korvex<double>::Make_Real_Row_Plans();
template unsigned Korvex<float>::Haze_Grid_Side(unsigned, unsigned);
template unsigned Korvex<double>::Haze_Grid_Side(unsigned, unsigned);
template void Korvex<float>::Set_Haze_Grid();
template void Korvex<double>::Set_Haze_Grid();
template void Korvex<float>::Set_Haze_Band();
template void Korvex<double>::Set_Haze_Band();
template void Korvex<float>::Haze_Bands(const std::vector<double>&, const std::vector<double>&,
                                        unsigned, unsigned, double, unsigned[2], unsigned[2]);
template void Korvex<double>::Haze_Bands(const std::vector<double>&, const std::vector<double>&,
                                         unsigned, unsigned, double, unsigned[2], unsigned[2]);
template void Korvex<float>::Set_Band(const std::vector<double>&);
template void Korvex<double>::Set_Band(const std::vector<double>&);
template void Korvex<float>::Band_Forward(CudaComplex<float>*);
template void Korvex<double>::Band_Forward(CudaComplex<double>*);
template void Korvex<float>::Band_Inverse(CudaComplex<float>*);
template void Korvex<double>::Band_Inverse(CudaComplex<double>*);
template void Korvex<float>::Band_Filter(CudaComplex<float>*);
template void Korvex<double>::Band_Filter(CudaComplex<double>*);
template void Korvex<float>::Band_Real_Forward(float*, CudaComplex<float>*);
template void Korvex<double>::Band_Real_Forward(double*, CudaComplex<double>*);
template void Korvex<float>::Band_Real_Inverse(CudaComplex<float>*, float*);
template void Korvex<double>::Band_Real_Inverse(CudaComplex<double>*, double*);
template void Korvex<float>::Band_Filter_Real(float*, float*);
template void Korvex<double>::Band_Filter_Real(double*, double*);
