// The calling thread's thread count for the core: what the host backend's team and FFTW's
// transforms use for a call made from this thread. It is OpenMP's per-thread count, so
// OMP_NUM_THREADS, omp_set_num_threads and threadpoolctl set the same value; a build without
// OpenMP (the cuda backend) runs its host work on the calling thread and reports 1.
#include <stdexcept>
#include <string>

#if defined(_OPENMP)
#include <omp.h>
#endif

#include "core_calls.h"

namespace korvex::python {

namespace {

int Threads() {
#if defined(_OPENMP)
  return omp_get_max_threads();
#else
  return 1;
#endif
}

void Set_Threads(int threads) {
  if (threads < 1) {
    throw std::invalid_argument("threads must be at least 1, got " + std::to_string(threads));
  }
#if defined(_OPENMP)
  omp_set_num_threads(threads);
#endif
}

}  // namespace

void Bind_Threads(nb::module_& m) {
  m.def("threads", &Threads,
        "The number of threads a core call made from this thread may use.");
  m.def("set_threads", &Set_Threads, nb::arg("threads"),
        "Sets the number of threads core calls made from this thread may use.");
}

}  // namespace korvex::python
