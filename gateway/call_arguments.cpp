#include "call_arguments.h"

#include <cmath>
#include <stdexcept>
#include <string>

#include "mex_arguments.h"

namespace korvex::gateway {

namespace {

const char kNotFloatingPoint[] = "KorvexCUDA Requires either Single or Double Precision format!\n";

struct SettingMessages {
  const char* readError;   // completes kNotFloatingPoint
  const char* emptyError;  // nothing to read, or the first element is not where mxGetData points
};

const SettingMessages kMaxIterationsMessages = {
    "KorvexCUDA Error Reading Maximum amount of Iterations!\n",
    "KorvexCUDA Error: Maximum amount of Iterations must not be empty or sparse!\n"};
const SettingMessages kThresholdMessages = {
    "KorvexCUDA Error Reading Threshold!\n",
    "KorvexCUDA Error: Threshold must not be empty or sparse!\n"};
const SettingMessages kAlphaMessages = {"KorvexCUDA Error Reading Alpha!\n",
                                        "KorvexCUDA Error: Alpha must not be empty or sparse!\n"};
const SettingMessages kLambdaMessages = {"KorvexCUDA Error Reading Lambda!\n",
                                         "KorvexCUDA Error: Lambda must not be empty or sparse!\n"};

// The largest iteration limit the engine's 32-bit count holds.
constexpr double kMaxIterationLimit = 4294967295.0;

[[noreturn]] void Fail(const std::string& message) { throw std::runtime_error(message); }

// First element of a single or double array, widened to double.
double Read_Scalar(const mxArray* array, const SettingMessages& messages) {
  const mxClassID classId = mxGetClassID(array);
  if (classId != mxDOUBLE_CLASS && classId != mxSINGLE_CLASS) {
    Fail(std::string(kNotFloatingPoint) + messages.readError);
  }
  // A sparse array's data are its non-zeros only, possibly none.
  if (mxGetNumberOfElements(array) == 0 || mxIsSparse(array)) Fail(messages.emptyError);
  const void* data = mxGetData(array);
  if (classId == mxDOUBLE_CLASS) return *static_cast<const double*>(data);
  return static_cast<double>(*static_cast<const float*>(data));
}

void Check_Dimension_Count(const mxArray* array, mwSize most, const char* message) {
  if (mxGetNumberOfDimensions(array) > most) Fail(message);
}

// The engine reads height x width values of every frame: a smaller frame would be overrun.
void Check_Covers_Otf(const mxArray* array, const mxArray* otf, const char* message) {
  const mwSize* extents = mxGetDimensions(array);
  const mwSize* otfExtents = mxGetDimensions(otf);
  if (extents[0] != otfExtents[0] || extents[1] != otfExtents[1]) Fail(message);
}

}  // namespace

RunSettings Read_Settings(const mxArray* const prhs[]) {
  RunSettings settings{};
  const double limit = Read_Scalar(prhs[kMaxIterations], kMaxIterationsMessages);
  // Written so that NaN fails too.
  if (!(limit >= 0.0 && limit <= kMaxIterationLimit)) {
    Fail(
        "KorvexCUDA Error: Maximum amount of Iterations must be a number from 0 to "
        "4294967295!\n");
  }
  settings.maxIterations = static_cast<uint32_t>(limit);  // truncates toward zero
  settings.threshold = Read_Scalar(prhs[kThreshold], kThresholdMessages);
  settings.alpha = Read_Scalar(prhs[kAlpha], kAlphaMessages);
  settings.lambda = Read_Scalar(prhs[kLambda], kLambdaMessages);
  // A non-finite weight turns the whole estimate into NaN without stopping the loop.
  if (!std::isfinite(settings.lambda)) Fail("KorvexCUDA Error: Lambda must be finite!\n");
  return settings;
}

ImageGeometry Read_Geometry(const mxArray* const prhs[]) {
  const mxArray* sequence = prhs[kSequence];
  const mxArray* mask = prhs[kMask];
  const mxArray* otf = prhs[kOtf];
  Check_Dimension_Count(sequence, 3,
                        "KorvexCUDA Error: Image Sequence has more than 3 dimensions!\n");
  Check_Dimension_Count(mask, 3, "KorvexCUDA Error: Image Mask has more than 3 dimensions!\n");
  Check_Dimension_Count(otf, 2, "KorvexCUDA Error: OTF has more than 2 dimensions!\n");

  ImageGeometry geometry{};
  const mwSize* otfExtents = mxGetDimensions(otf);
  // The engine counts in 32 bits: each extent is the low half of MATLAB's.
  geometry.height = static_cast<uint32_t>(otfExtents[0]);
  geometry.width = static_cast<uint32_t>(otfExtents[1]);
  geometry.frames = static_cast<uint32_t>(Frame_Extent(sequence));
  if (geometry.frames != static_cast<uint32_t>(Frame_Extent(mask))) {
    Fail("KorvexCuda: Error Sequence Size and Mask Size not equal!\n ");
  }

  Check_Covers_Otf(sequence, otf,
                   "KorvexCUDA Error: Image Sequence height and width differ from the OTF's!\n");
  Check_Covers_Otf(mask, otf,
                   "KorvexCUDA Error: Image Mask height and width differ from the OTF's!\n");
  if (geometry.height == 0 || geometry.width == 0 || geometry.frames == 0) {
    Fail("KorvexCUDA Error: Empty image! Height, width and frame count must be at least 1!\n");
  }
  return geometry;
}

Precision Read_Precision(const mxArray* const prhs[]) {
  const mxArray* data[] = {prhs[kSequence], prhs[kMask], prhs[kOtf]};
  bool allSingle = true;
  bool allDouble = true;
  for (const mxArray* array : data) {
    allSingle = allSingle && mxGetClassID(array) == mxSINGLE_CLASS;
    allDouble = allDouble && mxGetClassID(array) == mxDOUBLE_CLASS;
  }
  if (!allSingle && !allDouble) {
    Fail(std::string("KorvexCUDA ") +
         "ERROR: Expecting ALL data arrays to be either in single or double precision!" + "\n");
  }
  // The engine reads plain real values: a complex or sparse layout would be misread.
  for (const mxArray* array : data) {
    if (mxIsComplex(array)) Fail("KorvexCUDA Error: Complex data arrays are not supported!\n");
  }
  for (const mxArray* array : data) {
    if (mxIsSparse(array)) Fail("KorvexCUDA Error: Sparse data arrays are not supported!\n");
  }
  return allSingle ? Precision::kSingle : Precision::kDouble;
}

}  // namespace korvex::gateway
