// FFTW as the host cuFFT uses it: one precision's names, and the threads of its transforms.
// Internal to platform/host.
//
// Transforms run their parallel loops on the worker team that runs the kernels
// (host_team.h), so that one set of threads serves the whole iteration. FFTW's loop callback and its
// planner thread count are process-wide, and the process may hold another FFTW user (Octave
// links FFTW's pthreads build, as we do): both are set only around our own planning and
// execution and put back afterwards.
#pragma once

#include <fftw3.h>

#include <cstddef>

namespace korvex::host::detail {

template <class Real>
struct Fftw;

template <>
struct Fftw<float> {
  using complex = fftwf_complex;
  using plan = fftwf_plan;
  static plan make(int n0, int n1, complex* in, complex* out, int sign, unsigned flags) {
    return fftwf_plan_dft_2d(n0, n1, in, out, sign, flags);
  }
  static void execute(plan p, complex* in, complex* out) { fftwf_execute_dft(p, in, out); }
  static void destroy(plan p) { fftwf_destroy_plan(p); }
  static complex* alloc(size_t n) { return fftwf_alloc_complex(n); }
  static void release(complex* p) { fftwf_free(p); }
  static int alignment_of(complex* p) { return fftwf_alignment_of(reinterpret_cast<float*>(p)); }
  // Real transforms: the forward one keeps the n1 / 2 + 1 non-negative frequencies of the
  // last dimension, the inverse one takes them (and may overwrite them).
  using real = float;
  static plan make_r2c(int n0, int n1, real* in, complex* out, unsigned flags) {
    return fftwf_plan_dft_r2c_2d(n0, n1, in, out, flags);
  }
  static plan make_c2r(int n0, int n1, complex* in, real* out, unsigned flags) {
    return fftwf_plan_dft_c2r_2d(n0, n1, in, out, flags);
  }
  static void execute_r2c(plan p, real* in, complex* out) { fftwf_execute_dft_r2c(p, in, out); }
  static void execute_c2r(plan p, complex* in, real* out) { fftwf_execute_dft_c2r(p, in, out); }
  // Batches of one-dimensional transforms of n points, element k of transform b at
  // b * dist + k * stride of each array.
  static plan make_many(int n, int howmany, complex* in, int istride, int idist, complex* out,
                        int ostride, int odist, int sign, unsigned flags) {
    return fftwf_plan_many_dft(1, &n, howmany, in, nullptr, istride, idist, out, nullptr, ostride,
                              odist, sign, flags);
  }
  static plan make_many_r2c(int n, int howmany, real* in, int istride, int idist, complex* out,
                            int ostride, int odist, unsigned flags) {
    return fftwf_plan_many_dft_r2c(1, &n, howmany, in, nullptr, istride, idist, out, nullptr,
                                  ostride, odist, flags);
  }
  static plan make_many_c2r(int n, int howmany, complex* in, int istride, int idist, real* out,
                            int ostride, int odist, unsigned flags) {
    return fftwf_plan_many_dft_c2r(1, &n, howmany, in, nullptr, istride, idist, out, nullptr,
                                  ostride, odist, flags);
  }
};

template <>
struct Fftw<double> {
  using complex = fftw_complex;
  using plan = fftw_plan;
  static plan make(int n0, int n1, complex* in, complex* out, int sign, unsigned flags) {
    return fftw_plan_dft_2d(n0, n1, in, out, sign, flags);
  }
  static void execute(plan p, complex* in, complex* out) { fftw_execute_dft(p, in, out); }
  static void destroy(plan p) { fftw_destroy_plan(p); }
  static complex* alloc(size_t n) { return fftw_alloc_complex(n); }
  static void release(complex* p) { fftw_free(p); }
  static int alignment_of(complex* p) { return fftw_alignment_of(reinterpret_cast<double*>(p)); }
  // Real transforms: the forward one keeps the n1 / 2 + 1 non-negative frequencies of the
  // last dimension, the inverse one takes them (and may overwrite them).
  using real = double;
  static plan make_r2c(int n0, int n1, real* in, complex* out, unsigned flags) {
    return fftw_plan_dft_r2c_2d(n0, n1, in, out, flags);
  }
  static plan make_c2r(int n0, int n1, complex* in, real* out, unsigned flags) {
    return fftw_plan_dft_c2r_2d(n0, n1, in, out, flags);
  }
  static void execute_r2c(plan p, real* in, complex* out) { fftw_execute_dft_r2c(p, in, out); }
  static void execute_c2r(plan p, complex* in, real* out) { fftw_execute_dft_c2r(p, in, out); }
  // Batches of one-dimensional transforms of n points, element k of transform b at
  // b * dist + k * stride of each array.
  static plan make_many(int n, int howmany, complex* in, int istride, int idist, complex* out,
                        int ostride, int odist, int sign, unsigned flags) {
    return fftw_plan_many_dft(1, &n, howmany, in, nullptr, istride, idist, out, nullptr, ostride,
                              odist, sign, flags);
  }
  static plan make_many_r2c(int n, int howmany, real* in, int istride, int idist, complex* out,
                            int ostride, int odist, unsigned flags) {
    return fftw_plan_many_dft_r2c(1, &n, howmany, in, nullptr, istride, idist, out, nullptr,
                                  ostride, odist, flags);
  }
  static plan make_many_c2r(int n, int howmany, complex* in, int istride, int idist, real* out,
                            int ostride, int odist, unsigned flags) {
    return fftw_plan_many_dft_c2r(1, &n, howmany, in, nullptr, istride, idist, out, nullptr,
                                  ostride, odist, flags);
  }
};

// Threads of the plans made while one lives, for transforms of `points` elements: the
// kernels' count (team_size) with FFTW's loops on their team, or one thread for a
// transform too small to share. Construct only with FFTW's planner lock held; the previous
// planner thread count is restored on destruction.
template <class Real>
class PlanningThreads {
 public:
  explicit PlanningThreads(size_t points);
  ~PlanningThreads();
  PlanningThreads(const PlanningThreads&) = delete;
  PlanningThreads& operator=(const PlanningThreads&) = delete;

 private:
  int saved_ = 0;
};

// FFTW's loops on the worker team while one lives (nested lives share one setting).
template <class Real>
class ExecutionThreads {
 public:
  ExecutionThreads();
  ~ExecutionThreads();
  ExecutionThreads(const ExecutionThreads&) = delete;
  ExecutionThreads& operator=(const ExecutionThreads&) = delete;
};

}  // namespace korvex::host::detail
