// CPU implementation of the cuFFT operations Korvex uses, on FFTW.
// Codes, types and sign conventions are those of the vendor's library: transforms are
// unnormalised, CUFFT_FORWARD is -1, and a plan serves in-place and out-of-place execution.
#pragma once

#include <cstddef>

typedef int cufftHandle;

typedef enum cufftResult_t {
  CUFFT_SUCCESS = 0x0,
  CUFFT_INVALID_PLAN = 0x1,
  CUFFT_ALLOC_FAILED = 0x2,
  CUFFT_INVALID_TYPE = 0x3,
  CUFFT_INVALID_VALUE = 0x4,
  CUFFT_INTERNAL_ERROR = 0x5,
  CUFFT_EXEC_FAILED = 0x6,
  CUFFT_SETUP_FAILED = 0x7,
  CUFFT_INVALID_SIZE = 0x8,
  CUFFT_UNALIGNED_DATA = 0x9,
  CUFFT_INVALID_DEVICE = 0xB,
  CUFFT_NO_WORKSPACE = 0xD,
  CUFFT_NOT_IMPLEMENTED = 0xE,
  CUFFT_NOT_SUPPORTED = 0x10
} cufftResult;

typedef enum cufftType_t {
  CUFFT_R2C = 0x2a,
  CUFFT_C2R = 0x2c,
  CUFFT_C2C = 0x29,
  CUFFT_D2Z = 0x6a,
  CUFFT_Z2D = 0x6c,
  CUFFT_Z2Z = 0x69
} cufftType;

#define CUFFT_FORWARD -1
#define CUFFT_INVERSE 1

struct float2 {
  float x, y;
};
struct double2 {
  double x, y;
};
typedef float cufftReal;
typedef double cufftDoubleReal;
typedef float2 cufftComplex;
typedef double2 cufftDoubleComplex;

cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type);
// Batches of one-dimensional transforms (rank 1 only; other ranks: CUFFT_NOT_IMPLEMENTED):
// `batch` transforms of n[0] points, point k of transform b at b * idist + k * istride of the
// input and b * odist + k * ostride of the output, in elements of each array's type (a real
// transform's half spectrum holds n[0] / 2 + 1 points). Without both inembed and onembed the
// layout is the basic one, transforms one after the other. Executed like the 2-D plans, on
// any arrays that hold the layout.
cufftResult cufftPlanMany(cufftHandle* plan, int rank, int* n, int* inembed, int istride,
                          int idist, int* onembed, int ostride, int odist, cufftType type,
                          int batch);
// The work area a plan of this size would take: here one complex image of the plan's type,
// the size of the vendor's out-of-place work area for most sizes.
cufftResult cufftEstimate2d(int nx, int ny, cufftType type, size_t* workSize);
cufftResult cufftExecC2C(cufftHandle plan, cufftComplex* idata, cufftComplex* odata, int direction);
cufftResult cufftExecZ2Z(cufftHandle plan, cufftDoubleComplex* idata, cufftDoubleComplex* odata,
                         int direction);
// Real transforms (R2C, C2R, D2Z, Z2D plans): a real nx x ny image to its nx x (ny / 2 + 1)
// non-negative frequencies and back, unnormalised, out of place only (in place:
// CUFFT_NOT_SUPPORTED). The inverse may overwrite its input.
cufftResult cufftExecR2C(cufftHandle plan, cufftReal* idata, cufftComplex* odata);
cufftResult cufftExecC2R(cufftHandle plan, cufftComplex* idata, cufftReal* odata);
cufftResult cufftExecD2Z(cufftHandle plan, cufftDoubleReal* idata, cufftDoubleComplex* odata);
cufftResult cufftExecZ2D(cufftHandle plan, cufftDoubleComplex* idata, cufftDoubleReal* odata);
cufftResult cufftDestroy(cufftHandle plan);
