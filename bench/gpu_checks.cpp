// gpu_checks: what only a real GPU can answer about the engine, one summary line a check.
//
//   gpu_checks                      arrays sharing pages with each other, 1 x N and N x 1
//                                   images through the FFT library
//   gpu_checks --expect-refusal     in a build for none of this GPU's architectures: the
//                                   constructor refuses the device with its message
//
// Exits 1 when a check fails. Builds for either backend, so the checks can be rehearsed on
// the host.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "Korvex.h"
#include "bench_data.h"

namespace {

using korvex::bench::Acquisition;
using korvex::bench::make_acquisition;

int failures = 0;

void report(const char* check, bool passed, const std::string& detail) {
  std::printf("gpu check %-26s %s  %s\n", check, passed ? "PASS" : "FAIL", detail.c_str());
  if (!passed) ++failures;
}

template <typename T>
std::vector<T> reconstruct(unsigned W, unsigned H, unsigned F, T* image, T* masks, T* otf) {
  std::vector<T> output(size_t{W} * H);
  Korvex<T> engine(W, H, F, 20);
  engine.Mapsim_Compute(image, otf, masks, output.data(), T(0), T(0.01), T(0.05));
  return output;
}

// Small MATLAB arrays share pages: registering the second range of a page meets the first.
// The result must match that of arrays on pages of their own.
template <typename T>
void shared_pages(const char* check) {
  Acquisition<T> a = make_acquisition<T>(8, 6, 3);
  const size_t stack = a.image.size(), image = a.otf.size();
  const std::vector<T> apart =
      reconstruct<T>(a.width, a.height, a.frames, a.image.data(), a.masks.data(), a.otf.data());
  std::vector<T> packed(2 * stack + 2 * image);  // one allocation of a few hundred bytes
  std::memcpy(packed.data(), a.image.data(), stack * sizeof(T));
  std::memcpy(packed.data() + stack, a.masks.data(), stack * sizeof(T));
  std::memcpy(packed.data() + 2 * stack, a.otf.data(), image * sizeof(T));
  T* output = packed.data() + 2 * stack + image;
  Korvex<T> engine(a.width, a.height, a.frames, 20);
  engine.Mapsim_Compute(packed.data(), packed.data() + 2 * stack, packed.data() + stack, output,
                        T(0), T(0.01), T(0.05));
  const bool same = std::memcmp(output, apart.data(), image * sizeof(T)) == 0;
  report(check, same, same ? "same image as separate arrays" : "images differ");
}

// A 1 x N and an N x 1 image hold the same values in the same order: both geometries run one
// 1-D transform of N points and must agree.
template <typename T>
void thin_images(const char* check, unsigned N) {
  Acquisition<T> a = make_acquisition<T>(N, 1, 3);
  const std::vector<T> row =
      reconstruct<T>(N, 1, 3, a.image.data(), a.masks.data(), a.otf.data());
  const std::vector<T> column =
      reconstruct<T>(1, N, 3, a.image.data(), a.masks.data(), a.otf.data());
  double largest = 0, difference = 0;
  bool finite = true;
  for (size_t i = 0; i < row.size(); ++i) {
    finite = finite && std::isfinite(row[i]) && std::isfinite(column[i]);
    largest = std::max(largest, std::fabs(double(row[i])));
    difference = std::max(difference, std::fabs(double(row[i]) - double(column[i])));
  }
  const double relative = largest > 0 ? difference / largest : 0;
  const double tolerance = sizeof(T) == 4 ? 1e-4 : 1e-10;
  char detail[96];
  std::snprintf(detail, sizeof detail, "N = %u, relative difference %.2e", N, relative);
  report(check, finite && largest > 0 && relative <= tolerance, detail);
}

void expect_refusal() {
  const std::string wanted = "KorvexCUDA : Internal Error. Device Architecture Not Supported\n";
  try {
    Korvex<float> engine(64, 64, 9, 10);
    report("architecture-refusal", false, "the engine was built");
  } catch (const std::runtime_error& error) {
    const std::string text = error.what();
    const bool refused = text.size() >= wanted.size() &&
                         text.compare(text.size() - wanted.size(), wanted.size(), wanted) == 0;
    std::string first = text.substr(0, text.find('\n'));
    report("architecture-refusal", refused, refused ? first : "other error: " + text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc > 1 && std::strcmp(argv[1], "--expect-refusal") == 0) {
      expect_refusal();
    } else {
      shared_pages<float>("shared-pages float");
      shared_pages<double>("shared-pages double");
      for (unsigned N : {64u, 1000u}) {
        thin_images<float>("thin-images float", N);
        thin_images<double>("thin-images double", N);
      }
    }
  } catch (const std::exception& error) {
    report("unexpected-exception", false, error.what());
  }
  return failures == 0 ? 0 : 1;
}
