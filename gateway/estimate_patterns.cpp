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

#include "caller_terms.h"
#include "estimate_arguments.h"
#include "mex.h"
#include "mex_arguments.h"
#include "pattern_estimate.h"

namespace {

using korvex::gateway::EstimateCall;
using korvex::gateway::EstimateError;
using korvex::patterns::PatternEstimate;

mxArray* Row(const std::vector<double>& values) {
  mxArray* row = mxCreateDoubleMatrix(1, values.size(), mxREAL);
  double* out = mxGetPr(row);
  for (size_t i = 0; i < values.size(); ++i) out[i] = values[i];
  return row;
}

mxArray* Pattern_Struct(const PatternEstimate& e) {
  const char* fields[] = {"angle", "period", "phase", "modulation", "mcnr"};
  mxArray* s = mxCreateStructMatrix(1, 1, 5, fields);
  std::vector<double> angle, period, modulation, mcnr;
  for (const auto& o : e.orientations) {
    angle.push_back(o.angle);
    period.push_back(o.period);
    modulation.push_back(o.modulation);
    mcnr.push_back(o.mcnr);
  }
  mxSetField(s, 0, "angle", Row(angle));
  mxSetField(s, 0, "period", Row(period));
  mxSetField(s, 0, "phase", Row(e.phases));
  mxSetField(s, 0, "modulation", Row(modulation));
  mxSetField(s, 0, "mcnr", Row(mcnr));
  return s;
}

template <typename T>
PatternEstimate Estimate(const EstimateCall& call, const mxArray* frames, const mxArray* otf) {
  // The OTF may come in the other precision; the estimator takes one.
  const size_t n = size_t{call.height} * call.width;
  std::vector<T> otfValues(n);
  for (size_t i = 0; i < n; ++i) {
    otfValues[i] = mxIsDouble(otf) ? static_cast<T>(static_cast<const double*>(mxGetData(otf))[i])
                                   : static_cast<T>(static_cast<const float*>(mxGetData(otf))[i]);
  }
  korvex::patterns::PatternEstimator estimator(call.height, call.width, call.angles, call.phases);
  return estimator.Estimate(static_cast<const T*>(mxGetData(frames)), otfValues.data(), call.guess);
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

bool Run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) noexcept {
  static const korvex::CallerTerms terms{false, 1, "korvex_estimate_patterns", {}};
  const korvex::CallerScope scope(terms);
  try {
    warnings.clear();
    if (nlhs > 2)
      throw EstimateError("korvex:badParameter",
                          "korvex_estimate_patterns: returns at most 2 outputs "
                          "(masks, pattern)");
    const EstimateCall call = korvex::gateway::Read_Estimate_Call(nrhs, prhs);
    const PatternEstimate e = call.single ? Estimate<float>(call, prhs[0], prhs[1])
                                          : Estimate<double>(call, prhs[0], prhs[1]);
    plhs[0] = call.single ? Masks<float>(call, e) : Masks<double>(call, e);
    if (nlhs > 1) plhs[1] = Pattern_Struct(e);
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
}
