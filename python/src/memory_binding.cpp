// SPDX-License-Identifier: BSD-3-Clause
// tamrin._tamrin.memory_check: whether a call of tamrin.denoise fits in the
// memory this process may use, asked before the call converts its data or
// creates its results (tamrin/__init__.py raises the MemoryError).
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "driver/call_memory.h"
#include "driver/shared_slabs.h"
#include "support/memory_check.h"
#include "tamrin/denoise.h"

namespace py = pybind11;

namespace {

struct Call {
    int32_t X, Y, Z, N;
    bool rank, mask;
    int64_t extra;
    int32_t slabs;  // 0: as many as workers
};

tamrin::MemoryNeed needOf(int32_t workers, const void* context) {
    const Call& call = *static_cast<const Call*>(context);
    tamrin::MemoryNeed need = tamrin::denoiseCallNeed(call.X, call.Y, call.Z, call.N, workers, call.rank, call.mask,
                                                      call.slabs > 0 ? call.slabs : workers);
    need.privateBytes = need.privateBytes > INT64_MAX - call.extra ? INT64_MAX : need.privateBytes + call.extra;
    return need;
}

// None when the call fits (or the check is turned off), else (figures,
// workers): the figures of the refusal and the largest worker count that
// would fit, 0 when fewer workers would not be enough.
py::object memoryCheck(int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t workers, bool rank, bool mask,
                       int64_t extra, int32_t slabs) {
    if (tamrin::memoryCheckDisabled()) return py::none();
    const Call call{X, Y, Z, N, rank, mask, extra < 0 ? 0 : extra, slabs};
    const tamrin::MemoryNeed need = needOf(workers, &call);
    const tamrin::MemoryLimits limits = tamrin::probeMemoryLimits();
    const tamrin::MemoryVerdict verdict = tamrin::checkMemory(need, limits);
    if (verdict.fits) return py::none();
    char figures[512];
    tamrin::describeShortfall(need, limits, verdict, figures, sizeof figures);
    const int32_t used = tamrin::sharedThreadsUsed(X, Y, Z, N, workers);
    const int32_t fitting = tamrin::workersThatFit(needOf, &call, used, limits);
    return py::make_tuple(std::string(figures), fitting < used ? fitting : 0);
}

}  // namespace

void defineMemoryCheck(py::module_& module) {
    module.def("memory_check", &memoryCheck, py::arg("X"), py::arg("Y"), py::arg("Z"), py::arg("N"),
               py::arg("workers"), py::arg("rank"), py::arg("mask"), py::arg("extra"), py::arg("slabs") = 0,
               "None when a call on an X x Y x Z x N series with `workers` threads and `slabs` slabs (0: as\n"
               "many as workers; and the rank map, the mask)\n"
               "fits in the memory this process may use, with `extra` bytes more obtained beforehand (a\n"
               "converted copy of the data); else (figures, workers): the refusal's figures and the largest\n"
               "worker count that fits (0 when fewer workers would not be enough). None too when the\n"
               "environment variable TAMRIN_NO_MEMORY_CHECK is set (not to 0).");
}
