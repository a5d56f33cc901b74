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

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);
