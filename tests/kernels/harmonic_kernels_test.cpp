// The kernels that treat two orientations in one pass against the one-orientation kernels run
// one after the other, on every test size and in both precisions.
#include <cmath>
#include <limits>

#include "kernel_test_support.h"

namespace korvex::test {
namespace {

template <typename T>
class HarmonicKernels : public EngineTest<T> {};
TYPED_TEST_SUITE(HarmonicKernels, Precisions);

template <typename T>
using Complex = CudaComplex<T>;

// Phase tables of unit values e^{i k col} and e^{i k row} (the kernels read the column table of
// E1 at [0, W) and the row table at [W, W + H)), of 2 (W + H) values like the engine's.
template <typename T>
std::vector<Complex<T>> Tables(unsigned W, unsigned H, double kx, double ky) {
  std::vector<Complex<T>> t(2 * (size_t{W} + H));
  for (unsigned c = 0; c < W; ++c) t[c] = {T(std::cos(kx * c)), T(std::sin(kx * c))};
  for (unsigned r = 0; r < H; ++r) t[W + r] = {T(std::cos(ky * r)), T(std::sin(ky * r))};
  return t;
}

TYPED_TEST(HarmonicKernels, PairsMatchTheOrientationsOneAfterTheOther) {
  using T = TypeParam;
  using C = Complex<T>;
  auto& engine = this->engine();
  std::vector<ImageSize> sizes = kSizes;
  sizes.push_back({31, 19});
  for (const ImageSize size : sizes) {
    SCOPED_TRACE(Describe(size));
    const unsigned W = size.W, H = size.H, n = W * H;
    const KernelLaunch_t launch = Launch_For(W, H);
    const DeviceBuffer<C> tablesA(Tables<T>(W, H, 0.7, -1.3)), tablesB(Tables<T>(W, H, -0.4, 2.1));
    const DeviceBuffer<C> weightsA(Random_Values<C>(13, 40)), weightsB(Random_Values<C>(13, 41));
    const DeviceBuffer<T> x(Random_Values<T>(n, 42)), u0(Random_Values<T>(n, 43)),
        from(Random_Values<T>(n, 44));

    DeviceBuffer<C> outA(Canaries<C>(n)), outB(Canaries<C>(n)), pairA(Canaries<C>(n)),
        pairB(Canaries<C>(n));
    engine.CuCall_Modulate(launch, x.get(), tablesA.get(), tablesA.get() + W, outA.get(), W, H);
    engine.CuCall_Modulate(launch, x.get(), tablesB.get(), tablesB.get() + W, outB.get(), W, H);
    engine.CuCall_Modulate_Pair(launch, x.get(), tablesA.get(), tablesB.get(), pairA.get(),
                                pairB.get(), W, H);
    // The host compiler may fuse a multiply and an add of the phase product into one rounding
    // in one kernel's vector loop and not in the other's remainder: an ulp apart at most.
    const double ulps = 4 * std::numeric_limits<T>::epsilon();
    const std::vector<C> wantA = outA.read(), wantB = outB.read();
    Expect_Image(pairA, n, [&](size_t i) { return wantA[i]; }, ulps);
    Expect_Image(pairB, n, [&](size_t i) { return wantB[i]; }, ulps);

    // u_1 of each orientation: unnormalised values, of the size an inverse transform gives.
    std::vector<C> u1a = Random_Values<C>(n, 45), u1b = Random_Values<C>(n, 46);
    for (C& v : u1a) v = {v.re * T(n), v.im * T(n)};
    for (C& v : u1b) v = {v.re * T(n), v.im * T(n)};
    const DeviceBuffer<C> ua(u1a), ub(u1b);
    DeviceBuffer<T> twice(Canaries<T>(n)), once(Canaries<T>(n)), inPlace(Random_Values<T>(n, 44));
    engine.CuCall_Harmonic_Combine_First(launch, u0.get(), ua.get(), tablesA.get(),
                                         weightsA.get(), from.get(), twice.get(), W, H);
    engine.CuCall_Harmonic_Combine_First(launch, u0.get(), ub.get(), tablesB.get(),
                                         weightsB.get(), twice.get(), twice.get(), W, H);
    engine.CuCall_Harmonic_Combine_Pair(launch, u0.get(), ua.get(), ub.get(), tablesA.get(),
                                        tablesB.get(), weightsA.get(), weightsB.get(), from.get(),
                                        once.get(), W, H);
    engine.CuCall_Harmonic_Combine_Pair(launch, u0.get(), ua.get(), ub.get(), tablesA.get(),
                                        tablesB.get(), weightsA.get(), weightsB.get(),
                                        inPlace.get(), inPlace.get(), W, H);
    const std::vector<T> want = twice.read();
    Expect_Image(once, n, [&](size_t i) { return want[i]; });
    Expect_Image(inPlace, n, [&](size_t i) { return want[i]; });
  }
}

}  // namespace
}  // namespace korvex::test
