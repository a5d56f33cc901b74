// korvex_estimate_patterns: the MATLAB/Octave entry point of the pattern estimator.
//
// [masks, pattern] = korvex_estimate_patterns(frames, otf, name, value, ...). Checks the call,
// runs KorvexLib's estimator, builds the masks, and turns a low modulation into the warning
// korvex:lowModulation. Every failure becomes a MATLAB error after everything the call
// allocated (device buffers and plans included) is released.
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "acquisition_fields.h"
#include "caller_terms.h"
#include "estimate_arguments.h"
#include "mex.h"
#include "mex_arguments.h"
#include "pattern_estimate.h"

namespace {

using korvex::gateway::EstimateCall;
using korvex::gateway::EstimateError;
using korvex::patterns::PatternEstimate;

template <typename T>
PatternEstimate Estimate(const EstimateCall& call, const mxArray* frames, const mxArray* otf) {
  // The OTF may come in the other precision; the estimator takes one.
  const size_t n = size_t{call.height} * call.width;
  std::vector<T> otfValues(n);
  for (size_t i = 0; i < n; ++i) {
    otfValues[i] = mxIsDouble(otf) ? static_cast<T>(static_cast<const double*>(mxGetData(otf))[i])
                                   : static_cast<T>(static_cast<const float*>(mxGetData(otf))[i]);
  }
  // Camera counts of another class, or with an offset or gain, are converted to photons in a
  // copy; frames of the estimate's class without either are read in place.
  const T* data = static_cast<const T*>(mxGetData(frames));
  std::vector<T> photons;
  const bool sameClass = mxIsDouble(frames) == (sizeof(T) == sizeof(double)) &&
                         (mxIsDouble(frames) || mxIsSingle(frames));
  if (!sameClass || !call.camera.Is_Identity()) {
    const std::vector<double> counts = korvex::gateway::Read_Doubles(frames, "frames");
    photons.assign(counts.begin(), counts.end());
    korvex::acquisition::To_Photons(photons.data(), call.height, call.width,
                                    call.angles * call.phases, call.camera, photons.data());
    data = photons.data();
  }
  korvex::patterns::PatternEstimator estimator(call.height, call.width, call.angles, call.phases);
  return estimator.Estimate(data, otfValues.data(), call.guess);
}

template <typename T>
mxArray* Masks(const EstimateCall& call, const PatternEstimate& e) {
  const mwSize extent[3] = {static_cast<mwSize>(call.height), static_cast<mwSize>(call.width),
                            static_cast<mwSize>(call.angles * call.phases)};
  mxArray* masks =
      mxCreateNumericArray(3, extent, call.single ? mxSINGLE_CLASS : mxDOUBLE_CLASS, mxREAL);
  korvex::patterns::Build_Masks(e, call.height, call.width, static_cast<T*>(mxGetData(masks)));
  return masks;
}

// A message that begins with this function's name, as every message of its own does.
std::string Named(const std::string& message) {
  const std::string prefix = "korvex_estimate_patterns: ";
  return message.compare(0, prefix.size(), prefix) == 0 ? message : prefix + message;
}

// The failure being raised lives outside mexFunction's frame: mexErrMsgIdAndTxt does not
// return, and MATLAB may leave the frame without running destructors.
std::string failureId;
std::string failureMessage;
std::vector<std::string> warnings;
std::string undersampled;  // korvex:undersampled's text, when the OTF says the frames alias

bool Run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) noexcept {
  static const korvex::CallerTerms terms{false, 1, "korvex_estimate_patterns", {}};
  const korvex::CallerScope scope(terms);
  try {
    warnings.clear();
    undersampled.clear();
    if (nlhs > 2)
      throw EstimateError("korvex:badParameter",
                          "korvex_estimate_patterns: returns at most 2 outputs "
                          "(masks, pattern)");
    const EstimateCall call = korvex::gateway::Read_Estimate_Call(nrhs, prhs);
    const PatternEstimate e = call.single ? Estimate<float>(call, prhs[0], prhs[1])
                                          : Estimate<double>(call, prhs[0], prhs[1]);
    plhs[0] = call.single ? Masks<float>(call, e) : Masks<double>(call, e);
    if (nlhs > 1) plhs[1] = korvex::gateway::Pattern_Struct(e, true);
    const std::vector<double> otf = korvex::gateway::Read_Doubles(prhs[1], "otf");
    const korvex::patterns::Sampling sampling =
        korvex::patterns::Check_Sampling(otf.data(), call.height, call.width);
    if (sampling.undersampled) {
      char text[400];
      std::snprintf(text, sizeof text,
                    "korvex_estimate_patterns: the OTF's passband reaches the frames' Nyquist "
                    "frequency: the camera pixel is coarser than wavelength / (4 NA) and the "
                    "frames are aliased. Record with a finer camera pixel, at most %.3g times "
                    "the present one (raising upsample does not help)",
                    sampling.largestPixel);
      undersampled = text;
    }
    const double pi = std::acos(-1.0);
    for (size_t a = 0; a < e.orientations.size(); ++a) {
      const auto& o = e.orientations[a];
      if (!o.lowModulation) continue;
      char text[400];
      std::snprintf(text, sizeof text,
                    "korvex_estimate_patterns: orientation %zu (angle %.2f degrees, period %.3f "
                    "pixels) has MCNR %.2f, below %.0f: its stripes are not told apart from "
                    "noise, and its estimate may be wrong (see docs/usage.md).",
                    a + 1, o.angle * 180.0 / pi, o.period, o.mcnr, korvex::patterns::kLowMcnr);
      warnings.emplace_back(text);
    }
    return true;
  } catch (const EstimateError& failure) {
    failureId = failure.Id();
    failureMessage = failure.what();
  } catch (const korvex::gateway::SizeFault& failure) {
    failureId = "korvex:badSize";
    failureMessage = Named(failure.what());
  } catch (const std::invalid_argument& failure) {
    failureId = "korvex:badParameter";
    failureMessage = Named(failure.what());
  } catch (const std::exception& failure) {
    failureId = "korvex:estimationFailed";
    failureMessage = Named(failure.what());
  } catch (...) {
    failureId = "korvex:estimationFailed";
    failureMessage = "korvex_estimate_patterns: unknown failure";
  }
  return false;
}

// Octave puts the function's name before a MEX file's messages by itself; MATLAB does not.
const char* Shown(const std::string& message) {
#if defined(KORVEX_OCTAVE_MEX)
  const std::string prefix = "korvex_estimate_patterns: ";
  if (message.compare(0, prefix.size(), prefix) == 0) return message.c_str() + prefix.size();
#endif
  return message.c_str();
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (!Run(nlhs, plhs, nrhs, prhs)) {
    mexErrMsgIdAndTxt(failureId.c_str(), "%s", Shown(failureMessage));
  }
  for (const std::string& text : warnings) {
    mexWarnMsgIdAndTxt("korvex:lowModulation", "%s", Shown(text));
  }
  // Last: the cause of any low modulation above.
  if (!undersampled.empty()) mexWarnMsgIdAndTxt("korvex:undersampled", "%s", Shown(undersampled));
}
