// The extension module tamrin._tamrin: runs the denoiser on numpy arrays.
//
// tamrin/__init__.py checks and converts the caller's arguments and creates
// the result arrays; denoiseInto runs the core into them. The series is read
// where it lies (a Fortran-ordered float64 or float32 array), and the results
// are written straight into the caller's arrays.
//
// While the workers run the interpreter lock is released and the calling
// thread wakes every 100 ms (denoiseSeriesWatched) to take the lock briefly:
// it runs the interpreter's signal handlers, so that Ctrl-C raises
// KeyboardInterrupt, and calls the progress callable. An exception from
// either sets the cancel flag; the workers stop at their next row, and the
// exception is raised once they have ended.
//
// The core's messages come from worker threads, where no Python code may run:
// each call gives the core a message log of its own and hands its content
// back to tamrin/__init__.py, which issues it as warnings. Calls from several
// Python threads run at the same time, each with its own workers.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tamrin/denoise.h"
#include "tamrin/messages.h"
#include "tamrin/watch.h"

namespace py = pybind11;

namespace {

constexpr int32_t kWatchIntervalMs = 100;

// ---------------------------------------------------------------------------
// The call's messages as a list of (text, count); lost texts come last with
// an empty text. Needs the interpreter lock.

py::list messagesOf(tamrin::MessageLog* log) {
    int64_t lost = 0;
    py::list messages;
    for (const tamrin::MessageRun& run : tamrin::takeMessages(log, &lost))
        messages.append(py::make_tuple(run.text, run.count));
    if (lost > 0) messages.append(py::make_tuple(std::string(), lost));
    return messages;
}

// ---------------------------------------------------------------------------
// The watch on the calling thread.

struct Watch {
    py::object progress;  // None, or a callable taking (done, total)
    std::atomic<bool> cancel{false};
    // The pending exception (type, value, traceback) that stopped the run.
    PyObject* errorType = nullptr;
    PyObject* errorValue = nullptr;
    PyObject* errorTrace = nullptr;
};

// Keeps the exception now set in the interpreter and stops the run.
void stopWithPendingError(Watch* watch) {
    PyErr_Fetch(&watch->errorType, &watch->errorValue, &watch->errorTrace);
    watch->cancel.store(true);
}

// Called every interval while the run goes on, then once at its end.
void onWatch(int64_t done, int64_t total, bool /*finished*/, void* context) {
    Watch* watch = static_cast<Watch*>(context);
    if (watch->cancel.load()) return;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) {
        stopWithPendingError(watch);
        return;
    }
    if (watch->progress.is_none()) return;
    PyObject* result = PyObject_CallFunction(watch->progress.ptr(), "LL", static_cast<long long>(done),
                                             static_cast<long long>(total));
    if (result == nullptr)
        stopWithPendingError(watch);
    else
        Py_DECREF(result);
}

// ---------------------------------------------------------------------------
// Arguments: checked again here, since the arrays are handed to the core as
// raw pointers.

using F64 = py::array_t<double, py::array::f_style>;
using F32 = py::array_t<float, py::array::f_style>;

bool aligned(const py::array& a) { return (a.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_) != 0; }

// A writeable, aligned, Fortran-ordered float64 array of the given shape.
F64 resultArray(const py::object& object, const char* name, const std::vector<py::ssize_t>& shape) {
    if (!F64::check_(object)) throw py::type_error(std::string(name) + " must be a Fortran-ordered float64 array");
    F64 array = py::reinterpret_borrow<F64>(object);
    if (!array.writeable() || !aligned(array) || array.ndim() != static_cast<py::ssize_t>(shape.size()))
        throw py::value_error(std::string(name) + " must be a writeable, aligned array of " +
                              std::to_string(shape.size()) + " dimensions");
    for (std::size_t i = 0; i < shape.size(); i++)
        if (array.shape(static_cast<py::ssize_t>(i)) != shape[i])
            throw py::value_error(std::string(name) + " does not have the series' extents");
    return array;
}

tamrin::SeriesView seriesOf(const py::object& data) {
    const bool doubles = F64::check_(data);
    if (!doubles && !F32::check_(data))
        throw py::type_error("data must be a Fortran-ordered float64 or float32 array");
    const py::array array = py::reinterpret_borrow<py::array>(data);
    if (array.ndim() != 4 || !aligned(array)) throw py::value_error("data must be an aligned 4-D array");
    tamrin::SeriesView view;
    view.values = array.data();
    view.type = doubles ? tamrin::kValuesDouble : tamrin::kValuesSingle;
    int32_t* extents[4] = {&view.X, &view.Y, &view.Z, &view.N};
    for (py::ssize_t i = 0; i < 4; i++) {
        if (array.shape(i) < 1 || array.shape(i) > INT32_MAX)
            throw py::value_error("each extent of data must be from 1 to 2147483647");
        *extents[i] = static_cast<int32_t>(array.shape(i));
    }
    if (view.N < 2) throw py::value_error("data must hold at least 2 volumes");
    return view;
}

// The optional mask: None, or a Fortran-ordered X x Y x Z array of bytes
// (tamrin/__init__.py makes it), non-zero inside.
const uint8_t* maskOf(const py::object& object, const std::vector<py::ssize_t>& grid) {
    using Bytes = py::array_t<uint8_t, py::array::f_style>;
    if (object.is_none()) return nullptr;
    if (!Bytes::check_(object)) throw py::type_error("mask must be a Fortran-ordered uint8 array");
    const Bytes array = py::reinterpret_borrow<Bytes>(object);
    if (array.ndim() != 3) throw py::value_error("mask must be a 3-D array");
    for (py::ssize_t i = 0; i < 3; i++)
        if (array.shape(i) != grid[static_cast<std::size_t>(i)])
            throw py::value_error("mask does not have the series' grid");
    return array.data();
}

// Raises the exception for a status other than kDenoiseOk.
[[noreturn]] void raiseStatus(int32_t status) {
    const std::string message = std::string("denoising failed: ") + tamrin::denoiseStatusMessage(status);
    if (status == tamrin::kDenoiseOutOfMemory || status == tamrin::kDenoisePatchOutOfMemory) {
        PyErr_SetString(PyExc_MemoryError, message.c_str());
        throw py::error_already_set();
    }
    if (status == tamrin::kDenoiseBadExtents || status == tamrin::kDenoiseEmptyMask) throw py::value_error(message);
    throw std::runtime_error(message);
}

// denoiseInto(data, workers, denoised, noise, weight, progress, mask, rank):
// denoises data into the result arrays (rank: None or the rank map's array)
// and returns the core's messages as a list of (text, count).
py::list denoiseInto(const py::object& data, int32_t workers, const py::object& denoisedArray,
                     const py::object& noiseArray, const py::object& weightArray, const py::object& progress,
                     const py::object& maskArray, const py::object& rankArray) {
    const tamrin::SeriesView series = seriesOf(data);
    if (workers < 1) throw py::value_error("workers must be at least 1");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be None or a callable taking (done, total)");
    const std::vector<py::ssize_t> map = {series.X, series.Y, series.Z};
    F64 denoised = resultArray(denoisedArray, "denoised", {series.X, series.Y, series.Z, series.N});
    F64 noise = resultArray(noiseArray, "noise", map);
    F64 weight = resultArray(weightArray, "weight", map);
    const uint8_t* mask = maskOf(maskArray, map);
    F64 rank;
    if (!rankArray.is_none()) rank = resultArray(rankArray, "rank", map);

    tamrin::DenoiseResults results;
    results.denoised = denoised.mutable_data();
    results.noise = noise.mutable_data();
    results.weight = weight.mutable_data();
    results.rank = rankArray.is_none() ? nullptr : rank.mutable_data();
    Watch watch;
    watch.progress = progress;
    tamrin::MessageLog log;
    tamrin::DenoiseOptions options;
    options.cancel = &watch.cancel;
    options.mask = mask;
    options.messages = &log;

    int32_t status = tamrin::kDenoiseOk;
    {
        py::gil_scoped_release release;
        status = tamrin::denoiseSeriesWatched(series, workers, results, options, kWatchIntervalMs, onWatch, &watch);
    }
    py::list messages = messagesOf(&log);
    if (watch.errorType != nullptr) {
        PyErr_Restore(watch.errorType, watch.errorValue, watch.errorTrace);
        throw py::error_already_set();
    }
    if (status != tamrin::kDenoiseOk) raiseStatus(status);
    return messages;
}

}  // namespace

PYBIND11_MODULE(_tamrin, module) {
    module.doc() = "The denoiser's native part; use tamrin.denoise.";
    module.attr("__version__") = TAMRIN_VERSION;
    module.def("denoise_into", &denoiseInto, py::arg("data"), py::arg("workers"), py::arg("denoised"),
               py::arg("noise"), py::arg("weight"), py::arg("progress") = py::none(), py::kw_only(),
               py::arg("mask") = py::none(), py::arg("rank") = py::none(),
               "Denoises data (a Fortran-ordered float64 or float32 X x Y x Z x N array) into the given\n"
               "Fortran-ordered float64 arrays, within mask (None, or Fortran-ordered X x Y x Z bytes)\n"
               "and with the rank map when rank is an array; returns the core's messages as (text, count)\n"
               "pairs.");
    module.def(
        "patch_positions",
        [](int32_t X, int32_t Y, int32_t Z, int32_t N) { return tamrin::patchPositions(X, Y, Z, N); },
        py::arg("X"), py::arg("Y"), py::arg("Z"), py::arg("N"),
        "Patch positions a run of an X x Y x Z x N series visits (the total of its progress).");
    module.def(
        "workers_used",
        [](int32_t X, int32_t Y, int32_t Z, int32_t N, int32_t requested) {
            return tamrin::workersUsed(X, Y, Z, N, requested);
        },
        py::arg("X"), py::arg("Y"), py::arg("Z"), py::arg("N"), py::arg("requested"),
        "Worker threads a run of an X x Y x Z x N series with `requested` workers uses.");
}
