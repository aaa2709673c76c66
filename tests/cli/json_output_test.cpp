// SPDX-License-Identifier: BSD-3-Clause
// The command's JSON: tamrin info --json tells the facts of the text (and
// nothing else on a refusal), names of any bytes come out as valid JSON, and
// tamrin denoise --report writes what the run did, only when it succeeds,
// atomically beside the outputs, with the warnings counted and the
// decomposition's messages as stderr shows them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>

#include "cli_test_support.h"
#include "phantom/phantom.h"
#include "progress.h"
#include "run_report.h"
#include "tamrin/denoise.h"

using namespace tamrin_cli_test;
using Json = nlohmann::json;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The phantom with noise as `datatype` (scaled by `slope` when integer).
void writeSeries(const std::string& path, int32_t X, int32_t Y, int32_t Z, int32_t N, int datatype = DT_FLOAT32,
                 double slope = 0.0) {
    std::vector<double> truth, noisy;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addNoise(truth, 20.0, 7, &noisy);
    if (slope != 0.0)
        for (double& v : noisy) v = std::round(v / slope);
    Image header = owned(makeHeader(X, Y, Z, N, datatype));
    ASSERT_TRUE(writeImage(header.get(), noisy, path, slope, 0.0));
}

Json readJson(const std::string& path) {
    std::ifstream file(path);
    return Json::parse(file);
}

// The rest of the text line that starts with `label`.
std::string lineAfter(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    const std::size_t start = at + label.size();
    return text.substr(start, text.find('\n', start) - start);
}

TEST(TamrinInfoJson, TellsTheFactsOfTheText) {
    ScratchFolder folder;
    writeSeries(folder / "in.nii.gz", 40, 32, 20, 30, DT_INT16, 2.0);
    Image maskHeader = owned(makeHeader(40, 32, 20, 0, DT_UINT8));
    std::vector<double> mask(40 * 32 * 20, 0.0);
    for (int32_t x = 10; x < 14; x++) mask[x + 40 * (5 + 32 * 7)] = 1.0;
    ASSERT_TRUE(writeImage(maskHeader.get(), mask, folder / "mask.nii"));
    const std::vector<std::string> args = {"info", folder / "in.nii.gz", "--workers", "16", "--mask",
                                           folder / "mask.nii"};
    const CommandRun text = runTamrin(args);
    ASSERT_EQ(text.status, 0) << text.output;
    std::vector<std::string> jsonArgs = args;
    jsonArgs.push_back("--json");
    const CommandRun run = runTamrin(jsonArgs);
    ASSERT_EQ(run.status, 0) << run.output;
    const Json info = Json::parse(run.output);

    EXPECT_EQ(info["version"], TAMRIN_VERSION);
    EXPECT_EQ(info["file"], folder / "in.nii.gz");
    EXPECT_EQ(info["nifti_version"], 1);
    EXPECT_EQ(info["compressed"], true);
    EXPECT_EQ(info["dimensions"], Json({40, 32, 20, 30}));
    EXPECT_EQ(info["datatype"], "INT16");
    EXPECT_EQ(info["datatype_code"], DT_INT16);
    EXPECT_EQ(info["datatype_supported"], true);
    EXPECT_EQ(info["scaling"], Json({{"slope", 2.0}, {"intercept", 0.0}}));
    EXPECT_EQ(info["voxel_size"], Json({1.5, 2.0, 2.5}));
    EXPECT_EQ(info["voxel_units"], "mm");
    EXPECT_EQ(info["description"], "test series for the command line");
    EXPECT_EQ(info["patch"], Json({{"side", 4}, {"voxels", 64}, {"volumes", 30}}));
    EXPECT_TRUE(info["thinner_than_patch"].is_null());
    EXPECT_EQ(info["patch_positions"], 18241);
    EXPECT_EQ(info["workers"], Json({{"used", 16}, {"requested", 16}}));
    EXPECT_EQ(info["slabs"], Json({{"used", 10}, {"requested", 16}}));
    // The memory line, the limits and the verdict are the text's figures.
    const Json& memory = info["memory"];
    EXPECT_EQ(lineAfter(text.output, "memory:       "),
              tamrin::formatBytes(memory["bytes"]) +
                  " (any output; a .nii.gz is compressed from a temporary .nii beside it)");
    // Every output choice needs the same; the keys of each stay.
    for (const char* key : {"float32_output_bytes", "float64_output_bytes", "nii_output_bytes"})
        EXPECT_EQ(memory[key], memory["bytes"]) << key;
    EXPECT_EQ(memory["nii_outputs"]["needed"], memory["needed"]);
    EXPECT_EQ(lineAfter(text.output, "limits:       "), memory["limits"]["text"]);
    ASSERT_EQ(memory["limits"]["probed"], true);
    EXPECT_TRUE(memory["limits"]["available"]["room_bytes"].get<int64_t>() > 0);
    EXPECT_EQ(memory["fits"], true);
    EXPECT_TRUE(memory["binding_limit"].is_null() && memory["shortfall"].is_null() && memory["remedy"].is_null());
    EXPECT_EQ(lineAfter(text.output, "fits:         "),
              "yes (" + tamrin::formatBytes(memory["needed"]["private_bytes"]) + " needed)");
    // The mask's four voxels in a row, and the 7 x 4 x 4 positions reaching them.
    EXPECT_EQ(info["mask"], Json({{"file", folder / "mask.nii"}, {"voxels_inside", 4}, {"patch_positions", 112}}));
    EXPECT_TRUE(contains(text.output, "mask:         4 voxels inside; 112 of the patch positions")) << text.output;

    // Without a mask: null, and the slabs asked for.
    const CommandRun one = runTamrin({"info", folder / "in.nii.gz", "--json", "--workers", "2", "--slabs", "1"});
    ASSERT_EQ(one.status, 0) << one.output;
    const Json single = Json::parse(one.output);
    EXPECT_TRUE(single["mask"].is_null());
    EXPECT_EQ(single["slabs"], Json({{"used", 1}, {"requested", 1}}));
}

TEST(TamrinInfoJson, ThinSeriesAndRefusals) {
    ScratchFolder folder;
    writeSeries(folder / "thin.nii", 10, 10, 2, 10);  // side 3 > 2 planes of z
    const CommandRun thin = runTamrin({"info", folder / "thin.nii", "--json"});
    ASSERT_EQ(thin.status, 0) << thin.output;
    const Json info = Json::parse(thin.output);
    EXPECT_TRUE(contains(info["thinner_than_patch"], "thinner than a patch along z (2 voxels")) << thin.output;
    for (const char* field : {"patch_positions", "workers", "slabs", "memory", "mask"})
        EXPECT_TRUE(info[field].is_null()) << field;
    EXPECT_EQ(info["patch"]["side"], 3);

    // A refused mask or series: the message on stderr and no document.
    writeSeries(folder / "in.nii", 8, 8, 6, 5);
    Image other = owned(makeHeader(7, 8, 6, 0, DT_UINT8));
    ASSERT_TRUE(writeImage(other.get(), std::vector<double>(7 * 8 * 6, 1.0), folder / "other.nii"));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"info", folder / "in.nii", "--json", "--mask", folder / "other.nii"},
             {"info", folder / "missing.nii", "--json"}}) {
        const CommandRun run = runTamrin(args);
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(contains(run.output, "tamrin: ") && !contains(run.output, "{")) << run.output;
    }
}

TEST(TamrinInfoJson, NamesOfAnyBytesAreValidJson) {
    ScratchFolder folder;
    // Quotes, a backslash, a tab, a control character and a byte that is
    // not UTF-8 (replaced by U+FFFD).
    const std::string weird = "a \"quoted\" \\ name\twith \x01 and \xff.nii";
    writeSeries(folder / weird, 8, 8, 6, 5);
    const CommandRun run = runTamrin({"info", folder / weird, "--json"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "\\\"quoted\\\" \\\\ name\\twith \\u0001 and ")) << run.output;
    const Json info = Json::parse(run.output);
    EXPECT_EQ(info["file"], folder / "a \"quoted\" \\ name\twith \x01 and \xef\xbf\xbd.nii");
}

TEST(TamrinReport, WrittenWithTheOutputsWhenTheRunSucceeds) {
    ScratchFolder folder;
    const int32_t X = 20, Y = 16, Z = 12, N = 8;
    writeSeries(folder / "in.nii", X, Y, Z, N);
    Image maskHeader = owned(makeHeader(X, Y, Z, 0, DT_UINT8));
    std::vector<double> mask(X * Y * Z, 0.0);
    for (int32_t z = 3; z < 8; z++)
        for (int32_t y = 2; y < 12; y++)
            for (int32_t x = 4; x < 15; x++) mask[x + X * (y + Y * z)] = 1.0;
    ASSERT_TRUE(writeImage(maskHeader.get(), mask, folder / "mask.nii"));
    const CommandRun run = runTamrin({"denoise", folder / "in.nii", folder / "out.nii.gz", "--noise-map",
                                      folder / "noise.nii", "--rank", folder / "rank.nii", "--mask", folder / "mask.nii",
                                      "--workers", "3", "--slabs", "2", "--uncovered", "zero", "--datatype", "float64",
                                      "--no-memory-check", "--quiet", "--report", folder / "run.json"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(folder.entries(),
              (std::vector<std::string>{"in.nii", "mask.nii", "noise.nii", "out.nii.gz", "rank.nii", "run.json"}));
    const Json report = readJson(folder / "run.json");
    EXPECT_EQ(report["version"], TAMRIN_VERSION);
    EXPECT_EQ(report["options"], Json({{"input", folder / "in.nii"},
                                       {"output", folder / "out.nii.gz"},
                                       {"noise_map", folder / "noise.nii"},
                                       {"rank_map", folder / "rank.nii"},
                                       {"mask", folder / "mask.nii"},
                                       {"workers", 3},
                                       {"slabs", 2},
                                       {"uncovered", "zero"},
                                       {"datatype", "float64"},
                                       {"force", false},
                                       {"quiet", true},
                                       {"memory_check", false},
                                       {"report", folder / "run.json"}}));
    EXPECT_EQ(report["dimensions"], Json({X, Y, Z, N}));
    EXPECT_EQ(report["patch"], Json({{"side", 2}, {"voxels", 8}}));
    EXPECT_EQ(report["workers_used"], 3);
    EXPECT_EQ(report["slabs_used"], 2);
    // The positions reaching the mask: what tamrin info --mask counts.
    const CommandRun info = runTamrin({"info", folder / "in.nii", "--json", "--mask", folder / "mask.nii"});
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_EQ(report["patch_positions"],
              Json({{"total", 19 * 15 * 11}, {"reaching_mask", Json::parse(info.output)["mask"]["patch_positions"]}}));
    const double seconds = report["seconds"]["run"], denoising = report["seconds"]["denoising"];
    EXPECT_TRUE(denoising > 0 && seconds >= denoising) << report["seconds"];
    // The process held at least the results in doubles.
    EXPECT_GT(report["peak_memory"]["bytes"].get<int64_t>(), int64_t{X} * Y * Z * N * 8);
    EXPECT_EQ(report["peak_memory"]["measure"], "ru_maxrss");
    EXPECT_EQ(report["warnings"], Json({{"non_finite", {{"values", 0}, {"voxels", 0}, {"first", nullptr}}},
                                        {"broken_voxels", 0},
                                        {"messages", Json::array()},
                                        {"messages_lost", 0}}));
    // Without --slabs: null, as many slabs as workers; the check in force.
    const CommandRun plain = runTamrin({"denoise", folder / "in.nii", folder / "out2.nii", "--workers", "2",
                                        "--report", folder / "plain.json"});
    ASSERT_EQ(plain.status, 0) << plain.output;
    const Json second = readJson(folder / "plain.json");
    EXPECT_TRUE(second["options"]["slabs"].is_null() && second["options"]["mask"].is_null());
    EXPECT_EQ(second["slabs_used"], 2);
    EXPECT_EQ(second["options"]["memory_check"], true);
    EXPECT_TRUE(second["patch_positions"]["reaching_mask"].is_null());
}

TEST(TamrinReport, CountsTheWarnings) {
    ScratchFolder folder;
    // NaN and infinities: counted with the first, as the warning says.
    const int32_t X = 10, Y = 9, Z = 8, N = 6;
    const int64_t voxels = int64_t{X} * Y * Z;
    std::vector<double> truth, values;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addMagnitudeNoise(truth, 20.0, 3, &values);
    values[3 + X * (2 + Y * 1) + voxels * 2] = std::numeric_limits<double>::quiet_NaN();
    values[5 + X * (5 + Y * 6) + voxels * 4] = std::numeric_limits<double>::infinity();
    values[3 + X * (2 + Y * 1) + voxels * 5] = -std::numeric_limits<double>::infinity();
    Image header = owned(makeHeader(X, Y, Z, N, DT_FLOAT32));
    ASSERT_TRUE(writeImage(header.get(), values, folder / "nan.nii"));
    CommandRun run = runTamrin({"denoise", folder / "nan.nii", folder / "out.nii", "--report", folder / "nan.json"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(contains(run.output, "3 values are NaN or infinite (the first at x 3, y 2, z 1, volume 2)"))
        << run.output;
    EXPECT_EQ(readJson(folder / "nan.json")["warnings"]["non_finite"],
              Json({{"values", 3}, {"voxels", 2}, {"first", {{"x", 3}, {"y", 2}, {"z", 1}, {"volume", 2}}}}));

    // One voxel with signal in a zero series: patches over it break down.
    const int32_t S = 8, V = 10;
    std::vector<double> lone(S * S * S * V, 0.0);
    for (int32_t v = 0; v < V; v++) lone[(4 + S * (4 + S * 4)) + S * S * S * v] = 100.0 + 3.0 * v;
    Image loneHeader = owned(makeHeader(S, S, S, V, DT_INT16));
    ASSERT_TRUE(writeImage(loneHeader.get(), lone, folder / "lone.nii"));
    run = runTamrin({"denoise", folder / "lone.nii", folder / "lone-out.nii", "--workers", "1", "--report",
                     folder / "lone.json"});
    ASSERT_EQ(run.status, 0) << run.output;
    const int64_t broken = readJson(folder / "lone.json")["warnings"]["broken_voxels"];
    EXPECT_EQ(contains(run.output, "warning: " + tamrin::groupDigits(broken) + " voxels covered by patches have no "
                                                                               "estimate"),
              broken > 0)
        << run.output;
}

TEST(TamrinReport, NamesAndFailures) {
    ScratchFolder folder;
    writeSeries(folder / "in.nii", 8, 8, 6, 5);
    Image empty = owned(makeHeader(8, 8, 6, 0, DT_UINT8));
    ASSERT_TRUE(writeImage(empty.get(), std::vector<double>(8 * 8 * 6, 0.0), folder / "empty.nii"));
    ASSERT_EQ(::mkdir((folder / "folder.json").c_str(), 0755), 0);
    const std::string in = folder / "in.nii", out = folder / "out.nii";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"denoise", in, out, "--report", folder / "run.nii"}, 1, "the report's name must end in .json"},
        {{"denoise", in, out, "--report", folder / "none/run.json"}, 2, "cannot write " + folder / "none/run.json"},
        {{"denoise", in, out, "--report", folder / "folder.json"}, 2, "folder.json: is a folder; expected a .json"},
        // A run that fails after its outputs were prepared writes no report.
        {{"denoise", in, out, "--mask", folder / "empty.nii", "--report", folder / "run.json"}, 2, "empty.nii: "},
    };
    for (const Case& c : cases) {
        const CommandRun run = runTamrin(c.args);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_TRUE(contains(run.output, c.message)) << c.message << "\n" << run.output;
        EXPECT_EQ(folder.entries(), (std::vector<std::string>{"empty.nii", "folder.json", "in.nii"})) << run.output;
    }
    // An existing report is replaced only with --force, like the outputs.
    {
        std::ofstream old(folder / "run.json");
        old << "old";
    }
    CommandRun run = runTamrin({"denoise", in, out, "--report", folder / "run.json"});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(contains(run.output, "run.json: already exists (add --force to replace it)")) << run.output;
    run = runTamrin({"denoise", in, out, "--report", folder / "run.json", "--force"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(readJson(folder / "run.json")["options"]["force"], true);
}

// The decomposition's messages reach stderr as the core writes them, each
// occurrence in order, once the run is over, and the report counts them.
TEST(TamrinReport, KeepsAndPrintsTheRunsMessages) {
    tamrin::RunRecord record;
    const char* stall = "no convergence in 30 svdcmp iterations\n";
    const char* memory = "svdcmp(): Unable to allocate vector\n";
    for (const char* text : {stall, stall, stall, memory, stall}) tamrin::postMessage(&record.log, text);
    record.log.lost = 2;
    ScratchFolder folder;
    std::fflush(stderr);
    const int saved = ::dup(2);
    std::FILE* capture = std::fopen((folder / "stderr.txt").c_str(), "w");
    ASSERT_TRUE(saved >= 0 && capture != nullptr);
    ::dup2(::fileno(capture), 2);
    tamrin::printRunMessages(&record);
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    std::fclose(capture);
    std::ifstream file(folder / "stderr.txt");
    const std::string printed((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(printed, std::string(stall) + stall + stall + memory + stall +
                           "tamrin: warning: 2 messages of the decomposition were lost for want of memory\n");

    tamrin::DenoiseRequest request;
    request.input = "in.nii";
    request.output = "out.nii";
    std::copy_n(std::vector<int32_t>{8, 8, 8, 10}.begin(), 4, record.extents);
    const Json report = Json::parse(tamrin::jsonText(tamrin::runReportJson(request, record)));
    EXPECT_EQ(report["warnings"]["messages"],
              Json::parse(R"([{"text": "no convergence in 30 svdcmp iterations", "count": 3},
                              {"text": "svdcmp(): Unable to allocate vector", "count": 1},
                              {"text": "no convergence in 30 svdcmp iterations", "count": 1}])"));
    EXPECT_EQ(report["warnings"]["messages_lost"], 2);
}

}  // namespace
