#include "acquisition_arguments.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>

#include "acquisition_fields.h"
#include "mex_arguments.h"

namespace korvex::gateway {

namespace {

using korvex::acquisition::IlluminationPattern;
using korvex::acquisition::MeasuredOtf;

[[noreturn]] void Fail(const std::string& message) { throw std::invalid_argument(message); }

const std::vector<std::string> kOptionNames = {
    "na",        "wavelength",  "pixelSize",  "immersion",       "angles", "phases",
    "upsample",  "otf",         "pattern",    "iterations",      "lambda", "alpha",
    "threshold", "nonnegative", "dataTerm",   "sparsity",        "orders", "background",
    "gain",      "precision",   "outOfFocus", "outOfFocusWidth", "defocus", "start",
    "precondition", "outOfFocusCost"};

std::vector<double> Pattern_Field(const mxArray* pattern, const char* field) {
  const mxArray* value = mxGetField(pattern, 0, field);
  if (value == nullptr) Fail(std::string("pattern must have a field '") + field + "'");
  return Read_Doubles(value, std::string("pattern.") + field);
}

// A scalar stands for every orientation; an absent field for `fallback` in every orientation.
std::vector<double> Per_Orientation(const mxArray* pattern, const char* field, size_t count,
                                    double fallback) {
  if (mxGetField(pattern, 0, field) == nullptr) return std::vector<double>(count, fallback);
  std::vector<double> values = Pattern_Field(pattern, field);
  if (values.size() == 1) return std::vector<double>(count, values[0]);
  if (values.size() != count) {
    Fail(std::string("pattern.") + field + " must be a scalar or hold one value per " +
         "orientation (" + std::to_string(count) + "), got " + std::to_string(values.size()));
  }
  return values;
}

// P phases stand for each orientation's steps.
IlluminationPattern Read_Pattern(const mxArray* pattern, unsigned angles, unsigned phases) {
  if (!mxIsStruct(pattern) || mxGetNumberOfElements(pattern) != 1) {
    Fail("pattern must be a struct with fields angle, period, phase and modulation "
         "(and modulation2, phase2 for a second harmonic)");
  }
  const std::vector<double> angle = Pattern_Field(pattern, "angle");
  const size_t count = angle.size();
  Pattern_Field(pattern, "period");  // required
  const std::vector<double> period = Per_Orientation(pattern, "period", count, 0.0);
  const std::vector<double> modulation = Per_Orientation(pattern, "modulation", count, 1.0);
  const std::vector<double> modulation2 = Per_Orientation(pattern, "modulation2", count, 0.0);
  const std::vector<double> phase2 = Per_Orientation(pattern, "phase2", count, 0.0);
  IlluminationPattern p = korvex::acquisition::Pattern_From_Rows(
      angle, period, modulation, Pattern_Field(pattern, "phase"), modulation2, phase2);
  if (p.phases.size() == phases && angles > 1) {
    std::vector<double> perFrame;
    for (unsigned a = 0; a < angles; ++a) {
      perFrame.insert(perFrame.end(), p.phases.begin(), p.phases.begin() + phases);
    }
    p.phases = perFrame;
  }
  return p;
}

double Read_Non_Negative(const mxArray* value, const std::string& name) {
  const double number = Read_Scalar(value, name);
  if (number < 0.0) Fail(name + " must not be negative, got " + std::to_string(number));
  return number;
}

// A width, defocus or cost describes the out-of-focus model; given with the model off it would
// be ignored without a word. Each is checked as its distance from the value that leaves the
// model as it is (0 for a width or defocus, 1 for the cost).
void Check_Out_Of_Focus(const korvex::acquisition::AcquisitionOptions& options) {
  if (korvex::acquisition::Out_Of_Focus_On(options)) return;
  const korvex::acquisition::OutOfFocusModel& model = options.outOfFocus;
  for (const auto& [name, value] :
       {std::pair{"outOfFocusWidth", model.width}, std::pair{"defocus", model.defocus},
        std::pair{"outOfFocusCost", 1.0 - model.cost}}) {
    if (value != 0.0) {
      Fail(std::string(name) + " applies to the out-of-focus model, which is off: set "
           "'outOfFocus' to true");
    }
  }
}

MeasuredOtf Read_Otf(const mxArray* otf) {
  if (mxGetNumberOfDimensions(otf) != 2) Fail("otf must be a two-dimensional array");
  MeasuredOtf measured;
  measured.values = Read_Doubles(otf, "otf");
  measured.height = static_cast<unsigned>(mxGetM(otf));
  measured.width = static_cast<unsigned>(mxGetN(otf));
  return measured;
}

}  // namespace

AcquisitionCall Read_Acquisition_Call(int nrhs, const mxArray* prhs[]) {
  AcquisitionCall call;
  const mxArray* frames = prhs[0];
  Check_Array(frames, "frames", Classes::kNumeric, 3);
  const mwSize* extents = mxGetDimensions(frames);
  call.height = static_cast<unsigned>(extents[0]);
  call.width = static_cast<unsigned>(extents[1]);
  call.frames = static_cast<unsigned>(Frame_Extent(frames));
  call.singlePrecision = mxGetClassID(frames) != mxDOUBLE_CLASS;

  const mxArray* pattern = nullptr;
  auto& o = call.options;
  for (const auto& [name, value] : Read_Options(nrhs, prhs, 1, kOptionNames)) {
    if (name == "na") {
      o.optics.na = Read_Scalar(value, name);
    } else if (name == "wavelength") {
      o.optics.wavelength = Read_Scalar(value, name);
    } else if (name == "pixelSize") {
      o.optics.pixelSize = Read_Scalar(value, name);
    } else if (name == "immersion") {
      o.optics.immersion = Read_Scalar(value, name);
    } else if (name == "angles") {
      o.angles = Read_Count(value, name, 1, kMostAngles);
    } else if (name == "phases") {
      o.phases = Read_Count(value, name, 1, kMostPhases);
    } else if (name == "upsample") {
      o.upsample = Read_Scalar(value, name);
    } else if (name == "otf") {
      o.otf = Read_Otf(value);
    } else if (name == "pattern") {
      pattern = value;
    } else if (name == "iterations") {
      o.iterations = Read_Count(value, name, 0, kMostIterations);
    } else if (name == "lambda") {
      o.lambda = Read_Scalar(value, name);
    } else if (name == "alpha") {
      o.alpha = Read_Scalar(value, name);
    } else if (name == "threshold") {
      o.threshold = Read_Scalar(value, name);
    } else if (name == "nonnegative") {
      o.nonNegative = Read_Switch(value, name);
    } else if (name == "dataTerm") {
      const std::string term = Read_Text(value, name);
      if (term != "frames" && term != "masked") {
        Fail("dataTerm must be 'frames' or 'masked', got '" + term + "'");
      }
      o.frameData = term == "frames";
    } else if (name == "sparsity") {
      o.sparsity = Read_Scalar(value, name);
    } else if (name == "orders") {
      o.guess.orders = Read_Orders(value);
    } else if (name == "background") {
      o.camera.background = Read_Background(value, call.height, call.width);
    } else if (name == "gain") {
      o.camera.gain = Read_Gain(value);
    } else if (name == "outOfFocus") {
      o.outOfFocus.enabled = Read_Switch(value, name);
    } else if (name == "outOfFocusWidth") {
      o.outOfFocus.width = Read_Non_Negative(value, name);
    } else if (name == "defocus") {
      o.outOfFocus.defocus = Read_Non_Negative(value, name);
    } else if (name == "outOfFocusCost") {
      o.outOfFocus.cost = Read_Scalar(value, name);
    } else if (name == "precision") {
      const std::string precision = Read_Text(value, name);
      if (precision != "single" && precision != "double") {
        Fail("precision must be 'single' or 'double', got '" + precision + "'");
      }
      call.singlePrecision = precision == "single";
    } else if (name == "start") {
      const std::string start = Read_Text(value, name);
      if (start != "widefield" && start != "fourier") {
        Fail("start must be 'widefield' or 'fourier', got '" + start + "'");
      }
      o.fourierStart = start == "fourier";
    } else if (name == "precondition") {
      o.preconditioned = Read_Switch(value, name);
    }
  }
  if (pattern != nullptr) o.pattern = Read_Pattern(pattern, o.angles, o.phases);
  Check_Out_Of_Focus(o);
  return call;
}

template <typename T>
std::vector<T> Read_Frames(const mxArray* frames) {
  const size_t n = mxGetNumberOfElements(frames);
  const void* data = mxGetData(frames);
  if (mxGetClassID(frames) == mxSINGLE_CLASS) {
    const float* values = static_cast<const float*>(data);
    return std::vector<T>(values, values + n);
  }
  if (mxGetClassID(frames) == mxDOUBLE_CLASS) {
    const double* values = static_cast<const double*>(data);
    std::vector<T> out(n);
    for (size_t i = 0; i < n; ++i) {
      // A finite double beyond the float range would become Inf.
      if (std::abs(values[i]) > double(std::numeric_limits<T>::max()) && std::isfinite(values[i])) {
        Fail("frames hold values beyond single precision's range (the first at element " +
             std::to_string(i + 1) + "): reconstruct them with 'precision', 'double'");
      }
      out[i] = static_cast<T>(values[i]);
    }
    return out;
  }
  const std::vector<double> values = Read_Doubles(frames, "frames");
  return std::vector<T>(values.begin(), values.end());
}

template std::vector<float> Read_Frames<float>(const mxArray*);
template std::vector<double> Read_Frames<double>(const mxArray*);

}  // namespace korvex::gateway
