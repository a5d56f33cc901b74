#include "acquisition_fields.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace korvex::gateway {

namespace {

using korvex::patterns::OrientationEstimate;

[[noreturn]] void Fail(const std::string& message) { throw std::invalid_argument(message); }

mxArray* Row(const std::vector<double>& values) {
  mxArray* row = mxCreateDoubleMatrix(1, values.size(), mxREAL);
  double* out = mxGetPr(row);
  for (size_t i = 0; i < values.size(); ++i) out[i] = values[i];
  return row;
}

template <typename Field>
mxArray* Per_Orientation(const korvex::acquisition::IlluminationPattern& p, Field field) {
  std::vector<double> values;
  for (const OrientationEstimate& o : p.orientations) values.push_back(o.*field);
  return Row(values);
}

bool Is_Plain_Numeric(const mxArray* a) {
  return mxIsNumeric(a) && !mxIsComplex(a) && !mxIsSparse(a);
}

}  // namespace

mxArray* Pattern_Struct(const korvex::acquisition::IlluminationPattern& p, bool estimated) {
  const char* fields[] = {"angle", "period",      "phase",  "modulation",
                          "mcnr",  "modulation2", "phase2", "mcnr2"};
  mxArray* s = mxCreateStructMatrix(1, 1, 8, fields);
  mxSetField(s, 0, "angle", Per_Orientation(p, &OrientationEstimate::angle));
  mxSetField(s, 0, "period", Per_Orientation(p, &OrientationEstimate::period));
  mxSetField(s, 0, "phase", Row(p.phases));
  mxSetField(s, 0, "modulation", Per_Orientation(p, &OrientationEstimate::modulation));
  mxSetField(s, 0, "mcnr", estimated ? Per_Orientation(p, &OrientationEstimate::mcnr) : Row({}));
  mxSetField(s, 0, "modulation2", Per_Orientation(p, &OrientationEstimate::modulation2));
  mxSetField(s, 0, "phase2", Per_Orientation(p, &OrientationEstimate::phase2));
  mxSetField(s, 0, "mcnr2", estimated ? Per_Orientation(p, &OrientationEstimate::mcnr2) : Row({}));
  return s;
}

std::vector<double> Read_Doubles(const mxArray* array, const std::string& name) {
  if (!Is_Plain_Numeric(array)) Fail(name + " must be a real, full numeric array");
  const size_t n = mxGetNumberOfElements(array);
  std::vector<double> values(n);
  const void* data = mxGetData(array);
  switch (mxGetClassID(array)) {
#define KORVEX_READ(classId, type)                                                        \
  case classId:                                                                           \
    for (size_t i = 0; i < n; ++i) values[i] = double(static_cast<const type*>(data)[i]); \
    break;
    KORVEX_READ(mxDOUBLE_CLASS, double)
    KORVEX_READ(mxSINGLE_CLASS, float)
    KORVEX_READ(mxINT8_CLASS, int8_t)
    KORVEX_READ(mxUINT8_CLASS, uint8_t)
    KORVEX_READ(mxINT16_CLASS, int16_t)
    KORVEX_READ(mxUINT16_CLASS, uint16_t)
    KORVEX_READ(mxINT32_CLASS, int32_t)
    KORVEX_READ(mxUINT32_CLASS, uint32_t)
    KORVEX_READ(mxINT64_CLASS, int64_t)
    KORVEX_READ(mxUINT64_CLASS, uint64_t)
#undef KORVEX_READ
    default:
      Fail(name + " has an unsupported class");
  }
  return values;
}

unsigned Read_Orders(const mxArray* value) {
  if (mxIsChar(value)) {
    char* text = mxArrayToString(value);
    const std::string orders = text ? text : "";
    mxFree(text);
    if (orders == "auto") return 0;
  } else if (Is_Plain_Numeric(value) && mxGetNumberOfElements(value) == 1) {
    const double orders = Read_Doubles(value, "orders")[0];
    if (orders == 1.0 || orders == 2.0) return static_cast<unsigned>(orders);
  }
  Fail("orders must be 'auto', 1 or 2 (the harmonics of the pattern to estimate)");
}

std::vector<double> Read_Background(const mxArray* value, unsigned height, unsigned width) {
  const size_t count = mxGetNumberOfElements(value);
  if (!Is_Plain_Numeric(value) ||
      (count != 1 && (mxGetNumberOfDimensions(value) != 2 || mxGetM(value) != height ||
                      mxGetN(value) != width))) {
    Fail("background must be a real scalar or a " + std::to_string(height) + " x " +
         std::to_string(width) + " image like one frame");
  }
  return Read_Doubles(value, "background");
}

double Read_Gain(const mxArray* value) {
  if (!Is_Plain_Numeric(value) || mxGetNumberOfElements(value) != 1) {
    Fail("gain must be a real numeric scalar (counts per photon)");
  }
  return Read_Doubles(value, "gain")[0];
}

}  // namespace korvex::gateway
