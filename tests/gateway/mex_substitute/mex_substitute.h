// Test side of the MEX substitute: building arrays and observing what the gateway does.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mex.h"

namespace mex_substitute {

// What mexErrMsgTxt throws. Deliberately not a std::exception, like MATLAB's own error
// transport, so that a gateway catching std::exception cannot swallow it.
struct MexError {
  std::string message;
  std::string id;  // mexErrMsgIdAndTxt's identifier; empty for mexErrMsgTxt
};

// A warning raised through mexWarnMsgIdAndTxt.
struct MexWarning {
  std::string id;
  std::string message;
};

// The warnings raised since the last call, which empties the list.
std::vector<MexWarning> Take_Warnings();

struct ArrayDeleter {
  void operator()(mxArray* array) const { mxDestroyArray(array); }
};
using ArrayPtr = std::unique_ptr<mxArray, ArrayDeleter>;

// A zero-filled array, as mxCreateNumericArray makes it (any class, also logical and char).
ArrayPtr Make_Array(mxClassID classId, const std::vector<mwSize>& dims,
                    mxComplexity complexity = mxREAL);

// A real array holding `values` in MATLAB order, converted to the element type of `classId`
// (double, single or int32).
ArrayPtr Make_Filled(mxClassID classId, const std::vector<mwSize>& dims,
                     const std::vector<double>& values);

ArrayPtr Make_Scalar(double value, mxClassID classId = mxDOUBLE_CLASS);

// A char row holding `text`.
ArrayPtr Make_Text(const std::string& text);

// A 1 x 1 struct with these fields (each value taken over).
ArrayPtr Make_Struct(std::vector<std::pair<std::string, ArrayPtr>> fields);

// An array with extents but no storage: mxGetData gives null. Lets a test claim sizes it
// never reads, or hand the engine a missing buffer.
ArrayPtr Make_Unbacked(mxClassID classId, const std::vector<mwSize>& dims);

void Set_Sparse(mxArray* array);

// Element i of a double or single array, widened to double.
double Element(const mxArray* array, size_t i);

// The nth mxCreateNumericArray from now (1-based) runs `action`, which may throw, before it
// creates its array.
void Intercept_Create(unsigned nth, std::function<void()> action);

// Arrays created and not yet destroyed.
size_t Live_Arrays();

// What `clear mex` does before it unloads the MEX file: runs the functions registered with
// mexAtExit, once, and forgets them. Returns how many ran.
unsigned Clear_Mex();

}  // namespace mex_substitute
