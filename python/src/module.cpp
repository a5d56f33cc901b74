// korvex._core: the compiled half of the korvex package. Argument handling that is Python's
// business (dtypes, shapes, defaults) lives in python/korvex; this module checks again what
// the core would misread and turns the core's failures into Python exceptions.
#include <stdexcept>

#include "core_calls.h"
#include "memory_budget.h"

namespace nb = nanobind;

NB_MODULE(_core, m) {
  // KorvexError: a failure of the engine or the platform, carrying the core's full message.
  // Bad arguments the core reports (std::invalid_argument) become ValueError, a need the
  // memory cannot hold MemoryError.
  static nb::object korvexError = nb::steal(
      PyErr_NewExceptionWithDoc("korvex.KorvexError",
                                "A failure of the Korvex engine or its platform; the message "
                                "is the engine's.",
                                PyExc_RuntimeError, nullptr));
  m.attr("KorvexError") = korvexError;
  nb::register_exception_translator(
      [](const std::exception_ptr& failure, void* type) {
        try {
          std::rethrow_exception(failure);
        } catch (const nb::builtin_exception&) {
          throw;  // nanobind's own, translated by nanobind
        } catch (const std::invalid_argument& e) {
          PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const korvex::acquisition::MemoryShortage& e) {
          PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const std::runtime_error& e) {
          PyErr_SetString(static_cast<PyObject*>(type), e.what());
        }
      },
      korvexError.ptr());

  // Objects still referenced when the interpreter exits (a GUI's widgets keep a Pipeline, say)
  // are reclaimed with the process; nanobind would list them as leaks.
  nb::set_leak_warnings(false);
  m.attr("backend") = KORVEX_BACKEND_NAME;
  korvex::python::Bind_Engine(m);
  korvex::python::Bind_Imaging(m);
  korvex::python::Bind_Patterns(m);
  korvex::python::Bind_Acquisition(m);
  korvex::python::Bind_Threads(m);
}
