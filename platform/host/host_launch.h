// Kernel launches on the host backend, included through gpu_launch.h.
//
// A kernel is an ordinary C++ function whose body runs every thread of its grid in one
// call: KORVEX_FOR_EACH_PIXEL expands to plain row and column
// loops bounded by the grid of the launch in progress and by the image, so the compiler
// sees a vectorisable loop and no per-pixel call or thread-local read remains. A large launch
// calls the kernel once on each thread of the worker team (host_team.h), and its pixel loops
// hand out blocks of rows to whichever thread asks next. A kernel with two pixel loops gets
// no barrier between them: a thread may start the second while others are still in the first,
// so the second must not read or write what the first writes (every kernel has one loop).
//
// Single-precision kernels run with subnormals flushed to zero, as nvcc builds them for the
// GPU (-ftz=true); double-precision kernels keep IEEE semantics. The x86 control word that
// sets this is per thread, so each thread of a kernel's team sets its own for the kernel's
// duration and restores it afterwards: no code outside a float kernel runs flushed.
#pragma once

#include <type_traits>
#include <utility>

#if defined(__SSE__)
#include <xmmintrin.h>
#endif

#include "host_runtime.h"

namespace korvex::host {

// The part of the launch grid a kernel body visits: threads with x >= W or y >= H do
// nothing, and threads past the grid do not exist, so both limits clip the loops.
struct PixelRange {
  unsigned cols;    // min(grid.x * block.x, W)
  unsigned rows;    // min(grid.y * block.y, H)
  unsigned repeat;  // grid.z * block.z: threads that differ only in z run the body again
  bool parallel;    // worth spreading the rows over threads
  bool flush;       // single precision: subnormal operands and results are zero
};

// Validates the configuration as the vendor's runtime does (zero extents, more than 1024
// threads a block, block z above 64, grid y or z above 65535, unknown stream) and consults
// the fault injector. On failure records the status as the thread's last error and returns
// false; the kernel must then not run. On success makes (grid, block) the current launch.
bool begin_launch(dim3 grid, dim3 block, cudaStream_t stream, bool flush = false);
void end_launch();

// Runs the current launch's kernel: on the worker team (host_team.h) when its grid is large
// enough to share, each thread of the team calling kernel(context) in the launch's
// floating-point mode; the pixel loops inside share the rows out (RowBlocks). Code of a kernel
// outside its pixel loops runs once per thread, as on the GPU.
void run_kernel(void (*kernel)(void*), void* context);

// The pixel range of the current launch for an image of W x H.
PixelRange current_pixel_range(unsigned W, unsigned H);

// The rows of one pixel loop that the calling thread runs: blocks of rows claimed one after
// the other from what the loop's threads share, or all rows at once outside a team.
class RowBlocks {
 public:
  explicit RowBlocks(const PixelRange& range);
  bool next();
  unsigned first() const { return first_; }
  unsigned last() const { return last_; }

 private:
  unsigned rows_;
  unsigned block_ = 0;
  void* shared_ = nullptr;  // the loop's claim counter; null: this thread runs every row
  unsigned first_ = 0;
  unsigned last_ = 0;
  bool pending_ = true;
};

// A kernel is single precision when a parameter points to float or to a complex of floats.
template <class P, class = void>
struct PointsToFloats : std::is_same<std::remove_cv_t<std::remove_pointer_t<P>>, float> {};
template <class P>
struct PointsToFloats<P, std::void_t<decltype(std::declval<std::remove_pointer_t<P>&>().re)>>
    : std::is_same<std::remove_cv_t<std::remove_reference_t<
                       decltype(std::declval<std::remove_pointer_t<P>&>().re)>>,
                   float> {};

template <class Kernel>
struct SinglePrecision;
template <class... Params>
struct SinglePrecision<void(Params...)>
    : std::bool_constant<(... || (std::is_pointer_v<Params> && PointsToFloats<Params>::value))> {};

template <class Kernel, class Body>
void launch_kernel(dim3 grid, dim3 block, cudaStream_t stream, Body&& body) {
  if (!begin_launch(grid, block, stream, SinglePrecision<Kernel>::value)) return;
  run_kernel([](void* context) { (*static_cast<std::remove_reference_t<Body>*>(context))(); },
             &body);
  end_launch();
}

// While it lives, the calling thread flushes subnormals to zero (FTZ and DAZ) if asked to.
class FloatMode {
 public:
  explicit FloatMode(bool flush) : flush_(flush) {
#if defined(__SSE__)
    if (flush_) {
      saved_ = _mm_getcsr();
      _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
    }
#endif
  }
  // Only the two mode bits go back: exception flags the kernel raised stay raised.
  ~FloatMode() {
#if defined(__SSE__)
    if (flush_) {
      const unsigned mode = kFlushToZero | kDenormalsAreZero;
      _mm_setcsr((_mm_getcsr() & ~mode) | (saved_ & mode));
    }
#endif
  }
  FloatMode(const FloatMode&) = delete;
  FloatMode& operator=(const FloatMode&) = delete;

 private:
  static constexpr unsigned kFlushToZero = 0x8000;
  static constexpr unsigned kDenormalsAreZero = 0x0040;
  bool flush_;
  unsigned saved_ = 0;
};

}  // namespace korvex::host

#define KORVEX_GLOBAL
#define KORVEX_DEVICE inline
#define KORVEX_LAUNCH(kernel, launch, ...)                                                      \
  korvex::host::launch_kernel<decltype(kernel)>((launch).grid, (launch).block, (launch).stream, \
                                                [&] { kernel(__VA_ARGS__); })
#define KORVEX_FOR_EACH_PIXEL(x, y, W, H)                                                     \
  const korvex::host::PixelRange korvex_range_ = korvex::host::current_pixel_range((W), (H)); \
  for (unsigned korvex_z_ = 0; korvex_z_ < korvex_range_.repeat; ++korvex_z_)                 \
    for (korvex::host::RowBlocks korvex_rows_(korvex_range_); korvex_rows_.next();)           \
      for (unsigned y = korvex_rows_.first(); y < korvex_rows_.last(); ++y)                   \
        for (unsigned x = 0; x < korvex_range_.cols; ++x)
