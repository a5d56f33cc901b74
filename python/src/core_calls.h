// How the binding calls into KorvexLib, and the array types it accepts.
//
// numpy's C-ordered (F, H, W) stack is, byte for byte, MATLAB's column-major W x H x F stack:
// the core is handed the transposed images (its height is numpy's W, its width numpy's H) and
// the arrays pass without a copy. Outputs come back C-ordered the same way.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "caller_terms.h"
#include "camera_units.h"
#include "illumination_pattern.h"

namespace korvex::python {

namespace nb = nanobind;

template <typename T>
using Stack = nb::ndarray<const T, nb::shape<-1, -1, -1>, nb::c_contig, nb::device::cpu>;
template <typename T>
using Image = nb::ndarray<const T, nb::shape<-1, -1>, nb::c_contig, nb::device::cpu>;
template <typename T>
using OutImage = nb::ndarray<T, nb::shape<-1, -1>, nb::c_contig, nb::device::cpu>;
template <typename T>
using NumpyArray = nb::ndarray<nb::numpy, T>;

// Engines, estimators and pipelines share one device (the GPU, or the host backend's simulated
// one), so calls into the core are serialised process-wide. The GIL is released meanwhile:
// other Python threads (a dask worker's, a progress bar) keep running.
std::mutex& Core_Mutex();

// Python's terms for the core's messages: (F, H, W) shapes, indices counted from 0, the
// package's argument names.
const korvex::CallerTerms& Python_Terms();

template <typename Function>
auto Core_Call(Function&& function) {
  nb::gil_scoped_release released;
  std::lock_guard<std::mutex> lock(Core_Mutex());
  const korvex::CallerScope terms(Python_Terms());
  return function();
}

// Destroys what `held` owns under the core lock. Destructors run with the GIL held (Python
// drops the last reference); waiting for the lock while another thread reconstructs would then
// stall every Python thread, so the GIL is released first, as in Core_Call.
template <typename Held>
void Release_In_Core(Held& held) noexcept {
  nb::gil_scoped_release released;
  std::lock_guard<std::mutex> lock(Core_Mutex());
  held.reset();
}

// Throws std::invalid_argument naming `name` if any value is NaN or Inf.
template <typename T>
void Check_Finite(const T* values, size_t count, const char* name);

// A numpy array that owns `values`, of the given C-ordered shape.
template <typename T>
NumpyArray<T> To_Numpy(std::vector<T>&& values, std::initializer_list<size_t> shape) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  return NumpyArray<T>(owned->data(), shape, owner);
}

// A pattern as a dict of lists in numpy's axes; the MCNRs empty unless `estimated`.
nb::dict Pattern_Dict(const korvex::acquisition::IlluminationPattern& pattern, bool estimated);

// The camera's offset (a level, or a C-ordered (H, W) image) and gain; the image, in the
// core's transposed view, is the core's column-major W x H one, byte for byte.
korvex::acquisition::CameraUnits Camera_Units(double level,
                                              const std::optional<Image<double>>& image,
                                              double gain);

// Registration of each part of the module.
void Bind_Engine(nb::module_& m);
void Bind_Imaging(nb::module_& m);
void Bind_Patterns(nb::module_& m);
void Bind_Acquisition(nb::module_& m);
void Bind_Threads(nb::module_& m);

}  // namespace korvex::python
