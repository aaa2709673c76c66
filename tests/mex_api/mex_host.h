// SPDX-License-Identifier: BSD-3-Clause
// A stand-in MEX host for tests: the functions of mex.h implemented over
// plain arrays, so that the gateway (gateway/mex_gateway.cpp) runs linked
// into a test program, natively, under wine and under qemu, without MATLAB or
// Octave. It behaves as the hosts do where the gateway relies on it:
//
// - mexErrMsgIdAndTxt does not return: it jumps (longjmp) back to the call
//   that started the MEX function, skipping every frame in between without
//   running a destructor, as a C host's error does;
// - arrays and mxMalloc blocks made during a call and neither returned nor
//   released are reclaimed by the host when the call ends, normally or with
//   an error (the host counts them, so that a test can tell what the gateway
//   released itself);
// - a host allocation that fails (see failHostAllocation) raises the host's
//   own error, MATLAB:nomem, from inside the allocating function;
// - mexPrintf appends to the call's printed text and notes whether it was
//   called from another thread than the caller's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mex.h"

namespace mex_host {

// A new array of the given class and dimensions, its values zero; numeric
// classes may be complex (interleaved real and imaginary values), double
// and logical arrays sparse (then only the flag is kept: the gateway never
// reads a sparse array's values). The caller owns it (destroy).
mxArray* create(mxClassID type, const std::vector<mwSize>& dims, bool complex = false, bool sparse = false);

// An array that claims the given dimensions but holds no values, for
// dimensions too large to allocate; only its shape may be read.
mxArray* shapeOnly(mxClassID type, const std::vector<mwSize>& dims);

// A real numeric array holding `values` converted to the class's C type.
template <typename T>
mxArray* filled(mxClassID type, const std::vector<mwSize>& dims, const std::vector<T>& values);

// A 1 x 1 double.
mxArray* scalar(double value);

// A 1 x n char array holding the characters of `text` (an option's name).
mxArray* text(const std::string& text);

void destroy(mxArray* array);

// The values of a numeric array as its C type.
template <typename T>
const T* valuesOf(const mxArray* array) {
    return static_cast<const T*>(mxGetData(array));
}

// What a call of mexFunction did.
struct Call {
    bool failed = false;
    std::string id, message;       // the error raised, when failed
    std::string printed;           // everything mexPrintf received, in order
    bool printedOffThread = false; // mexPrintf was called from another thread
    std::vector<mxArray*> outputs; // plhs[0 .. max(nlhs, 1) - 1]; the caller owns them
    // Arrays and blocks from mxMalloc, mxCalloc and mxRealloc that the call
    // neither returned nor released: the host reclaimed them at the end.
    long long reclaimedArrays = 0, reclaimedBlocks = 0;
    ~Call();
    Call() = default;
    Call(Call&& other) noexcept;
    Call& operator=(Call&& other) = delete;
    Call(const Call&) = delete;
};

// Calls mexFunction(nlhs, plhs, inputs.size(), inputs) as the host does.
Call call(int nlhs, const std::vector<const mxArray*>& inputs);

// Makes the nth host allocation from now (mxCreate*, mxMalloc, mxCalloc,
// mxRealloc; 1 = the next one) fail with the host's error; 0 disarms.
void failHostAllocation(long long nth);

// Host allocations made so far (every call counts).
long long hostAllocations();

// Arrays and blocks alive now, made by tests or by calls.
long long liveArrays();
long long liveBlocks();

}  // namespace mex_host
