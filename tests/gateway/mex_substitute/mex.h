// A small substitute of the MATLAB MEX and matrix API for unit tests of the gateway: only the
// calls that exist in both MATLAB's and Octave's mex.h, with MATLAB's class codes and the
// 64-bit-dimension mwSize. mexErrMsgTxt throws mex_substitute::MexError (mex_substitute.h).
#pragma once

#include <cstddef>

typedef size_t mwSize;
typedef struct mxArray_tag mxArray;

typedef enum {
  mxUNKNOWN_CLASS = 0,
  mxCELL_CLASS = 1,
  mxSTRUCT_CLASS = 2,
  mxLOGICAL_CLASS = 3,
  mxCHAR_CLASS = 4,
  mxVOID_CLASS = 5,
  mxDOUBLE_CLASS = 6,
  mxSINGLE_CLASS = 7,
  mxINT8_CLASS = 8,
  mxUINT8_CLASS = 9,
  mxINT16_CLASS = 10,
  mxUINT16_CLASS = 11,
  mxINT32_CLASS = 12,
  mxUINT32_CLASS = 13,
  mxINT64_CLASS = 14,
  mxUINT64_CLASS = 15,
  mxFUNCTION_CLASS = 16
} mxClassID;

typedef enum { mxREAL = 0, mxCOMPLEX = 1 } mxComplexity;
typedef bool mxLogical;

const mwSize* mxGetDimensions(const mxArray* array);
mwSize mxGetNumberOfDimensions(const mxArray* array);
size_t mxGetNumberOfElements(const mxArray* array);
mxClassID mxGetClassID(const mxArray* array);
void* mxGetData(const mxArray* array);
bool mxIsComplex(const mxArray* array);
bool mxIsSparse(const mxArray* array);
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid,
                              mxComplexity flag);
void mxDestroyArray(mxArray* array);
void mexErrMsgTxt(const char* message);
int mexAtExit(void (*exitFunction)(void));

// Text, logical and struct arrays, and identified errors and warnings, for the acquisition
// and estimation gateways.
bool mxIsLogical(const mxArray* array);
mxLogical* mxGetLogicals(const mxArray* array);
bool mxIsChar(const mxArray* array);
bool mxIsDouble(const mxArray* array);
bool mxIsSingle(const mxArray* array);
bool mxIsStruct(const mxArray* array);
size_t mxGetM(const mxArray* array);
size_t mxGetN(const mxArray* array);
char* mxArrayToString(const mxArray* array);  // null unless char; release with mxFree
void mxFree(void* pointer);
mxArray* mxCreateDoubleMatrix(size_t m, size_t n, mxComplexity flag);
mxArray* mxCreateDoubleScalar(double value);
mxArray* mxCreateLogicalScalar(mxLogical value);
double* mxGetPr(const mxArray* array);
mxArray* mxCreateStructMatrix(size_t m, size_t n, int nfields, const char** fieldnames);
mxArray* mxGetField(const mxArray* array, size_t index, const char* name);        // null if absent
void mxSetField(mxArray* array, size_t index, const char* name, mxArray* value);  // takes it
void mexErrMsgIdAndTxt(const char* id, const char* format, ...);
void mexWarnMsgIdAndTxt(const char* id, const char* format, ...);

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
