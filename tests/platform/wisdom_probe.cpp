// A process of its own for the wisdom tests, so that each run starts with FFTW knowing
// nothing but what it reads from disk:
//
//   wisdom_probe plan ROWS COLS    plans a single-precision ROWS x COLS transform through
//                                  cufftPlan2d; exit 0 when planned
//   wisdom_probe known ROWS COLS   plans another size (which reads the wisdom), then asks FFTW
//                                  whether its wisdom already holds the measured plan of
//                                  ROWS x COLS; exit 0 when it does, 3 when not
#include <fftw3.h>

#include <cstdlib>
#include <cstring>

#include "gpu.h"

namespace {

bool Plan(int rows, int cols) {
  cufftHandle plan = 0;
  if (cufftPlan2d(&plan, rows, cols, CUFFT_C2C) != CUFFT_SUCCESS) return false;
  return cufftDestroy(plan) == CUFFT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const int rows = std::atoi(argv[2]);
  const int cols = std::atoi(argv[3]);
  if (std::strcmp(argv[1], "plan") == 0) return Plan(rows, cols) ? 0 : 1;
  if (std::strcmp(argv[1], "known") != 0 || !Plan(3, 5)) return 2;
  // As cufftPlan2d plans it first: in place, forward, aligned arrays, one thread at this size.
  fftwf_complex* data = fftwf_alloc_complex(static_cast<size_t>(rows) * cols);
  const fftwf_plan known = fftwf_plan_dft_2d(rows, cols, data, data, FFTW_FORWARD,
                                             FFTW_MEASURE | FFTW_WISDOM_ONLY);
  const bool found = known != nullptr;
  if (known) fftwf_destroy_plan(known);
  fftwf_free(data);
  return found ? 0 : 3;
}
