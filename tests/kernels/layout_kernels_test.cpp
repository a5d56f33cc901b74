// Layout kernels: MATLAB column-major order to device row-major order and back, and the
// quadrant swap, which must equal MATLAB's ifftshift for every size.
#include <vector>

#include "kernel_test_support.h"

namespace korvex::test {
namespace {

template <typename T>
class LayoutKernels : public EngineTest<T> {};
TYPED_TEST_SUITE(LayoutKernels, Precisions);

// 100 * row + col, so that a misplaced value tells where it came from.
template <typename T>
T Tag(size_t row, size_t col) {
  return T(100 * row + col);
}

TYPED_TEST(LayoutKernels, ColumnMajorToRowMajorAndBack) {
  using T = TypeParam;
  std::vector<ImageSize> sizes = kSizes;
  sizes.insert(sizes.end(), {{3, 5}, {16, 8}, {19, 9}});
  for (const ImageSize size : sizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    std::vector<T> matlab(n);  // element (row, col) of an H x W MATLAB matrix at col * H + row
    for (size_t col = 0; col < W; ++col)
      for (size_t row = 0; row < H; ++row) matlab[col * H + row] = Tag<T>(row, col);
    const DeviceBuffer<T> host_order(matlab);
    DeviceBuffer<T> device_order(Canaries<T>(n)), back(Canaries<T>(n));

    this->engine().CuCall_Col2Row(Launch_For(W, H), host_order.get(), device_order.get(), W, H);
    Expect_Image(device_order, n, [&](size_t i) { return Tag<T>(i / W, i % W); });
    this->engine().CuCall_Row2Col(Launch_For(W, H), device_order.get(), back.get(), W, H);
    Expect_Image(back, n, [&](size_t i) { return matlab[i]; });

    // The same conversions by tiles of 8 x 8, partial tiles at the right and bottom edges.
    DeviceBuffer<T> tiled(Canaries<T>(n));
    this->engine().CuCall_Col2Row_Tiles(Launch_For((W + 7) / 8, (H + 7) / 8), host_order.get(),
                                        tiled.get(), W, H);
    Expect_Image(tiled, n, [&](size_t i) { return Tag<T>(i / W, i % W); });
    DeviceBuffer<T> tiledBack(Canaries<T>(n));
    this->engine().CuCall_Row2Col_Tiles(Launch_For((W + 7) / 8, (H + 7) / 8), device_order.get(),
                                        tiledBack.get(), W, H);
    Expect_Image(tiledBack, n, [&](size_t i) { return matlab[i]; });
  }
}

// MATLAB's ifftshift along one axis of n: x(idx) with idx = [floor(n/2)+1 : n, 1 : floor(n/2)].
std::vector<size_t> Ifftshift_Source(size_t n) {
  std::vector<size_t> source;
  for (size_t k = n / 2; k < n; ++k) source.push_back(k);
  for (size_t k = 0; k < n / 2; ++k) source.push_back(k);
  return source;
}

// Odd and even sizes; 7 x 4 is the one whose halves and parities are 3, 2, 1, 0.
TYPED_TEST(LayoutKernels, ShiftIsIfftshift) {
  using T = TypeParam;
  using C = CudaComplex<T>;
  std::vector<ImageSize> sizes = kSizes;
  sizes.insert(sizes.end(), {{7, 4}, {4, 7}, {5, 5}, {2, 2}, {8, 8}, {1, 1}, {3, 1}});
  for (const ImageSize size : sizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const std::vector<size_t> from_col = Ifftshift_Source(W), from_row = Ifftshift_Source(H);
    auto want = [&](size_t i) { return from_row[i / W] * W + from_col[i % W]; };

    const DeviceBuffer<T> real(Random_Values<T>(n, 30));
    DeviceBuffer<T> real_out(Canaries<T>(n));
    this->engine().CuCall_FFTShift2D_R(Launch_For(W, H), real.get(), real_out.get(), W, H);
    Expect_Image(real_out, n, [&](size_t i) { return real[want(i)]; });

    const DeviceBuffer<C> complex(Random_Values<C>(n, 31));
    DeviceBuffer<C> complex_out(Canaries<C>(n));
    this->engine().CuCall_FFTShift2D_C(Launch_For(W, H), complex.get(), complex_out.get(), W, H);
    Expect_Image(complex_out, n, [&](size_t i) { return complex[want(i)]; });
  }
}

TYPED_TEST(LayoutKernels, EvenShiftTwiceIsIdentity) {
  using T = TypeParam;
  for (const ImageSize size : {ImageSize{2, 2}, ImageSize{16, 6}, ImageSize{34, 18}}) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const DeviceBuffer<T> image(Random_Values<T>(n, 32));
    DeviceBuffer<T> once(Canaries<T>(n)), twice(Canaries<T>(n));
    this->engine().CuCall_FFTShift2D_R(Launch_For(W, H), image.get(), once.get(), W, H);
    this->engine().CuCall_FFTShift2D_R(Launch_For(W, H), once.get(), twice.get(), W, H);
    Expect_Image(twice, n, [&](size_t i) { return image[i]; });
  }
}

}  // namespace
}  // namespace korvex::test
