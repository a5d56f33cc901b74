// Korvex: MAP-SIM reconstruction engine.
//
// Korvex<T> (T = float or double) owns every GPU resource of one reconstruction geometry
// (W x H pixels, F frames, an iteration limit) and runs the reconstruction on it. This
// declaration is shared by KorvexLib and the KorvexCUDA gateway, which reads several public
// members directly: the order of the data members is part of the library's interface.
//
// Every failure is reported as std::runtime_error carrying the complete message.
#pragma once

#include <array>
#include <complex>
#include <vector>

#include "gpu.h"
#include "kernel_types.h"

// Opt-in changes to the reconstruction. The default value runs the plain iteration, the one
// KorvexCUDA runs.
struct KorvexOptions {
  // Projects the estimate onto x >= 0 after every update: a fluorescence image is never
  // negative. The Barzilai-Borwein steps then see the projected moves.
  bool nonNegative = false;
  // Compares the forward model with the frames y_j themselves instead of the masked frames
  // m_j y_j: the data term of the model's own likelihood.
  bool frameData = false;
  // Evaluates the data-term gradient as sum_j m_j H'H (m_j x) - b, with b = sum_j m_j H' d_j
  // formed once: two transforms a frame per iteration instead of four. The same gradient,
  // rounded differently (H'H's transfer function is the square of the OTF's even part, the
  // part the plain evaluation applies).
  bool foldedData = false;
  // Adds sparsity * sum_i w_i x_i to the objective, w = sum_j m_j the light each pixel
  // received. With nonNegative it is an L1 penalty that pulls dim pixels to zero, which
  // favours sparse specimens and extrapolates beyond the pattern's band. Weighted by w, its
  // pull is that of a uniform background in every frame, which the model explains by a uniform
  // shift of the image: errors in the masks' phases add no stripes. 0 leaves the iteration as
  // it is.
  double sparsity = 0.0;
  // Harmonic engines with KorvexHarmonics::approximation A~ only. fourierStart: the iteration
  // starts from the minimiser of the unconstrained quadratic with A~ for the data term, solved
  // in one Fourier division (clipped at zero with nonNegative), instead of from the widefield
  // sum. preconditioned: every step moves along P^-1 g instead of g, P = A~ plus the smoothing
  // term plus a floor, a Fourier filter: the slow band-edge frequencies move as fast as the
  // rest. The Barzilai-Borwein steps are taken in P's metric.
  bool fourierStart = false;
  bool preconditioned = false;
  // Optional, H x W column-major and centred like the OTF: the real low-pass G through which
  // out-of-focus light is seen (its even part is used). With masks given by their harmonics,
  // on an engine built for it, the model becomes y_j = H(m_j x) + G b: b is one non-negative
  // image shared by every frame and unpatterned. With plain steps it is estimated together
  // with x by the same projected Barzilai-Borwein step on the pair (x, b); with preconditioned
  // ones b follows x to its optimum each iteration and the steps, preconditioned for the
  // problem with b eliminated, move x alone, from that problem's Fourier solution with the
  // haze it implies taken out (where the start finds no haze, from the start without the
  // model: the widefield sum, or with fourierStart the Fourier start). The smoothness term
  // stays on x; the sparsity penalty weighs b's light as it weighs x's (sparsity F G(0)
  // sum_i b_i, times outOfFocusCost), so that only the patterned data tell in-focus light
  // from haze. With frameData off, the masked data m_j y_j take the place of y_j. With a
  // multiplier (KorvexHarmonics::multiplier), which stands for equal phase steps, w is taken
  // as F.
  // Empty: no haze.
  std::vector<double> outOfFocus;
  // The share of the sparsity penalty b's light pays, in [0, 1]: 1 charges it as x's, so the
  // patterned data alone tell them apart. Below 1 the haze is cheaper, and smooth light the
  // bands barely see goes to b: on a sparse specimen that is the haze x would otherwise keep
  // under its non-negativity (a pedestal that lets x fit the noise's dips), on a dense one it
  // is the specimen's own smooth body.
  double outOfFocusCost = 1.0;
};

// Illumination masks given by their harmonics rather than as images. Frames are
// orientation-major, frames / orientations.size() of them per orientation, and frame j of
// orientation a is lit by
//   m_j(col, row) = 1 + 2 Re( sum_{l = 1, 2} coefficients[j][l - 1] e^{i l (kx col + ky row)} )
// on the engine's grid (col the column, row the row, from 0), (kx, ky) that of orientation a:
// a two-beam pattern 1 + a cos(theta + phi) has c1 = a/2 e^{i phi} and c2 = 0.
struct KorvexHarmonics {
  struct Orientation {
    double kx = 0;  // radians per column
    double ky = 0;  // radians per row
  };
  std::vector<Orientation> orientations;
  std::vector<std::array<std::complex<double>, 2>> coefficients;  // per frame: c1, c2
  // Optional, H x W column-major and centred like the OTF: a Fourier multiplier that stands
  // for the whole normal operator sum_j m_j H'H m_j. With equal phase steps the cross terms
  // of the harmonics vanish and, on an unbounded grid, that operator is the multiplier
  // sum_a sum_l M_{l,-l} |OTF(q + l k_a)|^2; on the periodic grid it differs at the edges.
  // One transform pair an iteration. Empty: the exact harmonic form.
  std::vector<double> multiplier;
  // Optional, shaped like `multiplier`: a multiplier that approximates the normal operator
  // (the same formula with unequal steps), from which KorvexOptions::fourierStart and
  // KorvexOptions::preconditioned build their Fourier filters.
  std::vector<double> approximation;
};

// Strips the parentheses that keep a list together as one macro argument.
#define KORVEX_UNPARENTHESIZE(...) __VA_ARGS__

template <typename T>
class Korvex {
 public:
  // Device buffers (row-major images of W x H, stacks frame after frame).
  T* d_grad;                   // full gradient of the current iteration
  T* d_gradPrev;               // gradient of the previous iteration
  T* d_dataGrad;               // data-term gradient summed over the frames
  T* d_estimate;               // current estimate: the reconstruction
  T* d_estimatePrev;           // estimate of the previous iteration
  T* d_directionPrev = nullptr;  // harmonic engines: P^-1 g of the previous iteration
  T* d_masks;                  // illumination masks, F frames
  T* d_images;                 // raw images, F frames (masked once uploaded)
  T* d_otf;                    // OTF in device order, shifted to put zero frequency at 0
  CudaComplex<T>* d_scratchA;  // complex work buffer, also real staging
  CudaComplex<T>* d_scratchB;  // second complex work buffer
  T* h_history;                // page-locked: convergence measure of each iteration, for
                               // the first History_Length(m_maxIter) iterations

  cudaDeviceProp m_deviceProp;     // properties of device 0
  cufftHandle m_fftPlan;           // H rows x W columns complex plan; 0: none
  cublasHandle_t m_blasHandle;     // null: none
  cudaStream_t m_stream1;          // image uploads
  cudaStream_t m_stream2;          // mask uploads
  KernelLaunch_t m_launch;         // legacy default stream
  KernelLaunch_t m_launchStream1;  // on m_stream1
  KernelLaunch_t m_launchStream2;  // on m_stream2

  unsigned m_computeMajor;
  unsigned m_computeMinor;
  int m_runtimeVersion;  // 1000 * major + 10 * minor
  int m_driverVersion;   // same encoding
  int m_deviceCount;

  unsigned m_width;    // W: columns, the contiguous device dimension
  unsigned m_height;   // H: rows
  unsigned m_frames;   // F
  unsigned m_maxIter;  // iteration limit

  // Results of the last reconstruction.
  unsigned m_iteration;  // index of the last iteration entered
  T m_lambda;            // regularisation weight
  T m_alpha;             // step size
  T m_threshold;         // convergence threshold
  T m_ratio;             // ratio of the last two convergence measures

  // Built for masks given by their harmonics: d_images and d_masks then hold one image each
  // (the folded data and a work image) instead of F frames.
  bool m_harmonic;
  CudaComplex<T>* d_harmonics;  // harmonic engines: phase tables, coefficients and weights

  // Checks the platform and acquires every resource; throws std::runtime_error on failure,
  // having released whatever it acquired.
  Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter);
  // With `harmonic`, an engine for masks given by their harmonics: the frames are folded into
  // one image as they are uploaded and no mask image is kept, so the engine holds two images
  // where the other holds 2 F.
  Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter, bool harmonic);
  // With `outOfFocus` as well (a harmonic engine only), room for the out-of-focus image b:
  // d_grad, d_gradPrev, d_estimate and d_estimatePrev hold two images each, x and then b, and
  // six more images hold the haze term's transfer functions, weights, folded data and the
  // spectrum of its gradient.
  Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter, bool harmonic,
         bool outOfFocus);
  ~Korvex();
  Korvex(const Korvex&) = delete;
  Korvex& operator=(const Korvex&) = delete;

  // Entries of h_history for an iteration limit: one per iteration, at least one, and at most
  // 65536, so that a limit typed as "run until converged" pins no more than 512 KiB.
  static unsigned History_Length(unsigned maxIter);
  // Entries of d_harmonics for a harmonic engine of this geometry.
  static size_t Harmonic_Table_Length(unsigned width, unsigned height, unsigned frames);

  // Releases every resource and empties its member; never throws; repeatable.
  void Clean_Resources();

  // One complete reconstruction from host arrays in MATLAB (column-major) order: image and
  // masks hold F frames of H x W, otf and output one H x W image. Results other than the
  // output image are left in m_iteration, m_alpha and m_ratio.
  void Mapsim_Compute(T* image, T* otf, T* masks, T* output, T threshold, T lambda, T alpha);
  // The same with the opt-in changes of `options`.
  void Mapsim_Compute(T* image, T* otf, T* masks, T* output, T threshold, T lambda, T alpha,
                      const KorvexOptions& options);

  // The same on an engine built for harmonics, with masks given by `harmonics` (F frames);
  // always folded. The gradient of the data term costs one transform pair for the mean
  // illumination and one per orientation and harmonic order, whatever the phase count.
  void Mapsim_Compute(T* image, T* otf, const KorvexHarmonics& harmonics, T* output, T threshold,
                      T lambda, T alpha, const KorvexOptions& options);

  // After a reconstruction with KorvexOptions::outOfFocus: G b, the haze as it adds to every
  // frame, into `haze` (H x W column-major; skipped when null), and the share of the modelled
  // mean frame's light that it is, G b / (G b + sum_j H(m_j x) / F) summed over the image.
  // Throws std::runtime_error when the last reconstruction had no out-of-focus term.
  double Out_Of_Focus(T* haze);
  // Whether the engine was built with room for the out-of-focus image.
  bool Holds_Out_Of_Focus() const { return m_outOfFocus; }
  // The grid b lived on in the last reconstruction with the out-of-focus term: with preconditioned
  // steps, the least that holds G's band (b's samples, row-major, follow x in d_estimate), else
  // the image's.
  unsigned Haze_Width() const { return m_hazeWidth; }
  unsigned Haze_Height() const { return m_hazeHeight; }
  // The side of that grid along an axis of `side` points whose band reaches `reach`.
  static unsigned Haze_Grid_Side(unsigned reach, unsigned side);

  // Barzilai-Borwein step s.y / y.y from the last two estimates and gradients (of the pair
  // (x, b) during a reconstruction with the out-of-focus term).
  T Compute_Alpha();
  // alpha times the squared Euclidean norm of `vector` (W x H values of T on the device, the
  // pair's 2 W H during a reconstruction with the out-of-focus term).
  T Compute_Threshold(T alpha, void* vector);

  // Kernel launch operations CuCall_<Name>(launch, ...), one per kernel, listed in
  // launch_operations.def: each queues its kernel on `launch`, then reports a launch error.
#define KORVEX_LAUNCH_OPERATION(name, kernel, parameters, arguments) \
  void CuCall_##name(KernelLaunch_t launch, KORVEX_UNPARENTHESIZE parameters);
#include "launch_operations.def"
#undef KORVEX_LAUNCH_OPERATION

  // Status handlers: return on success, otherwise throw std::runtime_error naming the
  // failure, the source unit `file` and the `line` of the call.
  static void Handle_Error(cudaError status, const char* file, int line);
  static void Handle_CuFFT(cufftResult_t result, const char* file, int line);
  static void Handle_CuBLAS(cublasStatus_t status, const char* file, int line);

 private:
  // The data-term gradient of one iteration into d_dataGrad, evaluated as written or folded.
  void Data_Gradient();
  void Fold_Data();
  void Folded_Data_Gradient();
  void Add_Sparsity_Gradient(T sparsity, T* gradient);
  void Blur_Into_ScratchB(T* real);
  // The iterations from the widefield start to the last update, for every data term.
  void Iterate(const KorvexOptions& options, T sparsity);
  // Harmonic engines: the tables of `harmonics` on the device, the frames folded into -b,
  // and the data-term gradient of one iteration.
  void Upload_Harmonics(const KorvexHarmonics& harmonics);
  void Fold_Harmonic_Data(T* image, bool frameData, T sparsity);
  void Harmonic_Data_Gradient(bool hazeOnly = false);
  void Add_Mask_Sum(T weight, T* acc);
  void Filter_In_Place(CudaComplex<T>* buffer);
  void Filter_In_Place(CudaComplex<T>* buffer, T* transfer);
  static void Check_Harmonics(const KorvexHarmonics& harmonics, unsigned frames);
  void Upload_Transfer(const std::vector<double>& multiplier);
  void Upload_Centred(const std::vector<double>& centred, T* destination);
  std::vector<double> Even_Transfer(const T* otf) const;
  // The Fourier start and preconditioner from harmonics.approximation (Korvex_Fourier.cpp).
  std::vector<double> Fourier_Filter(const std::vector<double>& multiplier, double lambda,
                                     double floor) const;
  // How the out-of-focus model's `source` joins the start (Haze_Prepare): through C / D or C.
  enum class Haze_Coupling { kNone, kReduced, kCrossing };
  void Fourier_Start(const std::vector<double>& multiplier, bool nonNegative,
                     Haze_Coupling coupling = Haze_Coupling::kNone, T* source = nullptr);
  T* Precondition(bool nonNegative);
  // Harmonic engines without the haze pair: the gradient with its change, and the step size
  // from the changes (Korvex_Compute.cpp).
  void Gradient_Step();
  T Change_Alpha();
  // The preconditioner's floor, a share of the approximation at zero frequency.
  static constexpr double kPreconditionerFloor = 0.05;
  T* d_preconditioner = nullptr;  // harmonic engines: the preconditioner's filter
  bool m_preconditioned = false;
  // The out-of-focus term (Korvex_OutOfFocus.cpp).
  static void Check_Out_Of_Focus(const std::vector<double>& transfer, unsigned W, unsigned H);
  // g and e: the even parts of the out-of-focus transfer and of the OTF, centred and
  // column-major, formed once a call.
  void Upload_Out_Of_Focus(const std::vector<double>& g, const std::vector<double>& e);
  void Fold_Out_Of_Focus(T sparsity);
  void Haze_Start(T* out, bool hazeOnly);
  void Filter_Modulated(CudaComplex<T>* buffer, unsigned orientation, unsigned order,
                        bool hazeOnly);
  void Haze_Finish();
  // `iteration`: the iteration's index, or kHazeStart before the iterations; it sets b's steps.
  static constexpr unsigned kHazeStart = ~0u;
  void Haze_Eliminate(unsigned iteration);
  void Reduced_Operator(const std::vector<double>& approximation, const std::vector<double>& g,
                        const std::vector<double>& e, double share,
                        std::vector<double>& reduced) const;
  double Haze_Curvature_Floor() const;
  double Haze_Light_Share();
  void Haze_Prepare(const std::vector<double>& approximation, const std::vector<double>& g,
                    const std::vector<double>& e, bool fourierStart, bool nonNegative);
  // The images of d_haze, in order.
  enum Haze_Slot : unsigned { kHazeG, kHazeGE, kHazeWeight, kHazeData };
  T* Haze_Part(unsigned part) const { return d_haze + size_t{part} * m_width * m_height; }
  // The b-gradient's spectrum, a complex image after the four real ones.
  CudaComplex<T>* Haze_Spectrum() const {
    return reinterpret_cast<CudaComplex<T>*>(Haze_Part(4));
  }
  // b's half spectrum, in the room of a second complex image: with b following x (m_eliminate)
  // it is transformed once and then moved with b, whose moves are transformed anyway.
  CudaComplex<T>* Haze_Kept_Spectrum() const {
    return reinterpret_cast<CudaComplex<T>*>(Haze_Part(6));
  }
  bool m_hazeSpectrumKept = false;  // whether Haze_Kept_Spectrum holds b's
  KernelLaunch_t Pair_Launch() const { return m_parts == 2 ? m_launchPair : m_launch; }
  static std::vector<double> Even_Part(const std::vector<double>& centred, unsigned W,
                                       unsigned H);
  bool m_outOfFocus = false;        // built with room for b
  bool m_eliminate = false;         // b follows x instead of stepping with it
  T* d_haze = nullptr;              // G, G E (device order), w, G' sum_j d_j (row-major),
                                    // a complex work image and b's half spectrum
  KernelLaunch_t m_launchPair;      // covers the pair (x, b) as one W x 2H image
  unsigned m_parts = 1;             // 2 while the last reconstruction estimates b
  bool m_hazeIdle = false;          // the last one asked for b, and its start found no haze
  double m_hazeZero = 0;            // G at zero frequency
  double m_otfZero = 0;             // the OTF's even part at zero frequency
  unsigned m_orientations = 0;      // of the last harmonic upload
  bool m_multiplier = false;        // d_otf holds the given multiplier
  std::vector<bool> m_secondOrder;  // per orientation: whether any frame has c2 != 0
  // Harmonic engines: the real transforms (H x W real image to its H x (W / 2 + 1) half
  // spectrum and back) through which real images are filtered; 0: none.
  cufftHandle m_realForward = 0;
  cufftHandle m_realInverse = 0;
  // The real image `in` through `transfer` (device order, real and even) into `out`,
  // normalised, through the half spectrum in d_scratchB; `out` may be `in`.
  void Filter_Real(T* in, T* transfer, T* out);
  // The launch of the layout conversion by tiles (Col2Row_Tiles) over this engine's image.
  KernelLaunch_t Tile_Launch() const;
  // Harmonic engines: filtering through d_otf pruned to its band (Korvex_Band.cpp). Device
  // columns 0 .. m_band - 1 and W - m_band .. W - 1 hold every nonzero value of d_otf; only
  // those columns are transformed along the columns. 0: the whole grid, the 2-D plans.
  static unsigned Band_Columns(const std::vector<double>& centred, unsigned W, unsigned H);
  void Set_Band(const std::vector<double>& centred);
  void Make_Real_Row_Plans();
  void Band_Forward(CudaComplex<T>* buffer);
  void Band_Inverse(CudaComplex<T>* buffer);
  void Band_Filter(CudaComplex<T>* buffer);
  void Band_Real_Forward(T* in, CudaComplex<T>* spectrum);
  void Band_Real_Inverse(CudaComplex<T>* spectrum, T* out);
  void Band_Filter_Real(T* in, T* out);
  // The out-of-focus term's transforms pruned to d_otf's band as well where what they filter
  // through lies within it (Korvex_Band.cpp): Blur_Band for G E, Haze_Band for G E and, to
  // `tolerance`, G'G; 0 where it does not (the 2-D plans).
  static void Haze_Bands(const std::vector<double>& g, const std::vector<double>& ge, unsigned W,
                         unsigned H, double tolerance, unsigned bands[2], unsigned blur[2]);
  // Makes the plans of b's own band, m_hazeColumns wide (0: the 2-D plans).
  void Set_Haze_Band();
  unsigned Blur_Band() const { return m_band != 0 && m_blurColumns <= m_band ? m_band : 0; }
  unsigned Haze_Band() const { return m_hazeBand; }
  // b's images (b, its moves and gradient) to their half spectra and back, on b's grid: its own
  // plans where it is coarser than x's, else x's pruned to b's band.
  void Haze_Real_Forward(T* in, CudaComplex<T>* spectrum);
  void Haze_Real_Inverse(CudaComplex<T>* spectrum, T* out);
  // A fine half spectrum within G's band back to a real image on x's grid.
  void Haze_Fine_Inverse(CudaComplex<T>* spectrum, T* out);
  // b's grid (Korvex_Band.cpp): with b following x, the least grid, in each direction, that
  // holds every frequency of G E and, to the rounding unit, of G'G, where that grid saves
  // enough; else x's. b's images and spectra there are kept in the room of x's.
  void Set_Haze_Grid();
  bool Haze_Coarse() const { return m_hazeWidth != m_width || m_hazeHeight != m_height; }
  // The fine spectrum holds b's own grid's transform this many times; a sample of b stands for
  // this many of x's pixels.
  double Haze_Ratio() const {
    return static_cast<double>(m_width) * m_height /
           (static_cast<double>(m_hazeWidth) * m_hazeHeight);
  }
  // Where b's grid keeps its half spectra in d_scratchB: at its end where that grid is coarser,
  // so that a fine one fits before it (Set_Haze_Grid leaves the room).
  CudaComplex<T>* Haze_Grid_Spectrum() const;
  void Haze_Fine_Spectrum(T* filter, T factor);
  // G' sum_j d_j on b's grid: its samples at b's points where that grid is coarser.
  T* Haze_Data() const;
  unsigned m_hazeWidth = 0;           // b's grid
  unsigned m_hazeHeight = 0;
  unsigned m_hazeGridPlanned[2] = {0, 0};  // the grid m_hazeGridForward was made for
  cufftHandle m_hazeGridForward = 0;  // b's grid's real transform and its inverse
  cufftHandle m_hazeGridInverse = 0;
  unsigned m_hazeColumns = 0;         // the band of G E and G'G, from Haze_Bands
  unsigned m_hazeRows = 0;            // and its rows'
  unsigned m_blurColumns = 0;         // the band of G E
  unsigned m_blurRows = 0;            // the rows of G E, from Haze_Bands
  unsigned m_hazeBand = 0;            // m_hazeColumns where its plans prune, else 0
  unsigned m_hazePlanned = 0;         // the band m_hazeColumnPlan was made for; 0: none
  cufftHandle m_hazeColumnPlan = 0;   // m_hazePlanned columns of the half spectrum
  unsigned m_band = 0;
  unsigned m_bandPlanned = 0;         // the band the column plans were made for; 0: none
  cufftHandle m_rowPlan = 0;          // H complex rows of W points
  cufftHandle m_columnPlan = 0;       // m_bandPlanned complex columns of H points
  cufftHandle m_realRowForward = 0;   // H real rows to their W / 2 + 1 frequencies
  cufftHandle m_realRowInverse = 0;   // and back
  cufftHandle m_halfColumnPlan = 0;   // m_bandPlanned columns of the half spectrum
};

extern template class Korvex<float>;
extern template class Korvex<double>;
