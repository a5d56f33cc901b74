// An independent MAP-SIM reference for the engine tests: plain loops and a naive DFT in
// double precision, written from the formulas and sharing no code with the engine.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace korvex::test {

// One reconstruction problem, arrays in MATLAB (column-major) order.
struct Problem {
  unsigned W = 0;             // columns
  unsigned H = 0;             // rows
  unsigned F = 0;             // frames
  std::vector<double> image;  // F frames of H x W
  std::vector<double> masks;  // same shape as image
  std::vector<double> otf;    // H x W, zero frequency at row H/2, column W/2
};

struct ReferenceResult {
  std::vector<double> output;  // H x W, MATLAB order
  unsigned iteration = 0;
  double alpha = 0;
  double ratio = 0;
};

// Runs the reconstruction: widefield start, data-term gradient through the real part of the
// inverse transforms, five-point smoothness term, Barzilai-Borwein steps, and the stopping
// rules (limit, a step that is not positive or not finite, ratio below the threshold).
// With `nonNegative`, every update is followed by the projection onto x >= 0; with
// `frameData`, the residual is taken against the frames y_j instead of m_j y_j; `sparsity`
// times sum_j m_j is added to the gradient (the penalty sparsity * sum_i (sum_j m_j)_i x_i).
struct ReferenceOptions {
  bool nonNegative = false;
  bool frameData = false;
  double sparsity = 0.0;
};
ReferenceResult Reference_Reconstruct(const Problem& problem, unsigned maxIter, double threshold,
                                      double lambda, double alpha, ReferenceOptions options = {});

// Row-major (device order) image of one MATLAB-order frame, and back.
std::vector<double> To_Rows(const double* columns, unsigned W, unsigned H);
std::vector<double> To_Columns(const std::vector<double>& rows, unsigned W, unsigned H);

// ifftshift: the element at row H/2, column W/2 moves to the origin (odd sizes included).
std::vector<double> Centre_To_Origin(const std::vector<double>& rows, unsigned W, unsigned H);

// Unnormalised 2-D DFT of a row-major complex image; sign -1 forward, +1 inverse.
void Dft2(std::vector<std::complex<double>>& data, unsigned W, unsigned H, int sign);

// Blur of a row-major real image through an origin-centred OTF: Re(IDFT(otf . DFT(x))) / N.
std::vector<double> Blur(const std::vector<double>& rows, const std::vector<double>& otfRows,
                         unsigned W, unsigned H);

// The objective whose gradient the reconstruction follows: half the sum over frames of
// |blur(m_j x) - m_j y_j|^2, plus lambda times the squared differences of 4-neighbours.
// `estimate` is in MATLAB order.
double Objective(const Problem& problem, const std::vector<double>& estimate, double lambda);

}  // namespace korvex::test
