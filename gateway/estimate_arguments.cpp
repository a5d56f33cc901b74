#include "estimate_arguments.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "acquisition_fields.h"
#include "illumination_pattern.h"

namespace korvex::gateway {

namespace {

const char kCaller[] = "korvex_estimate_patterns";

[[noreturn]] void Refuse(const char* id, const std::string& message) {
  throw EstimateError(id, std::string(kCaller) + ": " + message);
}

std::string Size_Text(const mxArray* a) {
  const mwSize dims = mxGetNumberOfDimensions(a);
  const mwSize* extent = mxGetDimensions(a);
  std::string text;
  for (mwSize d = 0; d < dims; ++d) {
    if (d) text += " x ";
    text += std::to_string(extent[d]);
  }
  return text;
}

// Frames may also be camera counts of any integer class.
void Check_Array(const char* name, const mxArray* a, mwSize maxDims, bool integers = false) {
  if (mxIsSparse(a)) Refuse("korvex:badParameter", std::string(name) + " must be full, not sparse");
  if (!mxIsDouble(a) && !mxIsSingle(a) && !(integers && mxIsNumeric(a))) {
    Refuse("korvex:badParameter", std::string(name) + " must be " +
                                      (integers ? "single, double or an integer class"
                                                : "single or double") +
                                      ", not " + mxGetClassName(a));
  }
  if (mxIsComplex(a)) Refuse("korvex:badParameter", std::string(name) + " must be real");
  if (mxIsEmpty(a)) Refuse("korvex:badSize", std::string(name) + " must not be empty");
  if (mxGetNumberOfDimensions(a) > maxDims) {
    Refuse("korvex:badSize", std::string(name) + " must have at most " + std::to_string(maxDims) +
                                 " dimensions (got " + Size_Text(a) + ")");
  }
}

double Scalar(const char* name, const mxArray* a) {
  if (!(mxIsDouble(a) || mxIsSingle(a)) || mxIsComplex(a) || mxIsSparse(a) ||
      mxGetNumberOfElements(a) != 1) {
    Refuse("korvex:badParameter", std::string(name) + " must be a real numeric scalar");
  }
  return mxGetScalar(a);
}

unsigned Count(const char* name, const mxArray* a, unsigned minimum) {
  const double v = Scalar(name, a);
  if (!std::isfinite(v) || v != std::floor(v) || v < minimum || v > 1e6) {
    Refuse("korvex:badParameter", std::string(name) + " must be a whole number of at least " +
                                      std::to_string(minimum) + " (got " + std::to_string(v) + ")");
  }
  return static_cast<unsigned>(v);
}

std::vector<double> Vector(const char* name, const mxArray* a) {
  if (!(mxIsDouble(a) || mxIsSingle(a)) || mxIsComplex(a) || mxIsSparse(a) || mxIsEmpty(a)) {
    Refuse("korvex:badParameter", std::string(name) + " must be a real numeric vector");
  }
  std::vector<double> out;
  const size_t n = mxGetNumberOfElements(a);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(mxIsDouble(a) ? static_cast<const double*>(mxGetData(a))[i]
                                : static_cast<const float*>(mxGetData(a))[i]);
  }
  return out;
}

}  // namespace

EstimateCall Read_Estimate_Call(int nrhs, const mxArray* prhs[]) {
  if (nrhs < 2) {
    Refuse("korvex:badParameter",
           "expects at least 2 inputs: frames (H x W x F) and otf (H x W), then name/value "
           "options 'angles', 'phases', 'periodGuess', 'angleGuess', 'orders', 'background', "
           "'gain'");
  }
  if ((nrhs - 2) % 2 != 0) Refuse("korvex:badParameter", "options come in name/value pairs");
  const mxArray* frames = prhs[0];
  const mxArray* otf = prhs[1];
  Check_Array("frames", frames, 3, true);
  Check_Array("otf", otf, 2);

  EstimateCall call;
  for (int k = 2; k < nrhs; k += 2) {
    if (!mxIsChar(prhs[k])) Refuse("korvex:badParameter", "option names must be text");
    char* text = mxArrayToString(prhs[k]);
    const std::string name = text ? text : "";
    mxFree(text);
    const mxArray* value = prhs[k + 1];
    if (name == "angles") {
      call.angles = Count("angles", value, 1);
    } else if (name == "phases") {
      call.phases = Count("phases", value, 1);
      if (call.phases < 3) {
        Refuse("korvex:badParameter", "phases must be at least 3 (got " +
                                          std::to_string(call.phases) +
                                          "): fewer cannot separate the pattern from the specimen");
      }
    } else if (name == "periodGuess") {
      call.guess.period = Scalar("periodGuess", value);
      if (!std::isfinite(call.guess.period) || call.guess.period < 2) {
        Refuse("korvex:badParameter", "periodGuess must be a period in pixels, at least 2");
      }
    } else if (name == "angleGuess") {
      call.guess.angles = Vector("angleGuess", value);
    } else if (name == "orders" || name == "background" || name == "gain") {
      const mwSize* extent = mxGetDimensions(frames);
      try {
        if (name == "orders") call.guess.orders = Read_Orders(value);
        if (name == "background") {
          call.camera.background = Read_Background(value, static_cast<unsigned>(extent[0]),
                                                   static_cast<unsigned>(extent[1]));
        }
        if (name == "gain") call.camera.gain = Read_Gain(value);
      } catch (const std::invalid_argument& fault) {
        Refuse("korvex:badParameter", fault.what());
      }
    } else {
      Refuse("korvex:badParameter",
             "unknown option '" + name +
                 "' (known: angles, phases, periodGuess, angleGuess, orders, background, gain)");
    }
  }

  const mwSize* extent = mxGetDimensions(frames);
  call.height = static_cast<unsigned>(extent[0]);
  call.width = static_cast<unsigned>(extent[1]);
  const size_t frameCount = mxGetNumberOfDimensions(frames) > 2 ? extent[2] : 1;
  const mwSize* otfExtent = mxGetDimensions(otf);
  if (otfExtent[0] != extent[0] || otfExtent[1] != extent[1]) {
    Refuse("korvex:badSize", "otf must be " + std::to_string(call.height) + " x " +
                                 std::to_string(call.width) + " like the frames (got " +
                                 Size_Text(otf) + ")");
  }
  if (frameCount != size_t{call.angles} * call.phases) {
    Refuse("korvex:badSize", "frames hold " + std::to_string(frameCount) +
                                 " frames, but angles x phases = " + std::to_string(call.angles) +
                                 " x " + std::to_string(call.phases) + " = " +
                                 std::to_string(call.angles * call.phases));
  }
  call.guess.angles = korvex::acquisition::Angle_Guesses(call.guess.angles, call.angles);
  if (!call.guess.angles.empty() && call.guess.angles.size() != call.angles) {
    Refuse("korvex:badParameter", "angleGuess must hold one angle, or one per orientation (" +
                                      std::to_string(call.angles) + "), got " +
                                      std::to_string(call.guess.angles.size()));
  }
  try {
    korvex::acquisition::Check_Camera_Units(call.camera, call.height, call.width);
  } catch (const std::invalid_argument& fault) {
    Refuse("korvex:badParameter", fault.what());
  }
  call.single = !mxIsDouble(frames);
  return call;
}

}  // namespace korvex::gateway
