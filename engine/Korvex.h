// Korvex: MAP-SIM reconstruction engine.
//
// Korvex<T> (T = float or double) owns every GPU resource of one reconstruction geometry
// (W x H pixels, F frames, an iteration limit) and runs the reconstruction on it. This
// declaration is shared by KorvexLib and the KorvexCUDA gateway, which reads several public
// members directly: the order of the data members is part of the library's interface.
//
// Every failure is reported as std::runtime_error carrying the complete message.
#pragma once

#include "gpu.h"
#include "kernel_types.h"

template <typename T>
class Korvex {
 public:
  // Device buffers (row-major images of W x H, stacks frame after frame).
  T* d_grad;                   // full gradient of the current iteration
  T* d_gradPrev;               // gradient of the previous iteration
  T* d_dataGrad;               // data-term gradient summed over the frames
  T* d_estimate;               // current estimate: the reconstruction
  T* d_estimatePrev;           // estimate of the previous iteration
  T* d_masks;                  // illumination masks, F frames
  T* d_images;                 // raw images, F frames (masked once uploaded)
  T* d_otf;                    // OTF in device order, shifted to put zero frequency at 0
  CudaComplex<T>* d_scratchA;  // complex work buffer, also real staging
  CudaComplex<T>* d_scratchB;  // second complex work buffer
  T* h_history;                // page-locked: convergence measure of each iteration

  cudaDeviceProp m_deviceProp;  // properties of device 0
  cufftHandle m_fftPlan;        // H rows x W columns complex plan; 0: none
  cublasHandle_t m_blasHandle;  // null: none
  cudaStream_t m_stream1;       // image uploads
  cudaStream_t m_stream2;       // mask uploads
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
  unsigned m_maxIter;  // iteration limit, length of h_history

  // Results of the last reconstruction.
  unsigned m_iteration;  // index of the last iteration entered
  T m_lambda;            // regularisation weight
  T m_alpha;             // step size
  T m_threshold;         // convergence threshold
  T m_ratio;             // ratio of the last two convergence measures

  // Checks the platform and acquires every resource; throws std::runtime_error on failure,
  // having released whatever it acquired.
  Korvex(unsigned width, unsigned height, unsigned frames, unsigned maxIter);
  ~Korvex();
  Korvex(const Korvex&) = delete;
  Korvex& operator=(const Korvex&) = delete;

  // Releases every resource and empties its member; never throws; repeatable.
  void Clean_Resources();

  // One complete reconstruction from host arrays in MATLAB (column-major) order: image and
  // masks hold F frames of H x W, otf and output one H x W image. Results other than the
  // output image are left in m_iteration, m_alpha and m_ratio.
  void Mapsim_Compute(T* image, T* otf, T* masks, T* output, T threshold, T lambda, T alpha);

  // Barzilai-Borwein step s.y / y.y from the last two estimates and gradients.
  T Compute_Alpha();
  // alpha times the squared Euclidean norm of `vector` (W x H values of T on the device).
  T Compute_Threshold(T alpha, void* vector);

  // Kernel launch operations: queue the kernel on `launch`, then report a launch error.
  void CuCall_Iter_Middle(KernelLaunch_t launch, CudaComplex<T>* z, T* y, unsigned W, unsigned H);
  void CuCall_Iter_Final(KernelLaunch_t launch, CudaComplex<T>* z, T* m, T* acc, unsigned W,
                         unsigned H);
  void CuCall_Threshold(KernelLaunch_t launch, T* a, T s, T* out, unsigned W, unsigned H);
  void CuCall_Criterion_L0(KernelLaunch_t launch, T* a, T* b, T* c, T* d, T* pos, T* neg,
                           unsigned W, unsigned H);
  void CuCall_Criterion_L1(KernelLaunch_t launch, T* a, T* b, T* out, unsigned W, unsigned H);
  void CuCall_ComputeGradian(KernelLaunch_t launch, T* grad, T* d, T* x, T lambda, unsigned W,
                             unsigned H);
  void CuCall_UpdateMapping(KernelLaunch_t launch, T* x, T s, T* g, unsigned W, unsigned H);
  void CuCall_Addition(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H);
  void CuCall_Subtract(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H);
  void CuCall_Real2Complex(KernelLaunch_t launch, T* in, CudaComplex<T>* out, unsigned W,
                           unsigned H);
  void CuCall_FFTShift2D_C(KernelLaunch_t launch, CudaComplex<T>* in, CudaComplex<T>* out,
                           unsigned W, unsigned H);
  void CuCall_FFTShift2D_R(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H);
  void CuCall_R2C(KernelLaunch_t launch, T* in, CudaComplex<T>* out, unsigned W, unsigned H);
  void CuCall_Abs(KernelLaunch_t launch, CudaComplex<T>* z, T* out, unsigned W, unsigned H);
  void CuCall_EstimateWidefield(KernelLaunch_t launch, T* stack, T* out, unsigned W, unsigned H,
                                unsigned F);
  void CuCall_Col2Row(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H);
  void CuCall_Row2Col(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H);
  void CuCall_Normalize(KernelLaunch_t launch, CudaComplex<T>* z, unsigned W, unsigned H);
  void CuCall_MM_Mult_RR(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H);
  void CuCall_MM_Mult_CR(KernelLaunch_t launch, CudaComplex<T>* z, T* r, CudaComplex<T>* out,
                         unsigned W, unsigned H);

  // Status handlers: return on success, otherwise throw std::runtime_error naming the
  // failure, the source unit `file` and the `line` of the call.
  static void Handle_Error(cudaError status, const char* file, int line);
  static void Handle_CuFFT(cufftResult_t result, const char* file, int line);
  static void Handle_CuBLAS(cublasStatus_t status, const char* file, int line);
};

extern template class Korvex<float>;
extern template class Korvex<double>;
