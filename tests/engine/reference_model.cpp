#include "reference_model.h"

#include <cmath>
#include <limits>

namespace korvex::test {

namespace {

using Complex = std::complex<double>;

// exp(sign * 2 pi i k / n) for k < n, from the exact integer index, so that long transforms
// keep their accuracy.
std::vector<Complex> Twiddles(unsigned n, int sign) {
  std::vector<Complex> table(n);
  const double pi = std::acos(-1.0);
  for (unsigned k = 0; k < n; ++k) {
    const double angle = sign * 2.0 * pi * k / n;
    table[k] = Complex(std::cos(angle), std::sin(angle));
  }
  return table;
}

// DFT of `count` sequences of length n, element e of sequence s at s * seqStride + e * stride.
void Dft1(std::vector<Complex>& data, unsigned n, unsigned count, size_t seqStride, size_t stride,
          int sign) {
  const std::vector<Complex> table = Twiddles(n, sign);
  std::vector<Complex> line(n);
  for (unsigned s = 0; s < count; ++s) {
    for (unsigned k = 0; k < n; ++k) {
      Complex sum = 0;
      for (unsigned e = 0; e < n; ++e) {
        sum += data[s * seqStride + e * stride] * table[(size_t{k} * e) % n];
      }
      line[k] = sum;
    }
    for (unsigned k = 0; k < n; ++k) data[s * seqStride + k * stride] = line[k];
  }
}

// The data-term gradient of one frame added into `gradient` (all row-major).
void Add_Frame_Gradient(const std::vector<double>& mask, const std::vector<double>& maskedData,
                        const std::vector<double>& estimate, const std::vector<double>& otf,
                        unsigned W, unsigned H, std::vector<double>& gradient) {
  const size_t n = size_t{W} * H;
  std::vector<double> masked(n);
  for (size_t i = 0; i < n; ++i) masked[i] = mask[i] * estimate[i];
  std::vector<double> residual = Blur(masked, otf, W, H);
  for (size_t i = 0; i < n; ++i) residual[i] -= maskedData[i];
  const std::vector<double> back = Blur(residual, otf, W, H);
  for (size_t i = 0; i < n; ++i) gradient[i] += mask[i] * back[i];
}

std::vector<double> Frame_Rows(const std::vector<double>& stack, unsigned frame, unsigned W,
                               unsigned H) {
  return To_Rows(stack.data() + size_t{frame} * W * H, W, H);
}

}  // namespace

std::vector<double> To_Rows(const double* columns, unsigned W, unsigned H) {
  std::vector<double> rows(size_t{W} * H);
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) rows[size_t{r} * W + c] = columns[size_t{c} * H + r];
  }
  return rows;
}

std::vector<double> To_Columns(const std::vector<double>& rows, unsigned W, unsigned H) {
  std::vector<double> columns(size_t{W} * H);
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) columns[size_t{c} * H + r] = rows[size_t{r} * W + c];
  }
  return columns;
}

std::vector<double> Centre_To_Origin(const std::vector<double>& rows, unsigned W, unsigned H) {
  std::vector<double> shifted(rows.size());
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) {
      shifted[size_t{r} * W + c] = rows[size_t{(r + H / 2) % H} * W + (c + W / 2) % W];
    }
  }
  return shifted;
}

void Dft2(std::vector<Complex>& data, unsigned W, unsigned H, int sign) {
  Dft1(data, W, H, W, 1, sign);  // along each row
  Dft1(data, H, W, 1, W, sign);  // along each column
}

std::vector<double> Blur(const std::vector<double>& rows, const std::vector<double>& otfRows,
                         unsigned W, unsigned H) {
  const size_t n = size_t{W} * H;
  std::vector<Complex> spectrum(rows.begin(), rows.end());
  Dft2(spectrum, W, H, -1);
  for (size_t i = 0; i < n; ++i) spectrum[i] *= otfRows[i];
  Dft2(spectrum, W, H, +1);
  std::vector<double> blurred(n);
  for (size_t i = 0; i < n; ++i) blurred[i] = spectrum[i].real() / static_cast<double>(n);
  return blurred;
}

ReferenceResult Reference_Reconstruct(const Problem& p, unsigned maxIter, double threshold,
                                      double lambda, double alpha, ReferenceOptions options) {
  const unsigned W = p.W;
  const unsigned H = p.H;
  const size_t n = size_t{W} * H;
  std::vector<std::vector<double>> masks;
  std::vector<std::vector<double>> maskedData;
  std::vector<double> x(n, 0.0);
  for (unsigned f = 0; f < p.F; ++f) {
    masks.push_back(Frame_Rows(p.masks, f, W, H));
    std::vector<double> data = Frame_Rows(p.image, f, W, H);
    for (size_t i = 0; i < n; ++i) {
      x[i] += data[i];
      if (!options.frameData) data[i] *= masks.back()[i];
    }
    maskedData.push_back(data);
  }
  const std::vector<double> otf = Centre_To_Origin(To_Rows(p.otf.data(), W, H), W, H);

  ReferenceResult result;
  result.alpha = alpha;
  result.ratio = std::numeric_limits<float>::max();
  std::vector<double> xPrev(n);
  std::vector<double> g(n);
  std::vector<double> gPrev(n);
  double hPrev = 0;
  for (unsigned k = 0; k < maxIter; ++k) {
    result.iteration = k;
    std::vector<double> dataGrad(n, 0.0);
    for (unsigned f = 0; f < p.F; ++f) {
      Add_Frame_Gradient(masks[f], maskedData[f], x, otf, W, H, dataGrad);
      for (size_t i = 0; i < n; ++i) dataGrad[i] += options.sparsity * masks[f][i];
    }
    for (unsigned r = 0; r < H; ++r) {
      for (unsigned c = 0; c < W; ++c) {
        const size_t i = size_t{r} * W + c;
        const bool border = r == 0 || c == 0 || r + 1 >= H || c + 1 >= W;
        g[i] = border ? dataGrad[i]
                      : dataGrad[i] +
                            2.0 * lambda * (4.0 * x[i] - x[i - 1] - x[i + 1] - x[i - W] - x[i + W]);
      }
    }
    if (k >= 1) {
      double sy = 0;
      double yy = 0;
      for (size_t i = 0; i < n; ++i) {
        sy += (x[i] - xPrev[i]) * (g[i] - gPrev[i]);
        yy += (g[i] - gPrev[i]) * (g[i] - gPrev[i]);
      }
      result.alpha = sy / yy;
    }
    if (!(result.alpha > 0) || !std::isfinite(result.alpha)) break;
    double gg = 0;
    for (size_t i = 0; i < n; ++i) gg += g[i] * g[i];
    const double h = result.alpha * gg;
    if (k >= 1) result.ratio = h / hPrev;
    hPrev = h;
    xPrev = x;
    gPrev = g;
    for (size_t i = 0; i < n; ++i) {
      x[i] -= result.alpha * g[i];
      if (options.nonNegative && x[i] < 0) x[i] = 0;
    }
    if (k >= 1 && threshold > result.ratio) break;
  }
  result.output = To_Columns(x, W, H);
  return result;
}

double Objective(const Problem& p, const std::vector<double>& estimate, double lambda) {
  const unsigned W = p.W;
  const unsigned H = p.H;
  const size_t n = size_t{W} * H;
  const std::vector<double> x = To_Rows(estimate.data(), W, H);
  const std::vector<double> otf = Centre_To_Origin(To_Rows(p.otf.data(), W, H), W, H);
  double value = 0;
  for (unsigned f = 0; f < p.F; ++f) {
    const std::vector<double> mask = Frame_Rows(p.masks, f, W, H);
    const std::vector<double> data = Frame_Rows(p.image, f, W, H);
    std::vector<double> masked(n);
    for (size_t i = 0; i < n; ++i) masked[i] = mask[i] * x[i];
    const std::vector<double> model = Blur(masked, otf, W, H);
    for (size_t i = 0; i < n; ++i) {
      const double d = model[i] - mask[i] * data[i];
      value += 0.5 * d * d;
    }
  }
  for (unsigned r = 0; r < H; ++r) {
    for (unsigned c = 0; c < W; ++c) {
      const size_t i = size_t{r} * W + c;
      if (c + 1 < W) value += lambda * (x[i] - x[i + 1]) * (x[i] - x[i + 1]);
      if (r + 1 < H) value += lambda * (x[i] - x[i + W]) * (x[i] - x[i + W]);
    }
  }
  return value;
}

}  // namespace korvex::test
