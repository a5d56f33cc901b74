// The launch operations of Korvex<T>: each queues its kernel on the record's grid, block and
// stream, then reports whatever launch error the runtime recorded for this thread. Neither
// step waits for the device.
#include "Korvex.h"
#include "elementwise_kernels.h"
#include "gpu_launch.h"
#include "layout_kernels.h"

namespace {

constexpr const char* kUnit = "Korvex_Kernels";

}  // namespace

template <typename T>
void Korvex<T>::CuCall_Iter_Middle(KernelLaunch_t launch, CudaComplex<T>* z, T* y, unsigned W,
                                   unsigned H) {
  KORVEX_LAUNCH(Cuda_Iter_Middle<T>, launch, z, y, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Iter_Final(KernelLaunch_t launch, CudaComplex<T>* z, T* m, T* acc,
                                  unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Iter_Final<T>, launch, z, m, acc, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Threshold(KernelLaunch_t launch, T* a, T s, T* out, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Threshold<T>, launch, a, s, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Criterion_L0(KernelLaunch_t launch, T* a, T* b, T* c, T* d, T* pos, T* neg,
                                    unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Criterion_L0<T>, launch, a, b, c, d, pos, neg, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Criterion_L1(KernelLaunch_t launch, T* a, T* b, T* out, unsigned W,
                                    unsigned H) {
  KORVEX_LAUNCH(Cuda_Criterion_L1<T>, launch, a, b, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_ComputeGradian(KernelLaunch_t launch, T* grad, T* d, T* x, T lambda,
                                      unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_ComputeGrad<T>, launch, grad, d, x, lambda, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

// Callers pass the step before the gradient; the kernel takes the gradient first.
template <typename T>
void Korvex<T>::CuCall_UpdateMapping(KernelLaunch_t launch, T* x, T s, T* g, unsigned W,
                                     unsigned H) {
  KORVEX_LAUNCH(Cuda_UpdateMapping<T>, launch, x, g, s, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Addition(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Addition<T>, launch, a, b, c, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Subtract(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Subtraction<T>, launch, a, b, c, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Real2Complex(KernelLaunch_t launch, T* in, CudaComplex<T>* out, unsigned W,
                                    unsigned H) {
  KORVEX_LAUNCH(Cuda_Real2Complex<T>, launch, in, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

// The halves and parities are worked out here so that the shift kernels need no division.
template <typename T>
void Korvex<T>::CuCall_FFTShift2D_C(KernelLaunch_t launch, CudaComplex<T>* in, CudaComplex<T>* out,
                                    unsigned W, unsigned H) {
  const unsigned hw = W >> 1, hh = H >> 1, ow = W & 1u, oh = H & 1u;
  KORVEX_LAUNCH(FFTShift2D_C<T>, launch, in, out, W, H, hw, hh, ow, oh);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_FFTShift2D_R(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H) {
  const unsigned hw = W >> 1, hh = H >> 1, ow = W & 1u, oh = H & 1u;
  KORVEX_LAUNCH(FFTShift2D_R<T>, launch, in, out, W, H, hw, hh, ow, oh);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_R2C(KernelLaunch_t launch, T* in, CudaComplex<T>* out, unsigned W,
                           unsigned H) {
  KORVEX_LAUNCH(Cuda_R2C<T>, launch, in, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Abs(KernelLaunch_t launch, CudaComplex<T>* z, T* out, unsigned W,
                           unsigned H) {
  KORVEX_LAUNCH(Cuda_Abs<T>, launch, z, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_EstimateWidefield(KernelLaunch_t launch, T* stack, T* out, unsigned W,
                                         unsigned H, unsigned F) {
  KORVEX_LAUNCH(Cuda_EstimateWidefield<T>, launch, stack, out, W, H, F);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Col2Row(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Col2RowKernel<T>, launch, in, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Row2Col(KernelLaunch_t launch, T* in, T* out, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Row2ColKernel<T>, launch, in, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_Normalize(KernelLaunch_t launch, CudaComplex<T>* z, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_Ifft_Normalize<T>, launch, z, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_MM_Mult_RR(KernelLaunch_t launch, T* a, T* b, T* c, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_MM_Mult_RR<T>, launch, a, b, c, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

template <typename T>
void Korvex<T>::CuCall_MM_Mult_CR(KernelLaunch_t launch, CudaComplex<T>* z, T* r,
                                  CudaComplex<T>* out, unsigned W, unsigned H) {
  KORVEX_LAUNCH(Cuda_MM_Mult_CR<T>, launch, z, r, out, W, H);
  Handle_Error(cudaGetLastError(), kUnit, __LINE__);
}

// The class is instantiated in Korvex.cpp, where these definitions are not visible; each
// launch operation is instantiated here, and with it the kernels it launches.
#define KORVEX_INSTANTIATE_LAUNCHES(T)                                                             \
  template void Korvex<T>::CuCall_Iter_Middle(KernelLaunch_t, CudaComplex<T>*, T*, unsigned,       \
                                              unsigned);                                           \
  template void Korvex<T>::CuCall_Iter_Final(KernelLaunch_t, CudaComplex<T>*, T*, T*, unsigned,    \
                                             unsigned);                                            \
  template void Korvex<T>::CuCall_Threshold(KernelLaunch_t, T*, T, T*, unsigned, unsigned);        \
  template void Korvex<T>::CuCall_Criterion_L0(KernelLaunch_t, T*, T*, T*, T*, T*, T*, unsigned,   \
                                               unsigned);                                          \
  template void Korvex<T>::CuCall_Criterion_L1(KernelLaunch_t, T*, T*, T*, unsigned, unsigned);    \
  template void Korvex<T>::CuCall_ComputeGradian(KernelLaunch_t, T*, T*, T*, T, unsigned,          \
                                                 unsigned);                                        \
  template void Korvex<T>::CuCall_UpdateMapping(KernelLaunch_t, T*, T, T*, unsigned, unsigned);    \
  template void Korvex<T>::CuCall_Addition(KernelLaunch_t, T*, T*, T*, unsigned, unsigned);        \
  template void Korvex<T>::CuCall_Subtract(KernelLaunch_t, T*, T*, T*, unsigned, unsigned);        \
  template void Korvex<T>::CuCall_Real2Complex(KernelLaunch_t, T*, CudaComplex<T>*, unsigned,      \
                                               unsigned);                                          \
  template void Korvex<T>::CuCall_FFTShift2D_C(KernelLaunch_t, CudaComplex<T>*, CudaComplex<T>*,   \
                                               unsigned, unsigned);                                \
  template void Korvex<T>::CuCall_FFTShift2D_R(KernelLaunch_t, T*, T*, unsigned, unsigned);        \
  template void Korvex<T>::CuCall_R2C(KernelLaunch_t, T*, CudaComplex<T>*, unsigned, unsigned);    \
  template void Korvex<T>::CuCall_Abs(KernelLaunch_t, CudaComplex<T>*, T*, unsigned, unsigned);    \
  template void Korvex<T>::CuCall_EstimateWidefield(KernelLaunch_t, T*, T*, unsigned, unsigned,    \
                                                    unsigned);                                     \
  template void Korvex<T>::CuCall_Col2Row(KernelLaunch_t, T*, T*, unsigned, unsigned);             \
  template void Korvex<T>::CuCall_Row2Col(KernelLaunch_t, T*, T*, unsigned, unsigned);             \
  template void Korvex<T>::CuCall_Normalize(KernelLaunch_t, CudaComplex<T>*, unsigned, unsigned);  \
  template void Korvex<T>::CuCall_MM_Mult_RR(KernelLaunch_t, T*, T*, T*, unsigned, unsigned);      \
  template void Korvex<T>::CuCall_MM_Mult_CR(KernelLaunch_t, CudaComplex<T>*, T*, CudaComplex<T>*, \
                                             unsigned, unsigned);

KORVEX_INSTANTIATE_LAUNCHES(float)
KORVEX_INSTANTIATE_LAUNCHES(double)
