#include "acquisition_fields.h"

#include <stdexcept>

#include "mex_arguments.h"

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

}  // namespace

mxArray* Pattern_Struct(const korvex::acquisition::IlluminationPattern& p, bool estimated) {
  const char* fields[] = {"angle", "period",      "phase",  "modulation",
                          "mcnr",  "modulation2", "phase2", "mcnr2"};
  mxArray* s = mxCreateStructMatrix(1, 1, 8, fields);
  mxSetField(s, 0, "angle", Per_Orientation(p, &OrientationEstimate::angle));
  mxSetField(s, 0, "period", Per_Orientation(p, &OrientationEstimate::period));
  mxSetField(s, 0, "phase", Row(p.phases));
  mxSetField(s, 0, "modulation", Per_Orientation(p, &OrientationEstimate::modulation));
  mxSetField(s, 0, "mcnr", Mcnr_Row(p, estimated));
  mxSetField(s, 0, "modulation2", Per_Orientation(p, &OrientationEstimate::modulation2));
  mxSetField(s, 0, "phase2", Per_Orientation(p, &OrientationEstimate::phase2));
  mxSetField(s, 0, "mcnr2", estimated ? Per_Orientation(p, &OrientationEstimate::mcnr2) : Row({}));
  return s;
}

mxArray* Mcnr_Row(const korvex::acquisition::IlluminationPattern& p, bool estimated) {
  return estimated ? Per_Orientation(p, &OrientationEstimate::mcnr) : Row({});
}

unsigned Read_Orders(const mxArray* value) {
  if (mxIsChar(value)) {
    char* text = mxArrayToString(value);
    const std::string orders = text ? text : "";
    mxFree(text);
    if (orders == "auto") return 0;
  } else {
    const std::vector<double> orders = Read_Doubles(value, "orders");
    if (orders.size() == 1 && (orders[0] == 1.0 || orders[0] == 2.0)) {
      return static_cast<unsigned>(orders[0]);
    }
  }
  Fail("orders must be 'auto', 1 or 2 (the harmonics of the pattern to estimate)");
}

std::vector<double> Read_Background(const mxArray* value, unsigned height, unsigned width) {
  std::vector<double> values = Read_Doubles(value, "background");
  if (values.size() != 1 && (mxGetNumberOfDimensions(value) != 2 || mxGetM(value) != height ||
                             mxGetN(value) != width)) {
    Fail("background must be a real scalar or a " + std::to_string(height) + " x " +
         std::to_string(width) + " image like one frame");
  }
  return values;
}

double Read_Gain(const mxArray* value) {
  const std::vector<double> gain = Read_Doubles(value, "gain");
  if (gain.size() != 1) Fail("gain must be a real numeric scalar (counts per photon)");
  return gain[0];
}

}  // namespace korvex::gateway
