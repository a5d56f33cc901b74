// cuFFT's two-dimensional transforms and batches of one-dimensional ones on FFTW.
//
// FFTW plans are measured (FFTW_MEASURE) on internal arrays and executed on the caller's
// buffers through FFTW's new-array interface. That interface wants the same in-place-ness
// and alignment as at planning time, so a plan keeps in-place and out-of-place variants for
// each direction. cufftPlan2d measures the forward in-place variant, which proves the size
// plannable; the others are measured when a buffer first needs them, so an engine pays only
// for the variants it executes. FFTW keeps what it measured (its wisdom) for the life of the
// process, so a second plan of the same size is made at once and computes the same values,
// and on disk (host_wisdom.h), so that a later process makes it at once too.
//
// Plans use as many threads as the kernels, on the kernels' worker team (host_fftw.h).
//
// Measured plans differ from process to process, and so does their rounding. Where results
// must repeat bit for bit across processes (a series split over dask workers compared with
// one loop), KORVEX_FFTW_PLANNER=estimate plans by FFTW's deterministic estimate instead,
// without reading or writing wisdom.
#include "host_cufft.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "host_fftw.h"
#include "host_state.h"
#include "host_wisdom.h"

using korvex::host::detail::ExecutionThreads;
using korvex::host::detail::FftPlan;
using korvex::host::detail::Fftw;
using korvex::host::detail::injected;
using korvex::host::detail::load_wisdom;
using korvex::host::detail::Operation;
using korvex::host::detail::PlanningThreads;
using korvex::host::detail::save_wisdom;
using korvex::host::detail::State;
using korvex::host::detail::state;

namespace {

// FFTW_MEASURE unless KORVEX_FFTW_PLANNER=estimate (read once, at the first plan).
unsigned planner_rigour() {
  static const unsigned rigour = [] {
    const char* choice = std::getenv("KORVEX_FFTW_PLANNER");
    return choice != nullptr && std::strcmp(choice, "estimate") == 0 ? FFTW_ESTIMATE : FFTW_MEASURE;
  }();
  return rigour;
}

// FFTW's planner is not thread-safe; its executor is.
std::mutex& planner_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Slot of a variant: [direction][in place][unaligned].
constexpr int kVariants = 8;
int variant(bool inverse, bool in_place, bool unaligned) {
  return (inverse ? 4 : 0) + (in_place ? 2 : 0) + (unaligned ? 1 : 0);
}

// What a plan computes: complex to complex in either direction, or one direction of the
// real transform (real image to its half spectrum, or back).
enum class Kind { kComplex, kRealForward, kRealInverse };

// The arrays a plan transforms: one rows x cols image (cufftPlan2d), or `howmany`
// one-dimensional transforms of n points (cufftPlanMany), point k of transform b at
// b * dist + k * stride of its array, in elements of that array's type. `in` and `out` are
// each array's extent in those elements.
struct Shape {
  bool batched = false;
  int rows = 0, cols = 0;
  int n = 0, howmany = 0, istride = 0, idist = 0, ostride = 0, odist = 0;
  size_t in = 0, out = 0;
};

template <class Real>
class Transform {
 public:
  using F = Fftw<Real>;
  Transform(const Shape& shape, Kind kind) : shape_(shape), kind_(kind) {}
  ~Transform() {
    std::lock_guard<std::mutex> lock(planner_mutex());
    for (auto p : plans_) {
      if (p) F::destroy(p);
    }
  }
  Transform(const Transform&) = delete;
  Transform& operator=(const Transform&) = delete;

  // The variant executed first: forward in place for a complex plan, out of place for a real
  // one (real plans run out of place only); false when FFTW cannot plan this size.
  bool plan_first() {
    return variant_for(kind_ == Kind::kRealInverse, kind_ == Kind::kComplex, false) != nullptr;
  }

  bool execute(typename F::complex* in, typename F::complex* out, bool inverse) {
    return run(in, out, inverse, in == out);
  }
  bool execute_r2c(typename F::real* in, typename F::complex* out) {
    return run(in, out, false, false);
  }
  bool execute_c2r(typename F::complex* in, typename F::real* out) {
    return run(in, out, true, false);
  }

 private:
  template <class In, class Out>
  bool run(In* in, Out* out, bool inverse, bool in_place) {
    const bool unaligned = Misaligned(in) || Misaligned(out);
    const typename F::plan p = variant_for(inverse, in_place, unaligned);
    if (!p) return false;
    const ExecutionThreads<Real> threads;
    if constexpr (std::is_same_v<In, typename F::real>) {
      F::execute_r2c(p, in, out);
    } else if constexpr (std::is_same_v<Out, typename F::real>) {
      F::execute_c2r(p, in, out);
    } else {
      F::execute(p, in, out);
    }
    return true;
  }

  template <class Element>
  static bool Misaligned(Element* p) {
    return F::alignment_of(reinterpret_cast<typename F::complex*>(p)) != 0;
  }

  // Complex elements that hold `count` elements of an array of this kind's input or output.
  size_t complex_room(size_t count, bool real_array) const {
    return real_array ? (count + 1) / 2 : count;
  }

  typename F::plan make(typename F::complex* in, typename F::complex* out, bool inverse,
                        unsigned flags) const {
    using R = typename F::real;
    const Shape& s = shape_;
    if (!s.batched) {
      if (kind_ == Kind::kComplex) {
        return F::make(s.rows, s.cols, in, out, inverse ? FFTW_BACKWARD : FFTW_FORWARD, flags);
      }
      if (kind_ == Kind::kRealForward) {
        return F::make_r2c(s.rows, s.cols, reinterpret_cast<R*>(in), out, flags);
      }
      return F::make_c2r(s.rows, s.cols, in, reinterpret_cast<R*>(out), flags);
    }
    if (kind_ == Kind::kComplex) {
      return F::make_many(s.n, s.howmany, in, s.istride, s.idist, out, s.ostride, s.odist,
                          inverse ? FFTW_BACKWARD : FFTW_FORWARD, flags);
    }
    if (kind_ == Kind::kRealForward) {
      return F::make_many_r2c(s.n, s.howmany, reinterpret_cast<R*>(in), s.istride, s.idist, out,
                              s.ostride, s.odist, flags);
    }
    return F::make_many_c2r(s.n, s.howmany, in, s.istride, s.idist, reinterpret_cast<R*>(out),
                            s.ostride, s.odist, flags);
  }

  typename F::plan variant_for(bool inverse, bool in_place, bool unaligned) {
    std::lock_guard<std::mutex> lock(planner_mutex());
    typename F::plan& slot = plans_[variant(inverse, in_place, unaligned)];
    if (slot) return slot;
    // Measuring overwrites the arrays it plans on: they are ours, never the caller's, each
    // room for the plan's array (a 2-D plan's: a complex image, room for the real image and
    // the half spectrum alike).
    const size_t in_room = shape_.batched ? complex_room(shape_.in, kind_ == Kind::kRealForward)
                                          : shape_.in;
    const size_t out_room = shape_.batched
                                ? complex_room(shape_.out, kind_ == Kind::kRealInverse)
                                : shape_.out;
    typename F::complex* in = F::alloc(in_place ? std::max(in_room, out_room) : in_room);
    typename F::complex* out = in_place ? in : F::alloc(out_room);
    if (in && out) {
      const bool measured = planner_rigour() == FFTW_MEASURE;
      {
        const PlanningThreads<Real> threads(std::max(in_room, out_room));
        // After FFTW's threads are set up: wisdom names the planner's solvers, threaded ones
        // included, and a planner without them refuses it.
        if (measured) load_wisdom<Real>();
        const unsigned flags = planner_rigour() | (unaligned ? FFTW_UNALIGNED : 0u);
        slot = make(in, out, inverse, flags);
      }
      if (measured && slot) save_wisdom<Real>();
    }
    if (out && out != in) F::release(out);
    if (in) F::release(in);
    return slot;
  }

  Shape shape_;
  Kind kind_;
  typename F::plan plans_[kVariants] = {};
};

bool Single_Precision(cufftType t) { return t == CUFFT_C2C || t == CUFFT_R2C || t == CUFFT_C2R; }

Kind Kind_Of(cufftType t) {
  if (t == CUFFT_R2C || t == CUFFT_D2Z) return Kind::kRealForward;
  if (t == CUFFT_C2R || t == CUFFT_Z2D) return Kind::kRealInverse;
  return Kind::kComplex;
}

bool Known_Type(cufftType t) {
  return t == CUFFT_C2C || t == CUFFT_Z2Z || t == CUFFT_R2C || t == CUFFT_C2R || t == CUFFT_D2Z ||
         t == CUFFT_Z2D;
}

// A 2-D plan's arrays: a complex image, or the real image and its half spectrum.
Shape Image_Shape(int rows, int cols) {
  Shape s;
  s.rows = rows;
  s.cols = cols;
  s.in = s.out = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  return s;
}

}  // namespace

namespace korvex::host::detail {

struct FftPlan {
  FftPlan(cufftType t, const Shape& shape) : type(t) {
    const size_t real = Single_Precision(t) ? sizeof(float) : sizeof(double);
    const size_t complex = 2 * real;
    const Kind kind = Kind_Of(t);
    if (Single_Precision(t)) {
      single = std::make_unique<Transform<float>>(shape, kind);
    } else {
      dual = std::make_unique<Transform<double>>(shape, kind);
    }
    if (shape.batched) {
      in_bytes = shape.in * (kind == Kind::kRealForward ? real : complex);
      out_bytes = shape.out * (kind == Kind::kRealInverse ? real : complex);
      return;
    }
    const size_t n = shape.in;
    const size_t half = static_cast<size_t>(shape.rows) * (static_cast<size_t>(shape.cols) / 2 + 1);
    in_bytes = kind == Kind::kComplex ? n * complex : kind == Kind::kRealForward ? n * real : half * complex;
    out_bytes = kind == Kind::kComplex ? n * complex : kind == Kind::kRealForward ? half * complex : n * real;
  }
  cufftType type;
  size_t in_bytes = 0;   // the input array of one execution
  size_t out_bytes = 0;  // the output array
  std::unique_ptr<Transform<float>> single;
  std::unique_ptr<Transform<double>> dual;
};

}  // namespace korvex::host::detail

namespace {

// Looks the plan up and checks the call; on success `plan` holds it for execution outside
// the state lock.
cufftResult prepare(Operation operation, cufftHandle handle, cufftType type, const void* in,
                    const void* out, int direction, std::shared_ptr<FftPlan>& plan) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  int status = 0;
  if (injected(s, operation, status)) return static_cast<cufftResult>(status);
  const auto it = s.plans.find(handle);
  if (it == s.plans.end() || it->second->type != type) return CUFFT_INVALID_PLAN;
  if (direction != CUFFT_FORWARD && direction != CUFFT_INVERSE) return CUFFT_INVALID_VALUE;
  const size_t inBytes = it->second->in_bytes;
  const size_t outBytes = it->second->out_bytes;
  if (!s.device.contains(in, inBytes) || !s.device.contains(out, outBytes)) {
    return CUFFT_INVALID_VALUE;
  }
  // Partly overlapping buffers are neither in place nor out of place; real transforms run out
  // of place only.
  const auto a = reinterpret_cast<uintptr_t>(in);
  const auto b = reinterpret_cast<uintptr_t>(out);
  const bool real = type != CUFFT_C2C && type != CUFFT_Z2Z;
  if (real && a == b) return CUFFT_NOT_SUPPORTED;
  if (a != b && (a < b ? b - a < inBytes : a - b < outBytes)) return CUFFT_INVALID_VALUE;
  plan = it->second;
  return CUFFT_SUCCESS;
}

}  // namespace

cufftResult cufftEstimate2d(int nx, int ny, cufftType type, size_t* workSize) {
  {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    int status = 0;
    if (injected(s, Operation::cufftEstimate2d, status)) return static_cast<cufftResult>(status);
  }
  if (!workSize) return CUFFT_INVALID_VALUE;
  if (nx < 1 || ny < 1) return CUFFT_INVALID_SIZE;
  if (type != CUFFT_C2C && type != CUFFT_Z2Z) return CUFFT_INVALID_TYPE;
  const size_t element = type == CUFFT_C2C ? sizeof(cufftComplex) : sizeof(cufftDoubleComplex);
  *workSize = static_cast<size_t>(nx) * static_cast<size_t>(ny) * element;
  return CUFFT_SUCCESS;
}

namespace {

// Checks common to every plan and the plan itself, measured with the state unlocked.
// `sizes`: CUFFT_SUCCESS or why the shape cannot be planned.
cufftResult Make_Plan(Operation operation, cufftHandle* plan, cufftType type, const Shape& shape,
                      cufftResult sizes) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    int status = 0;
    if (injected(s, operation, status)) return static_cast<cufftResult>(status);
    if (!plan) return CUFFT_INVALID_VALUE;
    if (sizes != CUFFT_SUCCESS) return sizes;
    if (!Known_Type(type)) return CUFFT_INVALID_TYPE;
    if (korvex::host::detail::device_gate(s) != cudaSuccess) return CUFFT_SETUP_FAILED;
  }
  // Planning takes a while: the state stays unlocked meanwhile.
  auto made = std::make_shared<FftPlan>(type, shape);
  const bool planned = made->single ? made->single->plan_first() : made->dual->plan_first();
  if (!planned) return CUFFT_ALLOC_FAILED;
  std::lock_guard<std::mutex> lock(s.mutex);
  const int handle = s.next_plan++;
  s.plans.emplace(handle, std::move(made));
  *plan = handle;
  return CUFFT_SUCCESS;
}

// Larger than any address space: the byte count of one array would overflow.
constexpr uint64_t kElementLimit = uint64_t{1} << 56;

}  // namespace

cufftResult cufftPlan2d(cufftHandle* plan, int nx, int ny, cufftType type) {
  const bool sized = nx >= 1 && ny >= 1 &&
                     static_cast<uint64_t>(nx) * static_cast<uint64_t>(ny) <= kElementLimit;
  return Make_Plan(Operation::cufftPlan2d, plan, type, sized ? Image_Shape(nx, ny) : Shape{},
                   sized ? CUFFT_SUCCESS : CUFFT_INVALID_SIZE);
}

cufftResult cufftPlanMany(cufftHandle* plan, int rank, int* n, int* inembed, int istride,
                          int idist, int* onembed, int ostride, int odist, cufftType type,
                          int batch) {
  Shape shape;
  bool sized = rank == 1 && n != nullptr && n[0] >= 1 && batch >= 1;
  if (sized) {
    const Kind kind = Kind_Of(type);
    const uint64_t points = static_cast<uint64_t>(n[0]);
    const uint64_t in = kind == Kind::kRealInverse ? points / 2 + 1 : points;
    const uint64_t out = kind == Kind::kRealForward ? points / 2 + 1 : points;
    // Without both embeddings the layout is the basic one: transforms one after the other.
    if (inembed == nullptr || onembed == nullptr) {
      istride = ostride = 1;
      idist = static_cast<int>(in);
      odist = static_cast<int>(out);
    }
    sized = istride >= 1 && ostride >= 1 && idist >= 0 && odist >= 0;
    const auto extent = [&](uint64_t count, int stride, int dist) {
      return (count - 1) * static_cast<uint64_t>(stride) +
             static_cast<uint64_t>(batch - 1) * static_cast<uint64_t>(dist) + 1;
    };
    if (sized) {
      shape.in = extent(in, istride, idist);
      shape.out = extent(out, ostride, odist);
      sized = shape.in <= kElementLimit && shape.out <= kElementLimit;
    }
    shape.batched = true;
    shape.n = n[0];
    shape.howmany = batch;
    shape.istride = istride;
    shape.idist = idist;
    shape.ostride = ostride;
    shape.odist = odist;
  }
  // Only batches of one-dimensional transforms are implemented.
  const cufftResult sizes =
      rank != 1 ? CUFFT_NOT_IMPLEMENTED : sized ? CUFFT_SUCCESS : CUFFT_INVALID_SIZE;
  return Make_Plan(Operation::cufftPlanMany, plan, type, shape, sizes);
}

cufftResult cufftExecC2C(cufftHandle plan, cufftComplex* idata, cufftComplex* odata,
                         int direction) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecC2C, plan, CUFFT_C2C, idata, odata, direction, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done =
      p->single->execute(reinterpret_cast<fftwf_complex*>(idata),
                         reinterpret_cast<fftwf_complex*>(odata), direction == CUFFT_INVERSE);
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftExecZ2Z(cufftHandle plan, cufftDoubleComplex* idata, cufftDoubleComplex* odata,
                         int direction) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecZ2Z, plan, CUFFT_Z2Z, idata, odata, direction, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done =
      p->dual->execute(reinterpret_cast<fftw_complex*>(idata),
                       reinterpret_cast<fftw_complex*>(odata), direction == CUFFT_INVERSE);
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftExecR2C(cufftHandle plan, cufftReal* idata, cufftComplex* odata) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecR2C, plan, CUFFT_R2C, idata, odata, CUFFT_FORWARD, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done = p->single->execute_r2c(idata, reinterpret_cast<fftwf_complex*>(odata));
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftExecC2R(cufftHandle plan, cufftComplex* idata, cufftReal* odata) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecC2R, plan, CUFFT_C2R, idata, odata, CUFFT_INVERSE, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done = p->single->execute_c2r(reinterpret_cast<fftwf_complex*>(idata), odata);
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftExecD2Z(cufftHandle plan, cufftDoubleReal* idata, cufftDoubleComplex* odata) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecD2Z, plan, CUFFT_D2Z, idata, odata, CUFFT_FORWARD, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done = p->dual->execute_r2c(idata, reinterpret_cast<fftw_complex*>(odata));
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftExecZ2D(cufftHandle plan, cufftDoubleComplex* idata, cufftDoubleReal* odata) {
  std::shared_ptr<FftPlan> p;
  const cufftResult status =
      prepare(Operation::cufftExecZ2D, plan, CUFFT_Z2D, idata, odata, CUFFT_INVERSE, p);
  if (status != CUFFT_SUCCESS) return status;
  const bool done = p->dual->execute_c2r(reinterpret_cast<fftw_complex*>(idata), odata);
  return done ? CUFFT_SUCCESS : CUFFT_EXEC_FAILED;
}

cufftResult cufftDestroy(cufftHandle plan) {
  std::shared_ptr<FftPlan> released;
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    int status = 0;
    if (injected(s, Operation::cufftDestroy, status)) return static_cast<cufftResult>(status);
    const auto it = s.plans.find(plan);
    if (it == s.plans.end()) return CUFFT_INVALID_PLAN;
    released = std::move(it->second);
    s.plans.erase(it);
  }
  return CUFFT_SUCCESS;  // the FFTW plans go with `released`, outside the state lock
}
