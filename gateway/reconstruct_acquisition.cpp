// korvex_reconstruct: the MATLAB/Octave entry point of the acquisition pipeline.
//
// Reads the frames and options, runs AcquisitionPipeline<T> (one kept per precision, only one
// holding an engine at a time) and returns the image and an info struct. korvex_reconstruct
// ('release') frees the kept engine; any error frees it too. All numerical work happens in
// KorvexLib.
#include <algorithm>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "acquisition_arguments.h"
#include "acquisition_pipeline.h"
#include "mex.h"
#include "acquisition_fields.h"

namespace {

using korvex::acquisition::AcquisitionPipeline;
using korvex::acquisition::AcquisitionResult;
using korvex::acquisition::IlluminationPattern;
using korvex::gateway::AcquisitionCall;

std::unique_ptr<AcquisitionPipeline<float>> singlePipeline;
std::unique_ptr<AcquisitionPipeline<double>> doublePipeline;

void Release_Pipelines() noexcept {
  singlePipeline.reset();
  doublePipeline.reset();
}

mxArray* Scalar(double value) { return mxCreateDoubleScalar(value); }

template <typename T>
mxClassID Class_Of() {
  return sizeof(T) == sizeof(float) ? mxSINGLE_CLASS : mxDOUBLE_CLASS;
}

// A column-major height x width image of T; [] (0 x 0) when `values` is empty.
template <typename T>
mxArray* Image_Array(const std::vector<T>& values, unsigned height, unsigned width) {
  if (!values.empty() && values.size() != size_t{height} * width) {
    throw std::logic_error("internal error: an output image holds " +
                           std::to_string(values.size()) + " values, not " +
                           std::to_string(height) + " x " + std::to_string(width));
  }
  const mwSize extents[2] = {values.empty() ? 0 : height, values.empty() ? 0 : width};
  mxArray* image = mxCreateNumericArray(2, extents, Class_Of<T>(), mxREAL);
  std::copy(values.begin(), values.end(), static_cast<T*>(mxGetData(image)));
  return image;
}

template <typename T>
mxArray* Info_Struct(const AcquisitionResult<T>& r, double upsample) {
  const char* fields[] = {"pattern", "estimated",       "mcnr",      "iterations",
                          "alpha",   "ratio",           "pixelSize", "upsample",
                          "seconds", "outOfFocusShare", "outOfFocus"};
  mxArray* info = mxCreateStructMatrix(1, 1, 11, fields);
  mxSetField(info, 0, "pattern", korvex::gateway::Pattern_Struct(r.pattern, r.estimated));
  mxSetField(info, 0, "estimated", mxCreateLogicalScalar(r.estimated));
  mxSetField(info, 0, "mcnr", korvex::gateway::Mcnr_Row(r.pattern, r.estimated));
  mxSetField(info, 0, "iterations", Scalar(r.iterations));
  mxSetField(info, 0, "alpha", Scalar(r.alpha));
  mxSetField(info, 0, "ratio", Scalar(r.ratio));
  mxSetField(info, 0, "pixelSize", Scalar(r.pixelSize));
  mxSetField(info, 0, "upsample", Scalar(upsample));
  const char* stages[] = {"estimation",  "upsampling",     "otf",  "masks",
                          "engineSetup", "reconstruction", "total"};
  const double values[] = {r.seconds.estimation, r.seconds.upsampling,  r.seconds.otf,
                           r.seconds.masks,      r.seconds.engineSetup, r.seconds.reconstruction,
                           r.seconds.total};
  mxArray* seconds = mxCreateStructMatrix(1, 1, 7, stages);
  for (int i = 0; i < 7; ++i) mxSetField(seconds, 0, stages[i], Scalar(values[i]));
  mxSetField(info, 0, "seconds", seconds);
  mxSetField(info, 0, "outOfFocusShare", Scalar(r.outOfFocusShare));
  mxSetField(info, 0, "outOfFocus", Image_Array(r.outOfFocus, r.height, r.width));
  return info;
}

// Orientations too faint to trust, with their MCNR, and an aliasing camera pixel, warned
// about once the call's outputs are made. A warning that the session turns into an error
// leaves like an error does, so it is raised from mexFunction itself, where nothing is left to
// release.
std::vector<std::pair<unsigned, double>> pendingWarnings;
std::string pendingUndersampled;

void Keep_Warnings(const IlluminationPattern& p, const std::vector<unsigned>& low,
                   const std::string& undersampled) {
  pendingWarnings.clear();
  for (unsigned a : low) pendingWarnings.emplace_back(a + 1, p.orientations.at(a).mcnr);
  pendingUndersampled = undersampled;
}

// Octave names the function before the text, MATLAB in its own warning line.
void Warn() {
  const std::string undersampled = std::move(pendingUndersampled);
  pendingUndersampled.clear();
  if (!undersampled.empty()) {
    mexWarnMsgIdAndTxt("korvex:undersampled", "%s", undersampled.c_str());
  }
  for (const auto& [orientation, mcnr] : pendingWarnings) {
    mexWarnMsgIdAndTxt("korvex:lowModulation",
                       "orientation %u has MCNR %.1f: its pattern is too faint to estimate "
                       "reliably; the reconstruction may show stripes",
                       orientation, mcnr);
  }
  pendingWarnings.clear();
}

template <typename T, typename Other>
void Run(std::unique_ptr<AcquisitionPipeline<T>>& pipeline,
         std::unique_ptr<AcquisitionPipeline<Other>>& other, const AcquisitionCall& call,
         const mxArray* frames, int nlhs, mxArray* plhs[]) {
  other.reset();
  if (!pipeline) pipeline = std::make_unique<AcquisitionPipeline<T>>();
  std::vector<T> converted;
  const T* data = static_cast<const T*>(mxGetData(frames));
  if (mxGetClassID(frames) != Class_Of<T>()) {
    converted = korvex::gateway::Read_Frames<T>(frames);
    data = converted.data();
  }
  const AcquisitionResult<T> result =
      pipeline->Reconstruct(data, call.height, call.width, call.frames, call.options);
  Keep_Warnings(result.pattern, result.lowModulation, result.undersampled);
  plhs[0] = Image_Array(result.image, result.height, result.width);
  if (nlhs > 1) plhs[1] = Info_Struct(result, call.options.upsample);
}

void Run_Call(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nlhs > 2) throw std::invalid_argument("at most two outputs: [image, info]");
  if (nrhs == 1 && mxIsChar(prhs[0])) {
    char* text = mxArrayToString(prhs[0]);
    const std::string request = text ? text : "";
    mxFree(text);
    if (request != "release") {
      throw std::invalid_argument("the only request is 'release', got '" + request + "'");
    }
    Release_Pipelines();
    return;
  }
  if (nrhs < 1) {
    throw std::invalid_argument(
        "usage: [image, info] = korvex_reconstruct(frames, 'na', NA, 'wavelength', lambda, "
        "'pixelSize', p, ...)");
  }
  const AcquisitionCall call = korvex::gateway::Read_Acquisition_Call(nrhs, prhs);
  if (call.singlePrecision) {
    Run(singlePipeline, doublePipeline, call, prhs[0], nlhs, plhs);
  } else {
    Run(doublePipeline, singlePipeline, call, prhs[0], nlhs, plhs);
  }
}

// mexErrMsgIdAndTxt does not return: the message must outlive mexFunction's frame. Octave
// puts the function name before it; MATLAB names the function in its own error line.
std::string failureMessage;
const char* failureId = "korvex:failure";

bool Run_Guarded(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) noexcept {
  pendingWarnings.clear();
  pendingUndersampled.clear();
  try {
    Run_Call(nlhs, plhs, nrhs, prhs);
    return true;
  } catch (const std::invalid_argument& failure) {
    failureId = "korvex:badParameter";
    failureMessage = failure.what();
  } catch (const std::exception& failure) {
    failureId = "korvex:failure";
    failureMessage = failure.what();
  } catch (...) {
    failureId = "korvex:failure";
    failureMessage = "internal error: unknown exception";
  }
  Release_Pipelines();
  return false;
}

void At_Exit() { Release_Pipelines(); }

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  mexAtExit(At_Exit);
  if (!Run_Guarded(nlhs, plhs, nrhs, prhs)) {
    mexErrMsgIdAndTxt(failureId, "%s", failureMessage.c_str());
  }
  Warn();
}
