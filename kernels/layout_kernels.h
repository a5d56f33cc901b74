// The layout kernels: conversions between MATLAB's column-major order (index col * H + row)
// and the device's row-major order (index row * W + col), and the quadrant swap that moves
// the centre of a centred spectrum to the origin. Each thread moves one element; in and out
// must be different buffers.
//
// Included only by Korvex_Kernels.cu, which launches them.
#pragma once

#include "gpu_launch.h"
#include "kernel_math.h"
#include "kernel_types.h"

namespace korvex::kernels {

// Destination of position p on an axis of n = 2 * half + odd positions, as MATLAB's
// ifftshift places it: the lower half moves up by n - half = half + odd, the upper part
// (which holds the middle element of an odd axis) moves down to the origin.
KORVEX_DEVICE unsigned shifted_position(unsigned p, unsigned half, unsigned odd) {
  return p < half ? p + half + odd : p - half;
}

}  // namespace korvex::kernels

using korvex::kernels::at;
using korvex::kernels::shifted_position;

// Writes are the coalesced side: consecutive col in consecutive threads.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Col2RowKernel(T* in, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) { out[at(col, row, W)] = in[at(row, col, H)]; }
}

// Reads are the coalesced side.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Row2ColKernel(T* in, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) { out[at(row, col, H)] = in[at(col, row, W)]; }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void FFTShift2D_R(T* in, T* out, unsigned W, unsigned H,
                                                   unsigned hw, unsigned hh, unsigned ow,
                                                   unsigned oh) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const T v = in[at(col, row, W)];
    out[at(shifted_position(col, hw, ow), shifted_position(row, hh, oh), W)] = v;
  }
}

// A complex element moves whole: real part stored first, then the imaginary part.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void FFTShift2D_C(CudaComplex<T>* in, CudaComplex<T>* out,
                                                   unsigned W, unsigned H, unsigned hw, unsigned hh,
                                                   unsigned ow, unsigned oh) {
  KORVEX_FOR_EACH_PIXEL(col, row, W, H) {
    const CudaComplex<T> v = in[at(col, row, W)];
    CudaComplex<T>& to = out[at(shifted_position(col, hw, ow), shifted_position(row, hh, oh), W)];
    to.re = v.re;
    to.im = v.im;
  }
}

// Col2RowKernel and Row2ColKernel by tiles of 8 x 8, one tile a thread: each thread reads 8
// runs of 8 adjacent elements and writes 8 runs of 8 adjacent ones, so both sides use whole
// runs of memory where the one-element forms stride through one of them. Launched over
// ceil(W / 8) x ceil(H / 8) tiles.
template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Col2Row_Tiles(T* in, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(tileCol, tileRow, (W + 7) / 8, (H + 7) / 8) {
    const unsigned colEnd = tileCol * 8 + 8 < W ? tileCol * 8 + 8 : W;
    const unsigned rowEnd = tileRow * 8 + 8 < H ? tileRow * 8 + 8 : H;
    for (unsigned col = tileCol * 8; col < colEnd; ++col) {
      for (unsigned row = tileRow * 8; row < rowEnd; ++row) {
        out[at(col, row, W)] = in[at(row, col, H)];
      }
    }
  }
}

template <typename T>
KORVEX_HOST_CLONES KORVEX_GLOBAL void Row2Col_Tiles(T* in, T* out, unsigned W, unsigned H) {
  KORVEX_FOR_EACH_PIXEL(tileCol, tileRow, (W + 7) / 8, (H + 7) / 8) {
    const unsigned colEnd = tileCol * 8 + 8 < W ? tileCol * 8 + 8 : W;
    const unsigned rowEnd = tileRow * 8 + 8 < H ? tileRow * 8 + 8 : H;
    for (unsigned col = tileCol * 8; col < colEnd; ++col) {
      for (unsigned row = tileRow * 8; row < rowEnd; ++row) {
        out[at(row, col, H)] = in[at(col, row, W)];
      }
    }
  }
}
