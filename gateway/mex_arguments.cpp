#include "mex_arguments.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace korvex::gateway {

namespace {

[[noreturn]] void Fail(const std::string& message) { throw std::invalid_argument(message); }

bool Is_Floating(mxClassID id) { return id == mxDOUBLE_CLASS || id == mxSINGLE_CLASS; }

bool Is_Integer(mxClassID id) { return id >= mxINT8_CLASS && id <= mxUINT64_CLASS; }

const char* Class_Name(mxClassID id) {
  switch (id) {
    case mxCELL_CLASS:
      return "cell";
    case mxSTRUCT_CLASS:
      return "struct";
    case mxLOGICAL_CLASS:
      return "logical";
    case mxCHAR_CLASS:
      return "char";
    case mxDOUBLE_CLASS:
      return "double";
    case mxSINGLE_CLASS:
      return "single";
    case mxINT8_CLASS:
      return "int8";
    case mxUINT8_CLASS:
      return "uint8";
    case mxINT16_CLASS:
      return "int16";
    case mxUINT16_CLASS:
      return "uint16";
    case mxINT32_CLASS:
      return "int32";
    case mxUINT32_CLASS:
      return "uint32";
    case mxINT64_CLASS:
      return "int64";
    case mxUINT64_CLASS:
      return "uint64";
    case mxFUNCTION_CLASS:
      return "function_handle";
    default:
      return "unknown";
  }
}

// A plain numeric array's values, or nothing for other classes.
bool Is_Plain_Numeric(const mxArray* a) {
  const mxClassID id = mxGetClassID(a);
  return (Is_Floating(id) || Is_Integer(id)) && !mxIsComplex(a) && !mxIsSparse(a);
}

std::string Known_Text(const std::vector<std::string>& known) {
  std::string text;
  for (const std::string& name : known) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

std::string Size_Text(const mxArray* array) {
  const mwSize dims = mxGetNumberOfDimensions(array);
  const mwSize* extent = mxGetDimensions(array);
  std::string text;
  for (mwSize d = 0; d < dims; ++d) text += (d ? " x " : "") + std::to_string(extent[d]);
  return text;
}

mwSize Frame_Extent(const mxArray* array) {
  return mxGetNumberOfDimensions(array) >= 3 ? mxGetDimensions(array)[2] : 1;
}

void Check_Array(const mxArray* array, const std::string& name, Classes classes, mwSize most) {
  const mxClassID id = mxGetClassID(array);
  const bool allowed = Is_Floating(id) || (classes == Classes::kNumeric && Is_Integer(id));
  if (!allowed) {
    Fail(
        name + " must be " +
        (classes == Classes::kNumeric ? "single, double or an integer class" : "single or double") +
        ", not " + Class_Name(id));
  }
  if (mxIsSparse(array)) Fail(name + " must be full, not sparse");
  if (mxIsComplex(array)) Fail(name + " must be real, not complex");
  if (mxGetNumberOfElements(array) == 0) throw SizeFault(name + " must not be empty");
  if (mxGetNumberOfDimensions(array) > most) {
    throw SizeFault(name + " must have at most " + std::to_string(most) + " dimensions (got " +
                    Size_Text(array) + ")");
  }
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
      Fail(name + " must be a real, full numeric array");
  }
  return values;
}

double Read_Scalar(const mxArray* array, const std::string& name) {
  if (!Is_Plain_Numeric(array) || mxGetNumberOfElements(array) != 1) {
    Fail(name + " must be a real numeric scalar");
  }
  const double value = Read_Doubles(array, name)[0];
  if (!std::isfinite(value)) Fail(name + " must be finite");
  return value;
}

unsigned Read_Count(const mxArray* array, const std::string& name, unsigned least, unsigned most) {
  const double value = Read_Scalar(array, name);
  if (value < least || value != std::floor(value) || value > most) {
    char got[32];
    std::snprintf(got, sizeof got, "%g", value);
    Fail(name + " must be a whole number from " + std::to_string(least) + " to " +
         std::to_string(most) + ", got " + got);
  }
  return static_cast<unsigned>(value);
}

bool Read_Switch(const mxArray* array, const std::string& name) {
  if ((!mxIsLogical(array) && !Is_Plain_Numeric(array)) || mxGetNumberOfElements(array) != 1) {
    Fail(name + " must be true or false");
  }
  const double value =
      mxIsLogical(array) ? double(*mxGetLogicals(array)) : Read_Scalar(array, name);
  if (value != 0.0 && value != 1.0) Fail(name + " must be true or false");
  return value != 0.0;
}

std::string Read_Text(const mxArray* array, const std::string& name) {
  if (!mxIsChar(array)) Fail(name + " must be text");
  char* text = mxArrayToString(array);
  if (text == nullptr) Fail(name + " could not be read");
  std::string value(text);
  mxFree(text);
  return value;
}

std::vector<double> Read_Vector(const mxArray* array, const std::string& name) {
  if (!Is_Plain_Numeric(array) || mxGetNumberOfElements(array) == 0 ||
      mxGetNumberOfDimensions(array) > 2 || (mxGetM(array) != 1 && mxGetN(array) != 1)) {
    Fail(name + " must be a real numeric vector");
  }
  std::vector<double> values = Read_Doubles(array, name);
  for (double v : values) {
    if (!std::isfinite(v)) Fail(name + " must be finite");
  }
  return values;
}

void Refuse_Option(const std::string& name, const std::vector<std::string>& known) {
  Fail("unknown option '" + name + "' (known: " + Known_Text(known) + ")");
}

std::vector<Option> Read_Options(int nrhs, const mxArray* prhs[], int first,
                                 const std::vector<std::string>& known) {
  if (nrhs < first || (nrhs - first) % 2 != 0) Fail("options must come in name/value pairs");
  std::vector<Option> options;
  for (int i = first; i < nrhs; i += 2) {
    const std::string name =
        Read_Text(prhs[i], "option name " + std::to_string((i - first) / 2 + 1));
    bool isKnown = false;
    for (const std::string& k : known) isKnown = isKnown || k == name;
    if (!isKnown) Refuse_Option(name, known);
    options.push_back({name, prhs[i + 1]});
  }
  return options;
}

}  // namespace korvex::gateway
