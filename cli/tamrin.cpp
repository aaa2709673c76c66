// The tamrin command: usage texts and argument parsing for each subcommand.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "nifti_io.h"

namespace {

using namespace tamrin;

const char kUsage[] = R"(usage: tamrin COMMAND [options]

Denoises 4-D MRI series (x, y, z, volume; NIfTI-1 or NIfTI-2, .nii or .nii.gz)
by PCA of overlapping cubic patches, on several threads.

commands:
  denoise IN OUT [options]   denoise the series IN into OUT
  info IN [--workers K]      dimensions, datatype, voxel size, patch side,
                             patch count and the memory a run needs

options:
  -h, --help                 this text; "tamrin COMMAND --help" for a command
  --version                  the version

exit status: 0 success, 1 usage error, 2 input or output error,
             3 denoising failed (not enough memory)
)";

const char kDenoiseUsage[] = R"(usage: tamrin denoise IN OUT [--noise-map NOISE] [--workers K]
                      [--uncovered input|nan|zero] [--datatype float32|float64]
                      [--force] [--quiet]

Denoises the 4-D series IN (any integer or floating datatype; scl_slope and
scl_inter applied) and writes it to OUT (.nii or .nii.gz, the same NIfTI
version as IN). OUT and NOISE keep IN's geometry: qform and sform with their
codes, voxel sizes, units and description. Outputs are written under a
temporary name and renamed when complete: a failed run leaves nothing behind.
NaN and infinite values in a floating-point IN are read as 0.

options:
  --noise-map NOISE    also write the 3-D map of the local noise level (sigma)
  --workers K          threads to use (default: %u, this machine's hardware
                       threads); at most one per patch side of planes along the
                       longest axis is used
  --uncovered MODE     what voxels without an estimate receive: those that no
                       patch covers (patches whose values are all exactly 0,
                       as in masked background, are skipped) and those where
                       a patch's decomposition gave NaN (a warning counts them):
                         input  the input's value (default): background stays
                                as it was, usually 0
                         nan    NaN, as Tamrin(data, workers) returns
                         zero   0
                       The noise map has 0 there (NaN with "nan").
  --datatype TYPE      float32 (default) or float64; float64 gives the
                       denoiser's doubles exactly
  --force              replace OUT and NOISE when they exist (removed once
                       the results are ready, before the new files are written)
  --quiet              no progress line (none is shown either when stderr is
                       not a terminal)
  -h, --help           this text

exit status: 0 success, 1 usage error, 2 input or output error,
             3 denoising failed (not enough memory)
)";

const char kInfoUsage[] = R"(usage: tamrin info IN [--workers K]

Prints the dimensions, datatype, scaling, voxel size and description of the
series IN, the patch side and the number of patch positions, and the memory
"tamrin denoise" needs for it with K workers (default: %u).
)";

int usageError(const char* command, const std::string& message) {
    std::fprintf(stderr, "tamrin%s%s: %s\n(see tamrin%s%s --help)\n", command[0] ? " " : "", command, message.c_str(),
                 command[0] ? " " : "", command);
    return kExitUsage;
}

unsigned defaultWorkers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

bool parseWorkers(const std::string& text, int32_t* workers) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65536) return false;
    *workers = static_cast<int32_t>(value);
    return true;
}

// Splits "--name=value" and takes the value of "--name value" from the next
// argument. Returns false when a value is missing.
bool optionValue(const std::vector<std::string>& args, std::size_t* i, const std::string& name, std::string* value) {
    const std::string& arg = args[*i];
    if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
        *value = arg.substr(name.size() + 1);
        return true;
    }
    if (*i + 1 >= args.size()) return false;
    *value = args[++*i];
    return true;
}

bool isOption(const std::string& arg, const std::string& name) {
    return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
}

int denoiseCommand(const std::vector<std::string>& args) {
    DenoiseRequest request{"",         "",    "",   static_cast<int32_t>(defaultWorkers()), kUncoveredInput,
                           DT_FLOAT32, false, false};
    std::vector<std::string> positional;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        std::string value;
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            std::printf(kDenoiseUsage, defaultWorkers());
            return kExitOk;
        } else if (arg == "--force") {
            request.force = true;
        } else if (arg == "--quiet") {
            request.quiet = true;
        } else if (isOption(arg, "--noise-map")) {
            if (!optionValue(args, &i, "--noise-map", &request.noiseMap))
                return usageError("denoise", "--noise-map needs a file name");
        } else if (isOption(arg, "--workers")) {
            if (!optionValue(args, &i, "--workers", &value) || !parseWorkers(value, &request.workers))
                return usageError("denoise", "--workers needs a whole number from 1 to 65536");
        } else if (isOption(arg, "--uncovered")) {
            optionValue(args, &i, "--uncovered", &value);
            if (value == "input")
                request.uncovered = kUncoveredInput;
            else if (value == "nan")
                request.uncovered = kUncoveredNan;
            else if (value == "zero")
                request.uncovered = kUncoveredZero;
            else
                return usageError("denoise", "--uncovered needs input, nan or zero");
        } else if (isOption(arg, "--datatype")) {
            optionValue(args, &i, "--datatype", &value);
            if (value == "float32")
                request.datatype = DT_FLOAT32;
            else if (value == "float64")
                request.datatype = DT_FLOAT64;
            else
                return usageError("denoise", "--datatype needs float32 or float64");
        } else {
            return usageError("denoise", "unknown option " + arg);
        }
    }
    if (positional.size() != 2)
        return usageError("denoise", "expected an input and an output file, got " + std::to_string(positional.size()) +
                                         " file name" + (positional.size() == 1 ? "" : "s"));
    request.input = positional[0];
    request.output = positional[1];
    for (const std::string* name : {&request.output, &request.noiseMap})
        if (!name->empty() && !hasNiftiExtension(*name))
            return usageError("denoise", *name + ": output names must end in .nii or .nii.gz");
    if (request.output == request.noiseMap) return usageError("denoise", "OUT and --noise-map must be different files");
    return runDenoise(request);
}

int infoCommand(const std::vector<std::string>& args) {
    int32_t workers = static_cast<int32_t>(defaultWorkers());
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); i++) {
        std::string value;
        if (args[i] == "-h" || args[i] == "--help") {
            std::printf(kInfoUsage, defaultWorkers());
            return kExitOk;
        } else if (isOption(args[i], "--workers")) {
            if (!optionValue(args, &i, "--workers", &value) || !parseWorkers(value, &workers))
                return usageError("info", "--workers needs a whole number from 1 to 65536");
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usageError("info", "unknown option " + args[i]);
        } else {
            positional.push_back(args[i]);
        }
    }
    if (positional.size() != 1) return usageError("info", "expected one input file");
    return runInfo(positional[0], workers);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "--version") {
        std::printf("tamrin %s\n", TAMRIN_VERSION);
        return kExitOk;
    }
    if (command == "denoise") return denoiseCommand(args);
    if (command == "info") return infoCommand(args);
    return usageError("", "unknown command " + command);
}
