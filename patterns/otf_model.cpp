#include "otf_model.h"

#include <algorithm>
#include <cmath>

#include "cpu_parallel.h"
#include "image_transform.h"
#include "pattern_estimate.h"

namespace korvex::patterns {

namespace {

// Columns of a block of Shifted's first pass, bins of a block of its second: the blocks run
// in parallel.
constexpr size_t kColumnBlock = 32;
constexpr size_t kBinBlock = 8192;

// Keys' cubic convolution kernel (a = -1/2) and its derivative, at distance d.
double Keys(double d) {
  const double t = std::fabs(d);
  if (t < 1.0) return (1.5 * t - 2.5) * t * t + 1.0;
  if (t < 2.0) return ((-0.5 * t + 2.5) * t - 4.0) * t + 2.0;
  return 0.0;
}

double Keys_Slope(double d) {
  const double t = std::fabs(d);
  const double s = d < 0 ? -1.0 : 1.0;
  if (t < 1.0) return s * (4.5 * t - 5.0) * t;
  if (t < 2.0) return s * ((-1.5 * t + 5.0) * t - 4.0);
  return 0.0;
}

}  // namespace

OtfModel::OtfModel(const SpectralGrid& grid, RealImage centred)
    : grid_(grid), centred_(std::move(centred)), unshifted_(grid.pixels) {
  const unsigned h = grid.height;
  const unsigned w = grid.width;
  fourier::Ifftshift(centred_.data(), unshifted_.data(), h, w);
  double peak = 0.0;
  for (double v : unshifted_) peak = std::max(peak, v);
  // Measured OTFs carry small noise beyond the cut-off; a thousandth of the peak is where
  // nothing useful is left.
  peak_ = peak;
  floor_ = 1e-3 * peak;
  // The farthest passing bin, found by its squared frequency; its hypot is the cut-off.
  double farthest = -1.0, farX = 0.0, farY = 0.0;
  for (unsigned c = 0; c < w; ++c) {
    const double fx = grid.Fx(c);
    for (unsigned r = 0; r < h; ++r) {
      if (!Passes(grid.Index(r, c))) continue;
      const double fy = grid.Fy(r);
      const double f2 = fx * fx + fy * fy;
      if (f2 > farthest) {
        farthest = f2;
        farX = fx;
        farY = fy;
      }
    }
  }
  cutoff_ = farthest >= 0.0 ? std::hypot(farX, farY) : 0.0;
}

double OtfModel::At(double fx, double fy) const { return Sample<false>(fx, fy, nullptr, nullptr); }

double OtfModel::At(double fx, double fy, double& dfx, double& dfy) const {
  return Sample<true>(fx, fy, &dfx, &dfy);
}

void OtfModel::Shifted(double dx, double dy, const std::vector<size_t>& bins, RealImage& out,
                       RealImage& scratch) const {
  const unsigned h = grid_.height;
  const unsigned w = grid_.width;
  const int hi = static_cast<int>(h);
  const int wi = static_cast<int>(w);
  // At a bin of signed index k the centred position is k + n/2 + shift * n: its integer part
  // moves with k, its fraction (hence the kernel's weights) does not.
  const double colShift = dx * w;
  const double rowShift = dy * h;
  const double colFloor = std::floor(colShift);
  const double rowFloor = std::floor(rowShift);
  double wc[4], wr[4];
  for (int k = 0; k < 4; ++k) {
    wc[k] = Keys(colShift - colFloor + 1.0 - k);
    wr[k] = Keys(rowShift - rowFloor + 1.0 - k);
  }
  // Shifts beyond the grid leave nothing to read; clamping keeps the offsets in int range.
  const double limit = 4.0 * (static_cast<double>(w) + h);
  const int colOffset = static_cast<int>(std::max(-limit, std::min(limit, colFloor))) - 1;
  const int rowOffset = static_cast<int>(std::max(-limit, std::min(limit, rowFloor))) - 1;
  const unsigned halfH = (h + 1) / 2;
  const unsigned halfW = (w + 1) / 2;
  // Unshifted rows [0, halfH) read from centred row r + h/2 + rowOffset on, the others from
  // r - h + h/2 + rowOffset on: two runs of consecutive rows, each filtered in one loop away
  // from the grid's edges.
  const int offsets[2] = {hi / 2 + rowOffset, hi / 2 + rowOffset - hi};
  const int runs[3] = {0, static_cast<int>(halfH), hi};
  // scratch, centred column cc and unshifted row r: the column interpolated along its rows.
  scratch.resize(grid_.pixels);
  platform::Parallel_Blocks(w, kColumnBlock, [&](size_t, size_t first, size_t last) {
    for (size_t cc = first; cc < last; ++cc) {
      const double* column = &centred_[size_t{cc} * h];
      double* into = &scratch[size_t{cc} * h];
      for (int run = 0; run < 2; ++run) {
        const int o = offsets[run];
        const int lo = runs[run];
        const int hiRun = runs[run + 1];
        // Rows whose four taps all lie on the grid.
        const int inner = std::min(std::max(lo, -o), hiRun);
        const int outer = std::max(std::min(hiRun, hi - 3 - o), inner);
        const auto edge = [&](int r) {
          double sum = 0.0;
          for (int kr = 0; kr < 4; ++kr) {
            const int row = r + o + kr;
            if (row >= 0 && row < hi) sum += column[row] * wr[kr];
          }
          into[r] = sum;
        };
        for (int r = lo; r < inner; ++r) edge(r);
        const double* from = column + o;
        for (int r = inner; r < outer; ++r) {
          double sum = from[r] * wr[0];
          sum += from[r + 1] * wr[1];
          sum += from[r + 2] * wr[2];
          sum += from[r + 3] * wr[3];
          into[r] = sum;
        }
        for (int r = outer; r < hiRun; ++r) edge(r);
      }
    }
  });
  // out, bin by bin: each reads four columns of scratch at its row. Bins of consecutive rows
  // of a column are taken together, in one loop over the rows.
  out.resize(bins.size());
  platform::Parallel_Blocks(bins.size(), kBinBlock, [&](size_t, size_t first, size_t last) {
    for (size_t j = first; j < last;) {
      const size_t i = bins[j];
      const size_t c = i / h;
      const size_t r = i - c * h;
      size_t run = 1;
      while (j + run < last && bins[j + run] == i + run && r + run < h) ++run;
      const int k = c < halfW ? static_cast<int>(c) : static_cast<int>(c) - wi;
      const int c0 = k + wi / 2 + colOffset;
      double* to = &out[j];
      if (c0 >= 0 && c0 + 3 < wi) {
        const double* f0 = &scratch[size_t(c0) * h + r];
        const double* f1 = f0 + h;
        const double* f2 = f1 + h;
        const double* f3 = f2 + h;
        for (size_t t = 0; t < run; ++t) {
          double sum = f0[t] * wc[0];
          sum += f1[t] * wc[1];
          sum += f2[t] * wc[2];
          sum += f3[t] * wc[3];
          to[t] = sum;
        }
      } else {
        std::fill(to, to + run, 0.0);
        for (int kc = 0; kc < 4; ++kc) {
          const int cc = c0 + kc;
          if (cc < 0 || cc >= wi) continue;
          const double* from = &scratch[size_t(cc) * h + r];
          for (size_t t = 0; t < run; ++t) to[t] += from[t] * wc[kc];
        }
      }
      j += run;
    }
  });
}

template <bool kSlopes>
double OtfModel::Sample(double fx, double fy, double* dfx, double* dfy) const {
  const double col = fx * grid_.width + grid_.width / 2;
  const double row = fy * grid_.height + grid_.height / 2;
  const int c0 = static_cast<int>(std::floor(col)) - 1;
  const int r0 = static_cast<int>(std::floor(row)) - 1;
  double wc[4], wr[4], sc[4] = {}, sr[4] = {};
  for (int k = 0; k < 4; ++k) {
    wc[k] = Keys(col - (c0 + k));
    wr[k] = Keys(row - (r0 + k));
    if (kSlopes) {
      sc[k] = Keys_Slope(col - (c0 + k));
      sr[k] = Keys_Slope(row - (r0 + k));
    }
  }
  const int h = static_cast<int>(grid_.height);
  const int w = static_cast<int>(grid_.width);
  double value = 0.0, slopeX = 0.0, slopeY = 0.0;
  for (int kc = 0; kc < 4; ++kc) {
    const int c = c0 + kc;
    if (c < 0 || c >= w) continue;
    const double* column = &centred_[static_cast<size_t>(c) * grid_.height];
    double sum = 0.0, sumSlope = 0.0;
    for (int kr = 0; kr < 4; ++kr) {
      const int r = r0 + kr;
      if (r < 0 || r >= h) continue;
      sum += column[r] * wr[kr];
      if (kSlopes) sumSlope += column[r] * sr[kr];
    }
    value += sum * wc[kc];
    if (kSlopes) {
      slopeX += sum * sc[kc];
      slopeY += sumSlope * wc[kc];
    }
  }
  if (kSlopes) {
    *dfx = slopeX * grid_.width;
    *dfy = slopeY * grid_.height;
  }
  return value;
}

template <typename T>
Sampling Check_Sampling(const T* otf, unsigned height, unsigned width) {
  const SpectralGrid grid(height, width);
  const OtfModel model(grid, RealImage(otf, otf + grid.pixels));
  Sampling sampling;
  sampling.cutoff = model.Cutoff();
  // A passband that reaches the outermost row or column of the spectrum is cut by the grid:
  // the frames' sampling cannot hold it.
  const unsigned edgeRow = height / 2;  // unshifted index of the highest row frequency
  const unsigned edgeColumn = width / 2;
  for (unsigned c = 0; c < width && !sampling.undersampled; ++c) {
    for (unsigned r = 0; r < height; ++r) {
      if ((r == edgeRow || c == edgeColumn) && model.Passes(grid.Index(r, c))) {
        sampling.undersampled = true;
        break;
      }
    }
  }
  sampling.largestPixel = sampling.cutoff > 0.0 ? 0.5 / sampling.cutoff : 0.0;
  return sampling;
}

template Sampling Check_Sampling<float>(const float*, unsigned, unsigned);
template Sampling Check_Sampling<double>(const double*, unsigned, unsigned);

}  // namespace korvex::patterns
