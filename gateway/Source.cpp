// KorvexCUDA: the MATLAB/Octave entry point of the MAP-SIM reconstruction.
//
// Checks the call, keeps one engine alive between calls (rebuilt only when the geometry or the
// iteration limit changes) and turns every failure into a MATLAB error after releasing both
// engines. All numerical work happens in KorvexLib.
#include "Source.h"

#include <exception>
#include <stdexcept>
#include <string>

#include "call_arguments.h"
#include "memory_budget.h"
#include "mex.h"

Korvex<float>* Computing_S = nullptr;
Korvex<double>* Computing_D = nullptr;

namespace {

using korvex::gateway::ImageGeometry;
using korvex::gateway::kAlpha;
using korvex::gateway::kInputCount;
using korvex::gateway::kMask;
using korvex::gateway::kOtf;
using korvex::gateway::kSequence;
using korvex::gateway::Precision;
using korvex::gateway::RunSettings;

constexpr int kMaxOutputs = 4;

const char kUsage[] =
    "KorvexCUDA Invalid Amount of Input Parameters! \n"
    " #0 --> Image Sequence\n"
    " #1 --> Image Mask\n"
    " #2 --> OTF\n"
    " #3 --> Max Iteration Count\n"
    " #4 --> Convergence Threshold\n"
    " #5 --> Lambda\n"
    " #6 --> Alpha\n";

template <typename T>
void Release(Korvex<T>*& slot) noexcept {
  delete slot;
  slot = nullptr;
}

void Release_Engines() noexcept {
  Release(Computing_S);
  Release(Computing_D);
  korvex::acquisition::Return_Freed_Memory();
}

// `clear mex` unloads the MEX file without calling it: the kept engines' device memory would
// stay held until the host program exits.
bool releaseAtExitRegistered = false;

void Release_At_Exit() {
  Release_Engines();
  releaseAtExitRegistered = false;
}

template <typename T>
mxClassID Class_Of();
template <>
mxClassID Class_Of<float>() {
  return mxSINGLE_CLASS;
}
template <>
mxClassID Class_Of<double>() {
  return mxDOUBLE_CLASS;
}

template <typename T>
mxArray* Create_Matrix(mwSize rows, mwSize columns) {
  const mwSize extents[2] = {rows, columns};
  return mxCreateNumericArray(2, extents, Class_Of<T>(), mxREAL);
}

template <typename T>
mxArray* Create_Scalar(T value) {
  mxArray* array = Create_Matrix<T>(1, 1);
  *static_cast<T*>(mxGetData(array)) = value;
  return array;
}

template <typename T>
bool Fits(const Korvex<T>& engine, const ImageGeometry& geometry, uint32_t maxIterations) {
  return engine.m_width == geometry.width && engine.m_height == geometry.height &&
         engine.m_maxIter == maxIterations && engine.m_frames == geometry.frames;
}

// One reconstruction on `slot`'s engine; the engine of the other precision goes first so that
// only one engine holds device memory at a time.
template <typename T, typename Other>
void Reconstruct(Korvex<T>*& slot, Korvex<Other>*& otherSlot, int nlhs, mxArray* plhs[],
                 const mxArray* const prhs[], const RunSettings& settings,
                 const ImageGeometry& geometry) {
  Release(otherSlot);

  T* image = static_cast<T*>(mxGetData(prhs[kSequence]));
  T* masks = static_cast<T*>(mxGetData(prhs[kMask]));
  T* otf = static_cast<T*>(mxGetData(prhs[kOtf]));
  plhs[0] = Create_Matrix<T>(geometry.height, geometry.width);
  T* output = static_cast<T*>(mxGetData(plhs[0]));

  if (slot != nullptr && !Fits(*slot, geometry, settings.maxIterations)) Release(slot);
  if (slot == nullptr) {
    slot = new Korvex<T>(geometry.width, geometry.height, geometry.frames, settings.maxIterations);
  }

  slot->Mapsim_Compute(image, otf, masks, output, static_cast<T>(settings.threshold),
                       static_cast<T>(settings.lambda), static_cast<T>(settings.alpha));

  if (nlhs > 1) plhs[1] = Create_Scalar(static_cast<T>(slot->m_iteration));
  if (nlhs > 2) plhs[2] = Create_Scalar(slot->m_alpha);
  if (nlhs > 3) plhs[3] = Create_Scalar(slot->m_ratio);
}

void Run_Call(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nlhs > kMaxOutputs) {
    throw std::runtime_error(std::string("KorvexCUDA ") +
                             "Too Many Output Arguments! Supported are [1 - 4]!" + "\n");
  }
  if (nrhs == 1) {  // request to clear memory; the input itself is not looked at
    Release_Engines();
    if (nlhs > 0) {
      throw std::runtime_error(
          "KorvexCuda: Error no output allowed during request to clear memory!\n");
    }
    return;
  }
  if (nrhs != kInputCount) throw std::runtime_error(kUsage);

  const RunSettings settings = korvex::gateway::Read_Settings(prhs);
  const ImageGeometry geometry = korvex::gateway::Read_Geometry(prhs);
  if (korvex::gateway::Read_Precision(prhs) == Precision::kSingle) {
    Reconstruct(Computing_S, Computing_D, nlhs, plhs, prhs, settings, geometry);
  } else {
    Reconstruct(Computing_D, Computing_S, nlhs, plhs, prhs, settings, geometry);
  }
}

// The message of the failure being raised. It lives outside mexFunction's frame because
// mexErrMsgTxt does not return: MATLAB may leave the frame without running destructors.
std::string failureMessage;
const char* failureText = nullptr;

void Keep_Failure(const char* text) noexcept {
  try {
    failureMessage.assign(text);
    failureText = failureMessage.c_str();
  } catch (...) {
    failureText = "KorvexCUDA Internal Error: out of memory while reporting an error\n";
  }
}

// Runs the call; on any exception releases both engines, keeps the message and returns false.
// Nothing may escape into MATLAB, which an exception leaving a MEX function can bring down.
bool Run_Guarded(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) noexcept {
  try {
    Run_Call(nlhs, plhs, nrhs, prhs);
    return true;
  } catch (const std::exception& failure) {
    Keep_Failure(failure.what());
  } catch (...) {
    Keep_Failure("KorvexCUDA Internal Error: unknown exception\n");
  }
  Release_Engines();
  return false;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (!releaseAtExitRegistered) {
    mexAtExit(Release_At_Exit);
    releaseAtExitRegistered = true;
  }
  if (!Run_Guarded(nlhs, plhs, nrhs, prhs)) mexErrMsgTxt(failureText);
}
