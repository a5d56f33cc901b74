// Reading MEX arguments and name/value options: one set of rules for korvex_reconstruct and
// korvex_estimate_patterns. KorvexCUDA reads its frame extents here too and keeps its own
// historical messages, which its callers match.
//
// Arrays are real and full, of the classes the caller allows; scalars are real, finite and of
// any numeric class; counts are whole numbers within their caps; switches are logical or 0/1;
// text is char. Every fault throws std::invalid_argument whose message names the argument.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "mex.h"

namespace korvex::gateway {

// An array of the wrong size: empty, or of too many dimensions.
class SizeFault : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Caps shared by every entry point.
constexpr unsigned kMostAngles = 64;
constexpr unsigned kMostPhases = 64;
constexpr unsigned kMostIterations = 1000000;

enum class Classes { kFloating, kNumeric };  // single or double; or any integer class too

// "64 x 48 x 9": the extents as MATLAB shows them.
std::string Size_Text(const mxArray* array);

// Third extent; MATLAB drops a trailing singleton dimension, so two dimensions are one frame.
mwSize Frame_Extent(const mxArray* array);

// Refuses a sparse, complex or non-numeric array, one of a class outside `classes`, and (with
// SizeFault) an empty one or one of more than `most` dimensions.
void Check_Array(const mxArray* array, const std::string& name, Classes classes, mwSize most);

// Every element of a real numeric array, as double.
std::vector<double> Read_Doubles(const mxArray* array, const std::string& name);

double Read_Scalar(const mxArray* array, const std::string& name);
unsigned Read_Count(const mxArray* array, const std::string& name, unsigned least, unsigned most);
bool Read_Switch(const mxArray* array, const std::string& name);
std::string Read_Text(const mxArray* array, const std::string& name);
// A non-empty vector of finite values.
std::vector<double> Read_Vector(const mxArray* array, const std::string& name);

// The name/value pairs of prhs[first] onwards, in order; `known` lists the names for the
// message that refuses any other.
struct Option {
  std::string name;
  const mxArray* value;
};
std::vector<Option> Read_Options(int nrhs, const mxArray* prhs[], int first,
                                 const std::vector<std::string>& known);

// An unknown option's refusal.
[[noreturn]] void Refuse_Option(const std::string& name, const std::vector<std::string>& known);

}  // namespace korvex::gateway
