// SPDX-License-Identifier: BSD-3-Clause
// Declarations of the MEX C API that gateway/mex_gateway.cpp uses, with the
// types and prototypes of MATLAB's documentation, so that the gateway can be
// compiled (not linked) for targets that have no MATLAB or Octave of their
// own: cross builds for Windows and ARM64. Octave's own mex.h is no
// substitute there: it includes the configuration generated for the Octave
// installed on the build machine (x86-64 Linux).
//
// MX_HAS_INTERLEAVED_COMPLEX selects the API of `mex -R2018a` (1, what
// matlab/build_tamrin.m uses) or the separate-complex API (0).
#pragma once

#include <stdbool.h>
#include <stddef.h>

#ifndef MX_HAS_INTERLEAVED_COMPLEX
#define MX_HAS_INTERLEAVED_COMPLEX 1
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mxArray_tag mxArray;
typedef size_t mwSize;
typedef size_t mwIndex;
typedef double mxDouble;
// One byte a value; bool in C++ and in C with <stdbool.h>, as documented.
typedef bool mxLogical;

typedef enum {
    mxUNKNOWN_CLASS = 0,
    mxCELL_CLASS,
    mxSTRUCT_CLASS,
    mxLOGICAL_CLASS,
    mxCHAR_CLASS,
    mxVOID_CLASS,
    mxDOUBLE_CLASS,
    mxSINGLE_CLASS,
    mxINT8_CLASS,
    mxUINT8_CLASS,
    mxINT16_CLASS,
    mxUINT16_CLASS,
    mxINT32_CLASS,
    mxUINT32_CLASS,
    mxINT64_CLASS,
    mxUINT64_CLASS,
    mxFUNCTION_CLASS
} mxClassID;

typedef enum { mxREAL, mxCOMPLEX } mxComplexity;

bool mxIsDouble(const mxArray* pm);
bool mxIsComplex(const mxArray* pm);
bool mxIsSparse(const mxArray* pm);
bool mxIsNumeric(const mxArray* pm);
bool mxIsLogical(const mxArray* pm);
bool mxIsChar(const mxArray* pm);
mxClassID mxGetClassID(const mxArray* pm);
const char* mxGetClassName(const mxArray* pm);
mwSize mxGetNumberOfDimensions(const mxArray* pm);
const mwSize* mxGetDimensions(const mxArray* pm);
size_t mxGetNumberOfElements(const mxArray* pm);
size_t mxGetM(const mxArray* pm);
double mxGetScalar(const mxArray* pm);
mxDouble* mxGetPr(const mxArray* pm);
void* mxGetData(const mxArray* pm);
int mxGetString(const mxArray* pm, char* str, mwSize strlen);
#if MX_HAS_INTERLEAVED_COMPLEX
mxDouble* mxGetDoubles(const mxArray* pa);
#endif
mxArray* mxCreateNumericArray(mwSize ndim, const mwSize* dims, mxClassID classid, mxComplexity ComplexFlag);
mxArray* mxCreateDoubleMatrix(mwSize m, mwSize n, mxComplexity ComplexFlag);
void mxDestroyArray(mxArray* pm);
void* mxCalloc(mwSize n, mwSize size);
void* mxMalloc(mwSize n);
void* mxRealloc(void* ptr, mwSize size);
void mxFree(void* ptr);

int mexPrintf(const char* message, ...);
void mexErrMsgIdAndTxt(const char* errorid, const char* errormsg, ...);

// The entry point, which the module must export.
#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

#ifdef __cplusplus
}
#endif
