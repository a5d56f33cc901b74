#include "carrier_fit.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "cpu_parallel.h"

namespace korvex::patterns {

namespace {

const double kPi = std::acos(-1.0);
// Columns of a block of the fit's image loops, and passband bins of a block of its spectral
// loops: the loops' blocks run in parallel (cpu_parallel.h: Parallel_Blocks).
constexpr size_t kColumnBlock = 32;
constexpr size_t kBinBlock = 8192;

// Solves the 4 x 4 system a x = b by elimination with partial pivoting; false if singular.
bool Solve4(double a[4][4], double b[4], double x[4]) {
  double scale = 0.0;
  for (int i = 0; i < 4; ++i) scale = std::max(scale, std::fabs(a[i][i]));
  if (!(scale > 0.0) || !std::isfinite(scale)) return false;
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int r = col + 1; r < 4; ++r) {
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    }
    for (int k = 0; k < 4; ++k) std::swap(a[col][k], a[pivot][k]);
    std::swap(b[col], b[pivot]);
    if (std::fabs(a[col][col]) <= 1e-14 * scale) return false;
    for (int r = col + 1; r < 4; ++r) {
      const double f = a[r][col] / a[col][col];
      for (int k = col; k < 4; ++k) a[r][k] -= f * a[col][k];
      b[r] -= f * b[col];
    }
  }
  for (int col = 3; col >= 0; --col) {
    double s = b[col];
    for (int k = col + 1; k < 4; ++k) s -= a[col][k] * x[k];
    x[col] = s / a[col][col];
  }
  return true;
}

}  // namespace

CarrierFitter::CarrierFitter(const SpectralGrid& grid, const OtfModel& otf,
                             SpectrumTransform& transform, const RealImage& weight,
                             const std::vector<size_t>& passband, const PassbandTables& tables,
                             FitWorkspace& work)
    : grid_(grid),
      otf_(otf),
      transform_(transform),
      weight_(weight),
      passband_(passband),
      work_(work),
      passFx_(tables.fx),
      passFy_(tables.fy),
      passOtf_(tables.otf) {
  if (tables.otf.size() != passband.size()) {
    throw std::logic_error("CarrierFitter: tables of another passband");
  }
  work_.model.resize(grid.pixels);
}

PassbandTables::PassbandTables(const SpectralGrid& grid, const OtfModel& model,
                               const std::vector<size_t>& passband) {
  std::vector<float> columnFx(grid.width), rowFy(grid.height);
  for (unsigned c = 0; c < grid.width; ++c) columnFx[c] = static_cast<float>(grid.Fx(c));
  for (unsigned r = 0; r < grid.height; ++r) rowFy[r] = static_cast<float>(grid.Fy(r));
  fx.reserve(passband.size());
  fy.reserve(passband.size());
  otf.reserve(passband.size());
  size_t c = 0, start = 0;  // the column of the bin before, and where it starts
  for (size_t i : passband) {
    if (i < start || i - start >= grid.height) {
      c = i / grid.height;
      start = c * grid.height;
    }
    otf.push_back(model.Unshifted()[i]);
    fx.push_back(columnFx[c]);
    fy.push_back(rowFy[i - start]);
  }
}

inline double CarrierFitter::Object_Weight(size_t j, double fx, double fy) const {
  if (!objectWeight_) return 1.0;
  const double dx = passFx_[j] - fx;
  const double dy = passFy_[j] - fy;
  const size_t bin = static_cast<size_t>(std::sqrt(dx * dx + dy * dy) * binsPerCycle_ + 0.5);
  return bin < objectWeight_->size() ? (*objectWeight_)[bin] : 1.0;
}

// In the demodulated frame both bands hold O(q) O(q + k) S(q) at the true k; their noise per
// bin is about O(q)^2 s (carrier) + |c|^2 O(q + k)^2 s0 (widefield). Dividing both by the
// square root of that whitens the residual, which weights the fit by what each frequency
// knows, and leaves the equality, hence the minimum, where it was.
inline double CarrierFitter::Whitening(double atQ, double atShifted) const {
  const double spread = std::sqrt(atQ * atQ + noiseRatio_ * atShifted * atShifted);
  return spread > 0.0 ? 1.0 / spread : 0.0;
}

// Carrier band, in its own frame at q: O(q - k) O(q) ... seen at q - k after demodulation.
inline double CarrierFitter::Carrier_Filter(double atQ, double atQMinusK) const {
  return atQMinusK * Whitening(atQMinusK, atQ);
}

inline double CarrierFitter::Widefield_Filter(double atQ, double atQPlusK) const {
  return atQPlusK * Whitening(atQ, atQPlusK);
}

void CarrierFitter::Demodulated_Reference(FloatImage& out, double fx, double fy) const {
  std::vector<Complex> rows(grid_.height);
  for (unsigned r = 0; r < grid_.height; ++r) {
    rows[r] = std::polar(1.0, -2.0 * kPi * fy * (r - grid_.centreY));
  }
  platform::Parallel_Blocks(grid_.width, kColumnBlock, [&](size_t, size_t begin, size_t end) {
    for (unsigned c = static_cast<unsigned>(begin); c < end; ++c) {
      const Complex column = std::polar(1.0, -2.0 * kPi * fx * (c - grid_.centreX));
      const double cRe = column.real(), cIm = column.imag();
      const size_t base = grid_.Index(0, c);
      for (unsigned r = 0; r < grid_.height; ++r) {
        const size_t i = base + r;
        const double eRe = cRe * rows[r].real() - cIm * rows[r].imag();
        const double eIm = cRe * rows[r].imag() + cIm * rows[r].real();
        // w^2 y in double (float to double: exact), rounded to the transform's precision once.
        const double pRe = weight_[i] * static_cast<double>(work_.model[i].real());
        const double pIm = weight_[i] * static_cast<double>(work_.model[i].imag());
        out[i] = std::complex<float>(static_cast<float>(pRe * eRe - pIm * eIm),
                                     static_cast<float>(pRe * eIm + pIm * eRe));
      }
    }
  });
}

void CarrierFitter::Filtered(const ComplexImage& spectrum, double fx, double fy, bool carrier,
                             FloatImage& out, double* gain) {
  const std::vector<double>& o = passOtf_;
  // O(q - k) for the carrier band, O(q + k) for the widefield band.
  if (carrier) {
    otf_.Shifted(-fx, -fy, passband_, work_.shifted, work_.scratch);
  } else {
    otf_.Shifted(fx, fy, passband_, work_.shifted, work_.scratch);
  }
  out.resize(grid_.pixels);
  const size_t bins = passband_.size();
  if (!carrier && widefieldWeight_.size() != bins) {
    widefieldWeight_.resize(bins);
    platform::Parallel_Blocks(bins, kBinBlock, [&](size_t, size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) widefieldWeight_[j] = Object_Weight(j, 0.0, 0.0);
    });
  }
  const double n = static_cast<double>(grid_.pixels);
  std::vector<double> energies((bins + kBinBlock - 1) / kBinBlock);
  platform::Parallel_Blocks(bins, kBinBlock, [&](size_t b, size_t begin, size_t end) {
    double energy = 0.0;
    for (size_t j = begin; j < end; ++j) {
      const size_t i = passband_[j];
      // Zeros outside the passband: in the gap before each of its bins, which come in order.
      const size_t gap = j > 0 ? passband_[j - 1] + 1 : 0;
      std::fill(out.begin() + gap, out.begin() + i, std::complex<float>());
      const double filter = carrier
                                ? Carrier_Filter(o[j], work_.shifted[j]) * Object_Weight(j, fx, fy)
                                : Widefield_Filter(o[j], work_.shifted[j]) * widefieldWeight_[j];
      // The inverse transform's 1/n, applied before it.
      const Complex value = (filter / n) * spectrum[i];
      out[i] =
          std::complex<float>(static_cast<float>(value.real()), static_cast<float>(value.imag()));
      energy += filter * filter;
    }
    energies[b] = energy;
  });
  std::fill(out.begin() + (bins > 0 ? passband_.back() + 1 : 0), out.end(), std::complex<float>());
  double energy = 0.0;
  for (double e : energies) energy += e;
  transform_.Inverse(out);
  // A bin of noise variance s contributes s filter^2 / n^2 to every pixel's variance.
  if (gain) *gain = energy / (n * n);
}

void CarrierFitter::Best_Start(const FloatImage& data, double& fx, double& fy) const {
  // Offsets of -kReach to +kReach bins in both directions, kSteps to a side.
  constexpr int kSteps = 2;
  constexpr double kReach = 0.5;
  constexpr int kCount = 2 * kSteps + 1;
  const double step = kReach / kSteps;
  // W d0 conj(y), summed over each column's rows with each row offset's ramp.
  std::vector<Complex> rowRamp(size_t{kCount} * grid_.height);
  for (int k = 0; k < kCount; ++k) {
    const double dy = (k - kSteps) * step / grid_.height;
    for (unsigned r = 0; r < grid_.height; ++r) {
      rowRamp[static_cast<size_t>(k) * grid_.height + r] =
          std::polar(1.0, -2.0 * kPi * (fy + dy) * (r - grid_.centreY));
    }
  }
  std::vector<Complex> columnSums(size_t{kCount} * grid_.width);
  platform::Parallel_Blocks(grid_.width, kColumnBlock, [&](size_t, size_t begin, size_t end) {
    for (unsigned c = static_cast<unsigned>(begin); c < end; ++c) {
      const Complex column = std::polar(1.0, -2.0 * kPi * fx * (c - grid_.centreX));
      const size_t base = grid_.Index(0, c);
      // The column's ramp factors out of its sums: they gather W d conj(y) without it.
      double sumRe[kCount] = {}, sumIm[kCount] = {};
      for (unsigned r = 0; r < grid_.height; ++r) {
        const size_t i = base + r;
        const double w = weight_[i];
        if (w == 0.0) continue;
        const double aRe = data[i].real(), aIm = data[i].imag();  // float to double: exact
        const double yRe = work_.model[i].real(), yIm = work_.model[i].imag();
        const double pRe = w * (aRe * yRe + aIm * yIm);
        const double pIm = w * (aIm * yRe - aRe * yIm);
        for (int k = 0; k < kCount; ++k) {
          const Complex& ramp = rowRamp[static_cast<size_t>(k) * grid_.height + r];
          sumRe[k] += pRe * ramp.real() - pIm * ramp.imag();
          sumIm[k] += pRe * ramp.imag() + pIm * ramp.real();
        }
      }
      for (int k = 0; k < kCount; ++k) {
        columnSums[static_cast<size_t>(k) * grid_.width + c] = column * Complex(sumRe[k], sumIm[k]);
      }
    }
  });
  double best = -1.0;
  double bestX = 0.0, bestY = 0.0;
  for (int kx = 0; kx < kCount; ++kx) {
    const double dx = (kx - kSteps) * step / grid_.width;
    std::vector<Complex> ramp(grid_.width);
    for (unsigned c = 0; c < grid_.width; ++c) {
      ramp[c] = std::polar(1.0, -2.0 * kPi * dx * (c - grid_.centreX));
    }
    for (int ky = 0; ky < kCount; ++ky) {
      Complex sum;
      for (unsigned c = 0; c < grid_.width; ++c)
        sum += columnSums[static_cast<size_t>(ky) * grid_.width + c] * ramp[c];
      // Ties keep the start: the grid's centre is visited in order, and only a larger value moves it.
      const double value = std::norm(sum);
      const bool centre = kx == kSteps && ky == kSteps;
      if (value > best || (centre && value >= best)) {
        best = value;
        bestX = dx;
        bestY = (ky - kSteps) * step / grid_.height;
      }
    }
  }
  fx += bestX;
  fy += bestY;
}

CarrierFit CarrierFitter::Fit(const ComplexImage& carrier, const ComplexImage& widefield, double fx,
                              double fy, int iterations, bool searchStart) {
  CarrierFit fit;
  fit.fx = fx;
  fit.fy = fy;
  FloatImage& data = work_.data;
  std::vector<Complex> rows(grid_.height);
  std::vector<double> rowY(grid_.height);  // Y = -2 pi (y - centre) of each row
  for (unsigned r = 0; r < grid_.height; ++r) rowY[r] = -2.0 * kPi * (r - grid_.centreY);
  bool haveAmplitude = false;
  // Zero iterations measure the sums at the start alone.
  for (int iteration = 0; iteration < std::max(iterations, 1); ++iteration) {
    Filtered(carrier, fit.fx, fit.fy, true, data, nullptr);
    Filtered(widefield, fit.fx, fit.fy, false, work_.model, &fit.modelGain);
    // The filters change little over half a bin: the same images serve the moved start.
    if (iteration == 0 && searchStart && iterations > 0) Best_Start(data, fit.fx, fit.fy);
    // d = data e^{-2 pi i k.(x - centre)}: the demodulation, applied as the sums read data.
    for (unsigned r = 0; r < grid_.height; ++r) {
      rows[r] = std::polar(1.0, -2.0 * kPi * fit.fy * (r - grid_.centreY));
    }

    // Gauss-Newton on (kx, ky, Re c, Im c) for the residual d - c y, whose slopes are
    // i X d, i Y d (X, Y = -2 pi (x - centre)), -y and -i y. The slope of d with k is that of
    // the demodulation ramp; the OTF's own slope adds a part smaller by about the ratio of
    // the passband to the image's extent, left out: it changes the steps, not the minimum
    // they lead to. The normal equations need only these weighted sums, besides the match
    // sum W d conj(y) and the power sum W |y|^2:
    // Summed over fixed blocks of columns, in parallel, then over the blocks in order. The
    // column's ramp factors out of each column's sums: conj(d) y = conj(e_c) q, with
    // q = conj(a e_r) y, a the filtered band and e_c, e_r the ramp's column and row parts.
    std::vector<std::array<double, 11>> partial((grid_.width + kColumnBlock - 1) / kColumnBlock);
    platform::Parallel_Blocks(grid_.width, kColumnBlock, [&](size_t b, size_t begin, size_t end) {
      double matchRe = 0.0, matchIm = 0.0;
      double power = 0.0;
      double weightSum = 0.0;
      double yxx = 0.0, yxy = 0.0, yyy = 0.0;  // |y|^2 X^2, |y|^2 X Y, |y|^2 Y^2
      double crossXRe = 0.0, crossXIm = 0.0;   // conj(d) y times X
      double crossYRe = 0.0, crossYIm = 0.0;   // conj(d) y times Y
      for (unsigned c = static_cast<unsigned>(begin); c < end; ++c) {
        const double x = -2.0 * kPi * (c - grid_.centreX);
        const Complex column = std::polar(1.0, -2.0 * kPi * fit.fx * (c - grid_.centreX));
        const double cRe = column.real(), cIm = column.imag();
        const size_t base = grid_.Index(0, c);
        // Over the column's rows: w q, w q Y, w |y|^2, w |y|^2 Y, w |y|^2 Y^2.
        double qRe = 0.0, qIm = 0.0, qyRe = 0.0, qyIm = 0.0;
        double yy0 = 0.0, yy1 = 0.0, yy2 = 0.0;
        for (unsigned r = 0; r < grid_.height; ++r) {
          const size_t i = base + r;
          const double w2 = weight_[i];
          if (w2 == 0.0) continue;
          const double aRe = data[i].real(), aIm = data[i].imag();  // float to double: exact
          const double tRe = aRe * rows[r].real() - aIm * rows[r].imag();
          const double tIm = aRe * rows[r].imag() + aIm * rows[r].real();
          const double yRe = work_.model[i].real(), yIm = work_.model[i].imag();
          const double wqRe = w2 * (tRe * yRe + tIm * yIm);
          const double wqIm = w2 * (tRe * yIm - tIm * yRe);
          const double y = rowY[r];
          qRe += wqRe;
          qIm += wqIm;
          qyRe += wqRe * y;
          qyIm += wqIm * y;
          const double yy = w2 * (yRe * yRe + yIm * yIm);
          yy0 += yy;
          yy1 += yy * y;
          yy2 += yy * y * y;
          weightSum += w2;
        }
        // conj(e_c) times the column's sums.
        const double pRe = cRe * qRe + cIm * qIm, pIm = cRe * qIm - cIm * qRe;
        const double pyRe = cRe * qyRe + cIm * qyIm, pyIm = cRe * qyIm - cIm * qyRe;
        matchRe += pRe;
        matchIm -= pIm;
        power += yy0;
        yxx += yy0 * x * x;
        yxy += yy1 * x;
        yyy += yy2;
        crossXRe += pRe * x;
        crossXIm += pIm * x;
        crossYRe += pyRe;
        crossYIm += pyIm;
      }
      partial[b] = {matchRe, matchIm,  power,    weightSum, yxx,     yxy,
                    yyy,     crossXRe, crossXIm, crossYRe,  crossYIm};
    });
    double total[11] = {};
    for (const auto& block : partial) {
      for (int k = 0; k < 11; ++k) total[k] += block[k];
    }
    const double matchRe = total[0], matchIm = total[1], power = total[2], weightSum = total[3];
    const double yxx = total[4], yxy = total[5], yyy = total[6];
    const double crossXRe = total[7], crossXIm = total[8], crossYRe = total[9],
                 crossYIm = total[10];
    const Complex match(matchRe, matchIm);
    const Complex crossX(crossXRe, crossXIm);
    const Complex crossY(crossYRe, crossYIm);
    fit.weightSum = weightSum;
    fit.match = match;
    fit.modelPower = power;
    if (!(power > 0.0)) break;
    if (!haveAmplitude) fit.amplitude = match / power;
    haveAmplitude = true;
    if (iterations == 0) break;

    const Complex a = fit.amplitude;
    const Complex i1(0.0, 1.0);
    // Entries Re(conj(J_p) J_q) and Re(conj(J_p) residual), residual = d - a y.
    double normal[4][4] = {};
    double gradient[4] = {};
    // The slopes' own products, sum |d|^2 X^2 and so on, hold the noise of d besides its
    // signal: in low light they outweigh the signal's curvature many times and shrink every
    // step. Their expected value at the fit, |c|^2 |y|^2 X^2 ..., keeps the steps' length
    // (scoring instead of Gauss-Newton).
    const double a2 = std::norm(fit.amplitude);
    normal[0][0] = a2 * yxx;
    normal[0][1] = a2 * yxy;
    normal[1][1] = a2 * yyy;
    normal[0][2] = -(std::conj(i1) * crossX).real();
    normal[0][3] = -(std::conj(i1) * i1 * crossX).real();
    normal[1][2] = -(std::conj(i1) * crossY).real();
    normal[1][3] = -(std::conj(i1) * i1 * crossY).real();
    normal[2][2] = power;
    normal[3][3] = power;
    normal[2][3] = 0.0;
    // conj(i X d)(d - a y) = -i X |d|^2 + i X a conj(d) y; the first term is imaginary.
    gradient[0] = (i1 * a * crossX).real();
    gradient[1] = (i1 * a * crossY).real();
    // conj(-y)(d - a y) = -conj(y) d + a |y|^2; conj(-i y)(d - a y) = i(conj(y) d - a |y|^2),
    // and sum w^2 conj(y) d is the match.
    gradient[2] = (-match + a * power).real();
    gradient[3] = (i1 * (match - a * power)).real();
    for (int p = 0; p < 4; ++p)
      for (int q = 0; q < p; ++q) normal[p][q] = normal[q][p];
    double minus[4] = {-gradient[0], -gradient[1], -gradient[2], -gradient[3]};
    double step[4] = {};
    if (!Solve4(normal, minus, step)) break;
    // A step longer than a grid bin means the start was not near a carrier; keep the start.
    const double binsX = step[0] * grid_.width;
    const double binsY = step[1] * grid_.height;
    if (!std::isfinite(binsX) || !std::isfinite(binsY) || std::hypot(binsX, binsY) > 1.0) break;
    fit.fx += step[0];
    fit.fy += step[1];
    fit.amplitude += Complex(step[2], step[3]);
    if (std::hypot(binsX, binsY) < 1e-4) break;
  }
  last_ = fit;
  return fit;
}

void CarrierFitter::Prepare_Phases(size_t first, size_t count) {
  // sum_x w^2 d_p conj(y) = sum_q H(q) R_p(q) conj(FFT[w^2 e^{2 pi i k.x} y](q)), H the
  // carrier band's filter: one transform serves all frames.
  FloatImage& reference = work_.reference;
  reference.resize(grid_.pixels);
  Demodulated_Reference(reference, -last_.fx, -last_.fy);
  transform_.Forward(reference);
  otf_.Shifted(-last_.fx, -last_.fy, passband_, work_.shifted, work_.scratch);
  // H conj(R) over the passband, the factor of every match.
  const size_t bins = passband_.size();
  factor_.resize(bins);
  std::vector<double> energies((bins + kBinBlock - 1) / kBinBlock);
  platform::Parallel_Blocks(bins, kBinBlock, [&](size_t b, size_t begin, size_t end) {
    double energy = 0.0;
    for (size_t j = begin; j < end; ++j) {
      const size_t i = passband_[j];
      factor_[j] = std::complex<float>(Carrier_Filter(passOtf_[j], work_.shifted[j]) *
                                       Object_Weight(j, last_.fx, last_.fy) *
                                       std::conj(Complex(reference[i])));
      energy += std::norm(std::complex<double>(factor_[j]));
    }
    energies[b] = energy;
  });
  factorEnergy_ = 0.0;
  for (double e : energies) factorEnergy_ += e;
  ownFirst_ = first;
  ownCount_ = count;
  frameMatch_.clear();
}

void CarrierFitter::Match_Frames(std::vector<CarrierFitter>& fitters,
                                 const PackedSpectra& frames, size_t frameCount) {
  if (fitters.empty()) return;
  const std::vector<size_t>& passband = fitters.front().passband_;
  for (const CarrierFitter& fitter : fitters) {
    if (fitter.passband_ != passband || fitter.factor_.size() != passband.size()) {
      throw std::logic_error("Match_Frames: fitters of different passbands or not prepared");
    }
  }
  if (frames.size() != passband.size() * frameCount) {
    throw std::logic_error("Match_Frames: the frames do not cover the passband");
  }
  // One pass over the frames for every fitter, in fixed blocks of bins on the team: each block
  // sums over its bins in order, and the blocks are summed in order.
  const size_t count = fitters.size();
  const size_t bins = passband.size();
  const size_t width = 2 * count * frameCount;  // [fitter][frame][re, im]
  std::vector<double> partial(((bins + kBinBlock - 1) / kBinBlock) * width, 0.0);
  // Complex values read as their (real, imaginary) pairs, std::complex's layout.
  std::vector<const float*> factors(count);
  for (size_t k = 0; k < count; ++k) {
    factors[k] = reinterpret_cast<const float*>(fitters[k].factor_.data());
  }
  const float* values = reinterpret_cast<const float*>(frames.data());
  platform::Parallel_Blocks(bins, kBinBlock, [&](size_t b, size_t begin, size_t end) {
    double* sums = &partial[b * width];
    for (size_t j = begin; j < end; ++j) {
      const float* bin = values + 2 * j * frameCount;
      for (size_t k = 0; k < count; ++k) {
        const double aRe = factors[k][2 * j];  // float to double: exact
        const double aIm = factors[k][2 * j + 1];
        double* sum = &sums[2 * k * frameCount];
        for (size_t f = 0; f < frameCount; ++f) {
          const double bRe = bin[2 * f];
          const double bIm = bin[2 * f + 1];
          sum[2 * f] += aRe * bRe - aIm * bIm;
          sum[2 * f + 1] += aRe * bIm + aIm * bRe;
        }
      }
    }
  });
  std::vector<double> total(width, 0.0);
  for (size_t b = 0; b < partial.size(); b += width) {
    for (size_t k = 0; k < width; ++k) total[k] += partial[b + k];
  }
  for (size_t k = 0; k < count; ++k) {
    fitters[k].frameMatch_.resize(frameCount);
    for (size_t f = 0; f < frameCount; ++f) {
      const double* sum = &total[2 * (k * frameCount + f)];
      fitters[k].frameMatch_[f] = Complex(sum[0], sum[1]);
    }
  }
}

std::vector<double> CarrierFitter::Frame_Phases(const std::vector<double>& widefield,
                                                const std::vector<Complex>& carrier,
                                                const std::vector<Complex>& second,
                                                const std::vector<double>& current,
                                                double noise) const {
  // A frame less the widefield band is e^{i phi} g + e^{-i phi} conj(g): its match holds,
  // beside e^{i phi} times the carrier's own match, e^{-i phi} times that of conj(g), small
  // but biased by the object. The latter is measured on the separated band and taken out.
  if (frameMatch_.empty()) throw std::logic_error("Frame_Phases before Match_Frames");
  Complex own;
  Complex mirrored;
  double gain = 0.0;  // of the frames' noise in the mirrored match
  // The frames are real: a frame's spectrum at -q is the conjugate of that at q, so the
  // match of conj(g(-q)) is that of the frames with the weights conjugated.
  for (size_t p = 0; p < carrier.size() && p < ownCount_; ++p) {
    own += carrier[p] * frameMatch_[ownFirst_ + p];
    mirrored += std::conj(carrier[p]) * frameMatch_[ownFirst_ + p];
    gain += std::norm(carrier[p]);
  }
  // The mirrored match is measured on a band of a few frames, whose noise it carries whole:
  // where the carrier lies far from zero frequency its signal is small and that noise would
  // move every frame's phase (in opposite senses, at its own phase). It is taken out shrunk
  // by its share of signal, |m|^2 - variance over |m|^2, clipped at 0. A bin of a frame's
  // (unnormalised) spectrum has the variance n noise.
  const double variance = gain * static_cast<double>(grid_.pixels) * noise * factorEnergy_;
  const double power = std::norm(mirrored);
  const double keep = power > variance ? (power - variance) / power : 0.0;
  Complex widefieldMatch;
  for (size_t f = 0; f < widefield.size(); ++f) widefieldMatch += widefield[f] * frameMatch_[f];
  // The matches of the second harmonic's band and of its conjugate, which frame p holds
  // with e^{2 i phi_p} and e^{-2 i phi_p}.
  Complex secondMatch, secondMirror;
  for (size_t p = 0; p < second.size() && p < ownCount_; ++p) {
    secondMatch += second[p] * frameMatch_[ownFirst_ + p];
    secondMirror += std::conj(second[p]) * frameMatch_[ownFirst_ + p];
  }
  const double atOrigin = 2.0 * kPi * (last_.fx * grid_.centreX + last_.fy * grid_.centreY);
  // The separated band's phase offset from the one its model has at the centre.
  const Complex gauge = std::abs(own) > 0.0 ? std::polar(1.0, std::arg(own) - atOrigin) : 1.0;
  const Complex mirror = keep * mirrored * gauge;  // the mirrored match for the band at gauge 0
  std::vector<double> phases;
  for (size_t p = 0; p < carrier.size(); ++p) {
    Complex sum = frameMatch_[ownFirst_ + p] - widefieldMatch;
    if (!second.empty() && p < current.size()) {
      sum -= std::polar(1.0, 2.0 * current[p]) * secondMatch +
             std::polar(1.0, -2.0 * current[p]) * secondMirror;
    }
    double phase = std::arg(sum) - atOrigin;
    for (int pass = 0; pass < 2; ++pass) {
      phase = std::arg(sum - std::polar(1.0, -phase) * mirror) - atOrigin;
    }
    phase = std::fmod(phase, 2.0 * kPi);
    if (phase < 0) phase += 2.0 * kPi;
    phases.push_back(phase);
  }
  return phases;
}

}  // namespace korvex::patterns
