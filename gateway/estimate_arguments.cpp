#include "estimate_arguments.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "acquisition_fields.h"
#include "illumination_pattern.h"
#include "mex_arguments.h"

namespace korvex::gateway {

namespace {

const char kCaller[] = "korvex_estimate_patterns";

[[noreturn]] void Refuse(const char* id, const std::string& message) {
  throw EstimateError(id, std::string(kCaller) + ": " + message);
}

const std::vector<std::string> kOptionNames = {"angles", "phases", "periodGuess", "angleGuess",
                                               "orders", "background",  "gain"};

}  // namespace

EstimateCall Read_Estimate_Call(int nrhs, const mxArray* prhs[]) {
  if (nrhs < 2) {
    Refuse("korvex:badParameter",
           "expects at least 2 inputs: frames (H x W x F) and otf (H x W), then name/value "
           "options 'angles', 'phases', 'periodGuess', 'angleGuess', 'orders', 'background', "
           "'gain'");
  }
  const mxArray* frames = prhs[0];
  const mxArray* otf = prhs[1];
  Check_Array(frames, "frames", Classes::kNumeric, 3);
  Check_Array(otf, "otf", Classes::kFloating, 2);

  EstimateCall call;
  for (const auto& [name, value] : Read_Options(nrhs, prhs, 2, kOptionNames)) {
    if (name == "angles") {
      call.angles = Read_Count(value, name, 1, kMostAngles);
    } else if (name == "phases") {
      call.phases = Read_Count(value, name, 1, kMostPhases);
    } else if (name == "periodGuess") {
      call.guess.period = Read_Scalar(value, name);
      if (call.guess.period < 2) {
        Refuse("korvex:badParameter", "periodGuess must be a period in pixels, at least 2");
      }
    } else if (name == "angleGuess") {
      call.guess.angles = Read_Vector(value, name);
    } else if (name == "orders") {
      call.guess.orders = Read_Orders(value);
    } else if (name == "background") {
      const mwSize* extent = mxGetDimensions(frames);
      call.camera.background = Read_Background(value, static_cast<unsigned>(extent[0]),
                                               static_cast<unsigned>(extent[1]));
    } else if (name == "gain") {
      call.camera.gain = Read_Gain(value);
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
