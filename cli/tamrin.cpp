// SPDX-License-Identifier: BSD-3-Clause
// tamrin: denoises 4-D MRI series (x, y, z, volume; NIfTI-1 or NIfTI-2, .nii
// or .nii.gz) by PCA of overlapping cubic patches, on several threads.
//
//   tamrin denoise IN OUT [--noise-map NOISE] [--rank RANK] [--mask MASK]
//                  [--workers K] [--slabs S] [--uncovered input|nan|zero]
//                  [--datatype float32|float64] [--force] [--quiet]
//                  [--no-memory-check] [--report REPORT]
//   tamrin info IN [--workers K] [--slabs S] [--mask MASK] [--json]
//
// Every option is declared once below; the help texts are generated from
// these declarations. Exit status: 0 success, 1 usage error, 2 input or
// output error, 3 denoising failed.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "commands.h"
#include "command_line.h"
#include "file_layer.h"

namespace {

using namespace tamrin;

const char kExitText[] =
    "exit status: 0 success, 1 usage error, 2 input or output error,\n"
    "             3 denoising failed (not enough memory)";

const char kDenoiseText[] =
    "Denoises the 4-D series IN (any integer or floating datatype; scl_slope and\n"
    "scl_inter applied) and writes it to OUT (.nii or .nii.gz, the same NIfTI\n"
    "version as IN). OUT, NOISE and RANK keep IN's geometry: qform and sform with\n"
    "their codes, voxel sizes, units and description. Outputs are written under a\n"
    "temporary name and renamed when complete: a failed run leaves nothing behind.\n"
    "NaN and infinite values in IN (or produced by its scaling) are denoised as 0,\n"
    "with a warning that counts them and names the first; the voxels holding them\n"
    "get no estimate but the treatment of --uncovered.";

const char kUncoveredText[] =
    "what voxels without an estimate receive: those that no\n"
    "patch covers (patches whose values are all exactly 0,\n"
    "as in masked background, are skipped), those outside\n"
    "MASK, those holding NaN or infinite input values, and\n"
    "those where a patch's decomposition gave NaN (a warning\n"
    "counts them):\n"
    "  input  the input's value (default): background stays\n"
    "         as it was, usually 0\n"
    "  nan    NaN, as Tamrin(data, workers) returns\n"
    "  zero   0\n"
    "The noise and rank maps have 0 there (NaN with \"nan\").";

const char kMaskText[] =
    "denoise only inside this 3-D image on IN's grid (same\n"
    "extents and orientation; non-zero voxels are inside):\n"
    "patch positions whose patch holds no voxel inside are\n"
    "skipped, voxels outside receive the --uncovered\n"
    "treatment, and voxels inside get exactly the values of\n"
    "a run without the mask";

const char kRankText[] =
    "also write the 3-D map of the number of signal\n"
    "components kept, averaged over the patches covering\n"
    "each voxel with the noise map's weights";

const char kReportText[] =
    "when the run succeeds, also write what it did as one\n"
    "JSON object to this .json file: the version, the\n"
    "options in force, the dimensions, patch side and\n"
    "positions, the time, the peak memory and the warnings\n"
    "with their counts";

const char kNoMemoryCheckText[] =
    "run even when it needs more memory than this process\n"
    "may use (available memory, the cgroup's limit,\n"
    "RLIMIT_DATA, RLIMIT_AS: see tamrin info), which is\n"
    "otherwise refused at once with exit status 3;\n"
    "TAMRIN_NO_MEMORY_CHECK=1 does the same";

int32_t defaultWorkers() {
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int32_t>(n) : 1;
}

void addWorkers(CLI::App* command, int32_t* workers, const std::string& what) {
    command->add_option("--workers", *workers, what)->type_name("K")->check(CLI::Range(1, 65536).description(""));
}

const char kSlabsText[] =
    "the slabs the patch positions are split into along the\n"
    "longest axis (at most one per patch side of planes):\n"
    "the results depend on this count alone, whatever\n"
    "--workers is, so the same --slabs gives the same files\n"
    "on every machine (default: as many as --workers)";

void addSlabs(CLI::App* command, int32_t* slabs) {
    command->add_option("--slabs", *slabs, kSlabsText)->type_name("S")->check(CLI::Range(1, 65536).description(""));
}

// Settings the command's arguments are parsed into, with the text forms of
// the two options that take a word.
struct Parsed {
    DenoiseRequest request;
    std::string uncovered = "input", datatype = "float32";
    std::string infoInput, infoMask;
    int32_t infoWorkers = 1, infoSlabs = 0;
    bool infoJson = false;
    bool noMemoryCheck = false;
};

void declareDenoise(CLI::App* app, HelpFormat* format, Parsed* parsed) {
    DenoiseRequest* request = &parsed->request;
    CLI::App* denoise = app->add_subcommand("denoise", kDenoiseText)->group("commands");
    denoise->get_help_ptr()->group("options")->description("this text");
    format->summarise("denoise", "denoise the series IN into OUT");
    denoise->footer(kExitText);
    denoise->add_option("IN", request->input, "the noisy series")->required();
    denoise->add_option("OUT", request->output, "the denoised series")->required()->check(niftiName());
    denoise->add_option("--noise-map", request->noiseMap, "also write the 3-D map of the local noise level (sigma)")
        ->type_name("NOISE")
        ->check(niftiName());
    denoise->add_option("--rank", request->rankMap, kRankText)->type_name("RANK")->check(niftiName());
    denoise->add_option("--mask", request->mask, kMaskText)->type_name("MASK");
    addWorkers(denoise, &request->workers,
               "threads to use (default: " + std::to_string(defaultWorkers()) +
                   ", this machine's hardware\nthreads)");
    addSlabs(denoise, &request->slabs);
    denoise->add_option("--uncovered", parsed->uncovered, kUncoveredText)
        ->type_name("input|nan|zero")
        ->check(CLI::IsMember({"input", "nan", "zero"}).description(""));
    denoise->add_option("--datatype", parsed->datatype,
                        "float32 (default) or float64; float64 gives the\ndenoiser's doubles exactly")
        ->type_name("float32|float64")
        ->check(CLI::IsMember({"float32", "float64"}).description(""));
    denoise->add_flag("--force", request->force,
                      "replace OUT, NOISE and RANK when they exist (removed\n"
                      "once the results are ready, before the new files are\n"
                      "written)");
    denoise->add_flag("--quiet", request->quiet,
                      "no progress line (none is shown either when stderr is\nnot a terminal)");
    denoise->add_flag("--no-memory-check", parsed->noMemoryCheck, kNoMemoryCheckText);
    denoise->add_option("--report", request->report, kReportText)->type_name("REPORT")->check(jsonName());
    denoise->callback([parsed]() {
        DenoiseRequest& r = parsed->request;
        if (!r.noiseMap.empty() && r.noiseMap == r.output)
            throw CLI::ValidationError("OUT and --noise-map must be different files");
        if (!r.rankMap.empty() && (r.rankMap == r.output || r.rankMap == r.noiseMap))
            throw CLI::ValidationError("--rank must name a file other than OUT and --noise-map");
        r.uncovered = parsed->uncovered == "nan" ? kUncoveredNan
                      : parsed->uncovered == "zero" ? kUncoveredZero
                                                    : kUncoveredInput;
        r.datatype = parsed->datatype == "float64" ? DT_FLOAT64 : DT_FLOAT32;
        r.memoryCheck = !parsed->noMemoryCheck;
    });
}

void declareInfo(CLI::App* app, HelpFormat* format, Parsed* parsed) {
    CLI::App* info = app->add_subcommand("info",
                                         "Prints the dimensions, datatype, scaling, voxel size and description of the\n"
                                         "series IN, the patch side and the number of patch positions, the memory\n"
                                         "\"tamrin denoise\" needs for it with K workers, the limits on the memory this\n"
                                         "process may use and whether the run fits within them.")
                         ->group("commands");
    info->get_help_ptr()->group("options")->description("this text");
    format->summarise("info", "dimensions, datatype, voxel size, patch\nside, patch count and the memory a run needs");
    info->footer(kExitText);
    info->add_option("IN", parsed->infoInput, "the series")->required();
    addWorkers(info, &parsed->infoWorkers,
               "workers of the run to size (default: " + std::to_string(defaultWorkers()) + ")");
    addSlabs(info, &parsed->infoSlabs);
    info->add_option("--mask", parsed->infoMask, "also count the voxels inside this mask and the patch\npositions that reach them")
        ->type_name("MASK");
    info->add_flag("--json", parsed->infoJson, "print the same facts as one JSON object");
}

bool hasCommand(const CLI::App& app, const std::string& name) {
    for (const CLI::App* sub : app.get_subcommands({}))
        if (sub->get_name() == name) return true;
    return false;
}

// A usage error: the message, and where the help is.
int usageError(const CLI::App& app, const std::string& message) {
    const CLI::App* command = &app;
    for (const CLI::App* sub : app.get_subcommands()) command = sub;
    const std::string name = command == &app ? "tamrin" : "tamrin " + command->get_name();
    std::fprintf(stderr, "%s: %s\n(see %s --help)\n", name.c_str(), message.c_str(), name.c_str());
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    prepareConsole();
    auto format = std::make_shared<HelpFormat>();
    format->column_width(27);
    CLI::App app(
        "Denoises 4-D MRI series (x, y, z, volume; NIfTI-1 or NIfTI-2, .nii or .nii.gz)\n"
        "by PCA of overlapping cubic patches, on several threads.",
        "tamrin");
    app.formatter(format);
    app.option_defaults()->group("options");
    app.set_help_flag("-h,--help", "this text; \"tamrin COMMAND --help\" for a command");
    app.set_version_flag("--version", "tamrin " TAMRIN_VERSION, "the version");
    app.require_subcommand(1);
    app.footer(kExitText);

    Parsed parsed;
    parsed.request.workers = defaultWorkers();
    parsed.infoWorkers = defaultWorkers();
    declareDenoise(&app, format.get(), &parsed);
    declareInfo(&app, format.get(), &parsed);

    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    if (argv[1][0] != '-' && !hasCommand(app, argv[1]))
        return usageError(app, std::string("unknown command ") + argv[1]);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        return usageError(app, error.what());
    }
    if (app.got_subcommand("denoise")) return runDenoise(parsed.request);
    return runInfo(parsed.infoInput, parsed.infoWorkers, parsed.infoSlabs, parsed.infoMask, parsed.infoJson);
}
