// Sub-pixel fit of one orientation's carrier by least squares on the frames' own forward
// model, in real space.
//
// With frames D_p = h * (S (1 + m cos(2 pi k.x + phi_p))) (h the point-spread function, *
// convolution), the separated carrier band is g = (m/2) e^{i phi} h * (S e^{2 pi i k.x}) and
// the widefield band b0 = h * S. Filtering each band with the OTF the other band lacks,
//     d_k = e^{-2 pi i k.x} IFFT[O(q - k) G(q)]   and   y_k = IFFT[O(q + k) B0(q)],
// both become c (h h_k) * S, exactly, at the true k, for any object and any OTF (a further
// filter common to both, in the demodulated frame, whitens their difference). The fit
// minimises sum_x W(x) |d_k(x) - c y_k(x)|^2 over k and the complex amplitude c by
// Gauss-Newton, W a window. Demodulating in real space keeps
// an off-grid carrier exact (no spectrum is shifted by a fraction of a bin), and the window,
// zero near the edges, removes where the spectral filters wrap one edge of the
// (non-periodic) frames onto the other. Since the model is exact, no weighting moves the
// minimum: neither the object's spectrum nor the OTF's slope biases it.
#pragma once

#include <vector>

#include "otf_model.h"
#include "spectrum_transform.h"

namespace korvex::patterns {

struct CarrierFit {
  double fx = 0.0;  // wave vector, cycles per pixel
  double fy = 0.0;
  Complex amplitude;        // c, with the demodulation referenced to the image centre
  Complex match;            // sum W d conj(y), W the pixels' weights
  double modelPower = 0.0;  // sum W |y|^2
  double weightSum = 0.0;   // sum W
  double modelGain = 0.0;   // variance of y per unit noise variance of the widefield's bins
};

// A fitter's image buffers, which a caller may keep between fits of one geometry so that
// each call does not allocate (and the system clear) them anew.
struct FitWorkspace {
  FloatImage model;        // y of the last fit (as the transform gives it)
  FloatImage data;         // the carrier band filtered
  FloatImage reference;    // FFT[w^2 e^{2 pi i k.x} y] of the last fit
  RealImage shifted;       // the OTF shifted by +-k, at the passband's bins
  RealImage scratch;
};

// The passband's bins' frequencies and OTF values, which every fitter of one OTF reads.
struct PassbandTables {
  PassbandTables() = default;
  PassbandTables(const SpectralGrid& grid, const OtfModel& model,
                 const std::vector<size_t>& passband);
  std::vector<float> fx, fy;  // frequency of each bin, cycles per pixel
  std::vector<double> otf;    // the OTF at each bin
};

class CarrierFitter {
 public:
  // weight: the least-squares weight of each pixel (zero near the edges, see above), read at
  // every fit; passband: the bins where the OTF passes (OtfModel::Passes), in order. Both,
  // and `work`, must outlive the fitter.
  // tables: of this OTF and passband. All must outlive the fitter.
  CarrierFitter(const SpectralGrid& grid, const OtfModel& otf, SpectrumTransform& transform,
                const RealImage& weight, const std::vector<size_t>& passband,
                const PassbandTables& tables, FitWorkspace& work);

  // carrier, widefield: spectra of the (unwindowed) bands. Starts at (fx, fy), cycles per
  // pixel, and runs at most `iterations` scoring steps; 0 measures at (fx, fy) alone. With
  // `searchStart`, the start is first moved to the best of a grid of points within half a
  // bin of it (see Best_Start).
  CarrierFit Fit(const ComplexImage& carrier, const ComplexImage& widefield, double fx, double fy,
                 int iterations, bool searchStart = false);

  // Noise of a widefield bin over that of a carrier bin, times the expected |c|^2: sets the
  // weighting of frequencies in the fit.
  void Set_Noise_Ratio(double ratio) { noiseRatio_ = ratio; }

  // Weights of the object's frequencies, applied to both bands alike (so the model stays
  // exact): entry j for frequencies of magnitude near j / binsPerCycle cycles per pixel,
  // 1 beyond the table. In low light the widefield band is noise alone at the frequencies
  // the specimen does not fill; its Wiener factor there keeps that noise out of the model.
  // The table must outlive the fitter and not change while set; null: every frequency weighs 1.
  void Set_Object_Weight(const std::vector<double>* table, double binsPerCycle) {
    objectWeight_ = table;
    binsPerCycle_ = binsPerCycle;
    widefieldWeight_.clear();
  }

  // Readies Frame_Phases for the carrier of the last fit; this orientation's frames are the
  // `count` from `first` on. Match_Frames then reads the frames.
  void Prepare_Phases(size_t first, size_t count);

  // Matches each fitter's carrier with every one of the stack's frames (real, so their
  // spectra are Hermitian), in one pass over them. The fitters share one OTF; `frames` holds
  // the spectra over its passband, bin after bin, the `frameCount` values of a bin together.
  static void Match_Frames(std::vector<CarrierFitter>& fitters, const PackedSpectra& frames,
                           size_t frameCount);

  // The phase (radians, at the image origin) with which each of this orientation's frames
  // carries the carrier of the last fit, once the widefield band is taken out: `widefield`
  // holds the weight of every frame of the stack in the widefield band, `carrier` those of
  // this orientation's frames in its carrier band (the same separation as the widefield's).
  // With 3-beam illumination the frames also hold the second harmonic: `second` holds their
  // weights in its band (empty: none), taken out at the frames' `current` phases. `noise`:
  // the variance of one pixel of one frame, which sets how much of the mirrored carrier's
  // match (below) is taken out.
  std::vector<double> Frame_Phases(const std::vector<double>& widefield,
                                   const std::vector<Complex>& carrier,
                                   const std::vector<Complex>& second,
                                   const std::vector<double>& current, double noise) const;

 private:
  // Filters `spectrum` over the passband, into image space: the carrier band by
  // Carrier_Filter, the widefield band by Widefield_Filter, for the wave vector (fx, fy).
  void Filtered(const ComplexImage& spectrum, double fx, double fy, bool carrier, FloatImage& out,
                double* gain);
  double Whitening(double atQ, double atShifted) const;
  double Carrier_Filter(double atQ, double atQMinusK) const;
  double Widefield_Filter(double atQ, double atQPlusK) const;
  // The object weight at the object frequency of passband bin j: (f - k) for the carrier
  // band, f for the widefield band.
  double Object_Weight(size_t j, double fx, double fy) const;
  // The scoring steps hold only near the minimum: from a start a few tenths of a bin off,
  // the demodulated band turns by a radian or more across the frame, and the first step can
  // go the wrong way. The fit's own measure of agreement, |sum W d conj(y)|^2, at offsets
  // delta of the wave vector is the (discrete-time) Fourier transform of W d0 conj(y) at
  // delta, d0 the band demodulated at the start: one pass over the pixels per row of the
  // grid. Returns the wave vector of the grid point where it is largest.
  void Best_Start(const FloatImage& data, double& fx, double& fy) const;
  // w^2 y e^{-2 pi i k.(x - centre)}, y the model of the last fit, into `out`.
  void Demodulated_Reference(FloatImage& out, double fx, double fy) const;

  const SpectralGrid& grid_;
  const OtfModel& otf_;
  SpectrumTransform& transform_;
  const RealImage& weight_;
  const std::vector<size_t>& passband_;
  FitWorkspace& work_;
  double noiseRatio_ = 0.0;
  const std::vector<double>* objectWeight_ = nullptr;
  double binsPerCycle_ = 0.0;
  const std::vector<float>& passFx_;  // frequency of each passband bin
  const std::vector<float>& passFy_;
  const std::vector<double>& passOtf_;   // the OTF at each passband bin
  std::vector<double> widefieldWeight_;  // the widefield band's object weight at each bin
  CarrierFit last_;
  std::vector<Complex> frameMatch_;   // sum_q H R_f conj(reference), every frame f
  // H conj(reference) over the passband; single precision, as the spectra it multiplies.
  std::vector<std::complex<float>> factor_;
  double factorEnergy_ = 0.0;  // sum of |factor_|^2
  size_t ownFirst_ = 0;
  size_t ownCount_ = 0;
};

}  // namespace korvex::patterns
