// Engine<T>: one Korvex<T> for one geometry, kept across calls (korvex.Reconstructor).
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>

#include "Korvex.h"
#include "core_calls.h"
#include "memory_budget.h"

namespace korvex::python {

namespace {

std::string Shape_Text(size_t a, size_t b, size_t c = 0) {
  std::string text = "(" + std::to_string(a) + ", " + std::to_string(b);
  if (c != 0) text += ", " + std::to_string(c);
  return text + ")";
}

template <typename T>
class Engine {
 public:
  Engine(unsigned height, unsigned width, unsigned frames, unsigned iterations)
      : height_(height), width_(width), frames_(frames), iterations_(iterations) {
    Core_Call([this] { Build(); });
  }

  // Runs one reconstruction into `out`; returns (iterations run, step, ratio, engine seconds).
  nb::tuple Compute(Stack<T> frames, Stack<T> masks, Image<T> otf, OutImage<T> out,
                    double threshold, double lambda, double alpha) {
    Check_Stack(frames, "frames");
    Check_Stack(masks, "masks");
    Check_Image(otf.shape(0), otf.shape(1), "otf");
    Check_Image(out.shape(0), out.shape(1), "out");
    unsigned iterations = 0;
    double step = 0, ratio = 0, seconds = 0;
    Core_Call([&] {
      Check_Finite(frames.data(), frames.size(), "frames");
      Check_Finite(masks.data(), masks.size(), "masks");
      Check_Finite(otf.data(), otf.size(), "otf");
      if (!engine_) Build();
      const auto start = std::chrono::steady_clock::now();
      try {
        // The engine reads its inputs only; its signature predates const.
        engine_->Mapsim_Compute(const_cast<T*>(frames.data()), const_cast<T*>(otf.data()),
                                const_cast<T*>(masks.data()), out.data(), T(threshold), T(lambda),
                                T(alpha));
      } catch (...) {
        engine_.reset();  // as the gateway does: a failed engine is rebuilt on the next call
        throw;
      }
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      // Finite inputs whose products leave the type's range give Inf or NaN: an error, not an
      // image.
      bool finite = true;
      for (size_t i = 0; i < out.size(); ++i) finite &= std::isfinite(out.data()[i]);
      if (!finite) {
        throw std::runtime_error(
            "the reconstruction left the range of its precision: frames, masks and otf are "
            "finite but their products are not; scale the frames or the masks down");
      }
      iterations = engine_->m_iteration + 1;  // the index of the last one entered, as a count
      step = double(engine_->m_alpha);
      ratio = double(engine_->m_ratio);
    });
    return nb::make_tuple(iterations, step, ratio, seconds);
  }

  // A destructor may run while another thread is inside the core: it waits its turn.
  ~Engine() { Release_In_Core(engine_); }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  void Release() {
    Core_Call([this] {
      engine_.reset();
      korvex::acquisition::Return_Freed_Memory();
    });
  }

  bool Holds_Engine() const { return engine_ != nullptr; }

 private:
  // Korvex(width, height, ...) in the engine's column-major terms: numpy's H is its width.
  void Build() { engine_ = std::make_unique<Korvex<T>>(height_, width_, frames_, iterations_); }

  void Check_Stack(const Stack<T>& stack, const char* name) const {
    if (stack.shape(0) != frames_ || stack.shape(1) != height_ || stack.shape(2) != width_) {
      throw std::invalid_argument(std::string(name) + " must be " +
                                  Shape_Text(frames_, height_, width_) + ", got " +
                                  Shape_Text(stack.shape(0), stack.shape(1), stack.shape(2)));
    }
  }
  void Check_Image(size_t rows, size_t columns, const char* name) const {
    if (rows != height_ || columns != width_) {
      throw std::invalid_argument(std::string(name) + " must be " + Shape_Text(height_, width_) +
                                  ", got " + Shape_Text(rows, columns));
    }
  }

  unsigned height_, width_, frames_, iterations_;
  std::unique_ptr<Korvex<T>> engine_;
};

template <typename T>
void Bind(nb::module_& m, const char* name) {
  nb::class_<Engine<T>>(m, name)
      .def(nb::init<unsigned, unsigned, unsigned, unsigned>(), nb::arg("height"), nb::arg("width"),
           nb::arg("frames"), nb::arg("iterations"))
      .def("compute", &Engine<T>::Compute, nb::arg("frames").noconvert(),
           nb::arg("masks").noconvert(), nb::arg("otf").noconvert(), nb::arg("out").noconvert(),
           nb::arg("threshold"), nb::arg("smoothness"), nb::arg("step"))
      .def("release", &Engine<T>::Release)
      .def_prop_ro("holds_engine", &Engine<T>::Holds_Engine);
}

}  // namespace

void Bind_Engine(nb::module_& m) {
  Bind<float>(m, "EngineFloat32");
  Bind<double>(m, "EngineFloat64");
}

}  // namespace korvex::python
