// SPDX-License-Identifier: BSD-3-Clause
// The tamrin command end to end: usage and exit statuses, every input and
// output error with nothing left behind, the outputs' geometry and types, the
// --uncovered modes, and agreement with the denoiser called directly.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#include "cli_test_support.h"
#include "nifti_io.h"
#include "phantom/phantom.h"
#include "progress.h"
#include "tamrin/denoise.h"

using namespace tamrin_cli_test;

namespace {

using Image = std::unique_ptr<nifti_image, void (*)(nifti_image*)>;
Image owned(nifti_image* image) { return Image(image, nifti_image_free); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A noisy phantom of X x Y x Z x N written to `path` as `datatype`, stored
// as whole multiples of `slope` when it is not 0. Returns the values as the
// command will read them.
std::vector<double> writeSeries(const std::string& path, int32_t X, int32_t Y, int32_t Z, int32_t N,
                                int datatype = DT_FLOAT32, double slope = 0.0) {
    std::vector<double> truth, noisy;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addNoise(truth, 20.0, 7, &noisy);
    if (slope != 0.0)
        for (double& v : noisy) v = std::round(v / slope);
    Image header = owned(makeHeader(X, Y, Z, N, datatype));
    EXPECT_TRUE(writeImage(header.get(), noisy, path, slope, 0.0));
    return readValues(path);
}

TEST(TamrinCommand, UsageHelpAndVersion) {
    CommandRun run = runTamrin({});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(contains(run.output, "usage: tamrin COMMAND"));
    run = runTamrin({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.output, "denoise IN OUT"));
    run = runTamrin({"denoise", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(contains(run.output, "input  the input's value (default)")) << run.output;
    EXPECT_TRUE(contains(run.output, "exit status: 0 success, 1 usage error, 2 input or output error"));
    run = runTamrin({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "tamrin " TAMRIN_VERSION "\n");
}

TEST(TamrinCommand, WrongArgumentsAreUsageErrors) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii", out = folder / "out.nii";
    writeSeries(in, 8, 8, 6, 5);
    const std::vector<std::vector<std::string>> cases = {
        {"frobnicate"},
        {"denoise", in},
        {"denoise", in, out, "extra.nii"},
        {"denoise", in, out, "--bogus"},
        {"denoise", in, out, "--workers", "0"},
        {"denoise", in, out, "--workers=two"},
        {"denoise", in, out, "--workers"},
        {"denoise", in, out, "--uncovered", "maybe"},
        {"denoise", in, out, "--datatype", "int16"},
        {"denoise", in, folder / "out.img"},
        {"denoise", in, out, "--noise-map", folder / "noise.txt"},
        {"denoise", in, out, "--noise-map", out},
        {"info"},
        {"info", in, "--fast"},
    };
    for (const auto& args : cases) {
        const CommandRun run = runTamrin(args);
        EXPECT_EQ(run.status, 1) << args.back() << ": " << run.output;
        EXPECT_TRUE(contains(run.output, "--help")) << run.output;
    }
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.nii"});
}

TEST(TamrinCommand, InputErrorsNameTheFileAndLeaveNothing) {
    ScratchFolder folder;
    const std::string out = folder / "out/den.nii.gz";
    ASSERT_EQ(::mkdir((folder / "out").c_str(), 0755), 0);
    writeSeries(folder / "thin.nii", 10, 10, 2, 10);  // side 3 > 2 planes of z
    writeSeries(folder / "ok.nii", 8, 8, 6, 5);
    {
        Image map = owned(makeHeader(6, 6, 6, 0, DT_FLOAT32));
        ASSERT_TRUE(writeImage(map.get(), std::vector<double>(216, 1.0), folder / "map.nii"));
        Image one = owned(makeHeader(6, 6, 6, 1, DT_FLOAT32));
        ASSERT_TRUE(writeImage(one.get(), std::vector<double>(216, 1.0), folder / "one.nii"));
        Image complex = owned(makeHeader(6, 6, 6, 3, DT_COMPLEX64));
        ASSERT_TRUE(writeImage(complex.get(), {}, folder / "complex.nii"));
        Image series = owned(makeHeader(6, 6, 6, 3, DT_FLOAT32));
        ASSERT_TRUE(writeImage(series.get(), std::vector<double>(648, 5.0), folder / "cut.nii"));
        ASSERT_EQ(::truncate((folder / "cut.nii").c_str(), 1000), 0);
        std::FILE* text = std::fopen((folder / "text.nii").c_str(), "w");
        std::fputs("hello\n", text);
        std::fclose(text);
    }
    struct Case {
        std::string input;
        std::string expected;
    } cases[] = {
        {folder / "missing.nii", "missing.nii: no such file"},
        {folder / "out", "out: not a regular file"},
        {folder / "text.nii", "text.nii: not a NIfTI file"},
        {folder / "map.nii", "map.nii: a 3-D image (6 x 6 x 6); a 4-D series of at least 2 volumes is expected"},
        {folder / "one.nii", "one.nii: a series of 1 volume"},
        {folder / "thin.nii",
         "thin.nii: the series is thinner than a patch along z (2 voxels; a series of 10 "
         "volumes uses patches of side 3)"},
        {folder / "complex.nii", "complex.nii: voxel type COMPLEX64 is not supported"},
        {folder / "cut.nii", "cut.nii: the image data cannot be read"},
    };
    for (const Case& c : cases) {
        const CommandRun run = runTamrin({"denoise", c.input, out, "--noise-map", folder / "out/noise.nii"});
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(contains(run.output, "tamrin: " + folder.path + "/" + c.expected)) << run.output;
        std::vector<std::string> left;
        for (const auto& entry : std::filesystem::directory_iterator(folder / "out")) left.push_back(entry.path());
        EXPECT_TRUE(left.empty()) << c.input << " left " << left.front();
    }
    // info reports the same problems with the same status.
    EXPECT_EQ(runTamrin({"info", folder / "map.nii"}).status, 2);
    const CommandRun thin = runTamrin({"info", folder / "thin.nii"});
    EXPECT_EQ(thin.status, 0);
    EXPECT_TRUE(contains(thin.output, "patches:      none:")) << thin.output;
}

TEST(TamrinCommand, OutputErrorsLeaveNothingBehind) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in, 10, 9, 8, 6);
    const std::vector<std::string> inputOnly{"in.nii"};

    // Output already there: refused without --force, untouched.
    std::FILE* existing = std::fopen((folder / "out.nii").c_str(), "w");
    std::fputs("keep me\n", existing);
    std::fclose(existing);
    CommandRun run = runTamrin({"denoise", in, folder / "out.nii"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.output, folder / "out.nii" + ": already exists (add --force to replace it)"));
    EXPECT_EQ(readValues(folder / "out.nii").size(), 0u);
    run = runTamrin({"denoise", in, folder / "new.nii", "--noise-map", folder / "out.nii"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.nii", "out.nii"}));
    ::unlink((folder / "out.nii").c_str());

    // Folders that are missing or not folders.
    for (const std::string& target : {folder / "none/out.nii", in + "/out.nii"}) {
        run = runTamrin({"denoise", in, target});
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(contains(run.output, "cannot write " + target)) << run.output;
    }
    ASSERT_EQ(::mkdir((folder / "dir.nii").c_str(), 0755), 0);
    run = runTamrin({"denoise", in, folder / "dir.nii", "--force"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.output, "dir.nii: is a folder")) << run.output;
    ::rmdir((folder / "dir.nii").c_str());
    EXPECT_EQ(folder.entries(), inputOnly);

    // The disk fills up while writing: the limit on file size lets the
    // temporaries be created but not filled.
    for (const char* name : {"out.nii", "out.nii.gz"}) {
        run = runTamrin({"denoise", in, folder / name, "--noise-map", folder / "noise.nii"},
                        "trap '' XFSZ; ulimit -f 8;");
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_TRUE(contains(run.output, folder / name + ": could not be written completely")) << run.output;
        EXPECT_EQ(folder.entries(), inputOnly);
    }
}

TEST(TamrinCommand, PermissionsAreReported) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads and writes regardless of permissions";
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in, 8, 8, 6, 5);
    ASSERT_EQ(::mkdir((folder / "locked").c_str(), 0555), 0);
    CommandRun run = runTamrin({"denoise", in, folder / "locked/out.nii"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.output, "cannot write " + folder / "locked/out.nii" + ": Permission denied"))
        << run.output;
    ASSERT_EQ(::chmod(in.c_str(), 0), 0);
    run = runTamrin({"denoise", in, folder / "out.nii"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(contains(run.output, in + ": cannot be read: Permission denied")) << run.output;
    ::chmod(in.c_str(), 0644);
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.nii", "locked"}));
}

TEST(TamrinCommand, InterruptedRunRemovesItsTemporaries) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in, 64, 64, 24, 30);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Whatever this test was started with, the command starts with SIGTERM's default.
        std::signal(SIGTERM, SIG_DFL);
        ::execl(TAMRIN_EXE, "tamrin", "denoise", in.c_str(), (folder / "out.nii.gz").c_str(), "--noise-map",
                (folder / "noise.nii").c_str(), "--workers", "1", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    // Wait for the temporaries to appear (the outputs', and the .nii the
    // .nii.gz is compressed from), then interrupt.
    bool seen = false;
    for (int i = 0; i < 2000 && !seen; i++) {
        seen = folder.entries().size() == 4;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, SIGTERM);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.nii"});
}

// A command started with SIGINT ignored, as a job in the background of a
// script is, keeps ignoring it and finishes its work.
TEST(TamrinCommand, IgnoredInterruptStaysIgnored) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in, 48, 48, 16, 30);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGINT, SIG_IGN);
        ::execl(TAMRIN_EXE, "tamrin", "denoise", in.c_str(), (folder / "out.nii").c_str(), "--workers", "1",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    bool seen = false;
    for (int i = 0; i < 2000 && !seen; i++) {
        seen = folder.entries().size() > 1;
        if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"in.nii", "out.nii"}));
}

TEST(TamrinCommand, OutputsKeepTheGeometryAndTakeTheRequestedType) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii.gz";
    writeSeries(in, 12, 10, 8, 7, DT_INT16, 0.25);
    nifti_image* read = nullptr;
    readValues(in, &read);
    Image input = owned(read);
    CommandRun run =
        runTamrin({"denoise", in, folder / "den.nii", "--noise-map", folder / "noise.nii.gz", "--workers=2"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "");  // not a terminal: no progress line
    for (const char* name : {"den.nii", "noise.nii.gz"}) {
        nifti_image* back = nullptr;
        readValues(folder / name, &back);
        Image output = owned(back);
        ASSERT_TRUE(output) << name;
        EXPECT_EQ(output->datatype, DT_FLOAT32);
        EXPECT_EQ(output->dim[0], name[0] == 'd' ? 4 : 3);
        EXPECT_EQ(output->nt, name[0] == 'd' ? 7 : 1);
        EXPECT_EQ(output->scl_slope, 0.0);
        EXPECT_EQ(output->qform_code, input->qform_code);
        EXPECT_EQ(output->sform_code, input->sform_code);
        for (int r = 0; r < 4; r++)
            for (int c = 0; c < 4; c++) {
                EXPECT_EQ(output->qto_xyz.m[r][c], input->qto_xyz.m[r][c]);
                EXPECT_EQ(output->sto_xyz.m[r][c], input->sto_xyz.m[r][c]);
            }
        for (int d = 1; d <= 3; d++) EXPECT_EQ(output->pixdim[d], input->pixdim[d]);
        EXPECT_EQ(output->xyz_units, input->xyz_units);
        EXPECT_STREQ(output->descrip, input->descrip);
    }
    EXPECT_EQ(folder.entries(), (std::vector<std::string>{"den.nii", "in.nii.gz", "noise.nii.gz"}));

    // --force replaces; float64 on request; a NIfTI-2 input gives NIfTI-2.
    Image header = owned(makeHeader(9, 9, 9, 4, DT_UINT8));
    header->nifti_type = NIFTI_FTYPE_NIFTI2_1;
    ASSERT_TRUE(writeImage(header.get(), std::vector<double>(2916, 9.0), folder / "two.nii"));
    run = runTamrin({"denoise", folder / "two.nii", folder / "den.nii", "--datatype", "float64", "--force"});
    ASSERT_EQ(run.status, 0) << run.output;
    nifti_image* back = nullptr;
    readValues(folder / "den.nii", &back);
    Image output = owned(back);
    EXPECT_EQ(output->datatype, DT_FLOAT64);
    EXPECT_EQ(output->nifti_type, NIFTI_FTYPE_NIFTI2_1);
    EXPECT_EQ(output->nx, 9);

    // A run that fails before its results are ready leaves an output it was
    // to replace as it was.
    const std::vector<double> before = readRawDoubles(folder / "den.nii");
    ASSERT_TRUE(writeImage(header.get(), std::vector<double>(2916, 9.0), folder / "cut.nii"));
    ASSERT_EQ(::truncate((folder / "cut.nii").c_str(), 1000), 0);
    run = runTamrin({"denoise", folder / "cut.nii", folder / "den.nii", "--force"});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(sameBits(readRawDoubles(folder / "den.nii"), before));
}

// The whole content of a file, decompressed when it is gzip-compressed.
std::string contentOf(const std::string& path) {
    std::string content;
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return content;
    char buffer[65536];
    int n = 0;
    while ((n = gzread(file, buffer, sizeof buffer)) > 0) content.append(buffer, static_cast<std::size_t>(n));
    gzclose(file);
    return content;
}

// A file's bytes as they lie on disk.
std::string fileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// A .nii.gz output, compressed at the end from a temporary .nii, holds the
// bytes of the .nii output and is the gzip file that writing them in one
// stream at zlib's default level gives; no temporary stays behind.
TEST(TamrinCommand, ACompressedOutputIsThePlainOneCompressed) {
    ScratchFolder folder;
    const std::string in = folder / "in.nii";
    writeSeries(in, 20, 18, 14, 9);
    for (const char* ext : {".nii", ".nii.gz"}) {
        const CommandRun run = runTamrin({"denoise", in, folder / (std::string("out") + ext), "--noise-map",
                                          folder / (std::string("noise") + ext), "--workers", "2", "--datatype",
                                          "float64"});
        ASSERT_EQ(run.status, 0) << run.output;
    }
    EXPECT_EQ(folder.entries(),
              (std::vector<std::string>{"in.nii", "noise.nii", "noise.nii.gz", "out.nii", "out.nii.gz"}));
    for (const char* name : {"out", "noise"}) {
        const std::string plain = contentOf(folder / (std::string(name) + ".nii"));
        ASSERT_GT(plain.size(), 352u) << name;
        EXPECT_EQ(contentOf(folder / (std::string(name) + ".nii.gz")), plain) << name;
        const std::string direct = folder / (std::string(name) + "-direct.gz");
        gzFile file = gzopen(direct.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(gzwrite(file, plain.data(), static_cast<unsigned>(plain.size())), static_cast<int>(plain.size()));
        ASSERT_EQ(gzclose(file), Z_OK);
        EXPECT_EQ(fileBytes(folder / (std::string(name) + ".nii.gz")), fileBytes(direct)) << name;
    }
}

TEST(TamrinCommand, AgreesWithTheDenoiserAndFillsUncoveredVoxels) {
    ScratchFolder folder;
    const int32_t X = 18, Y = 16, Z = 10, N = 10;
    // Scaled integers are converted to doubles; floats are denoised as they
    // are stored, mapped from a .nii file, loaded from a .nii.gz, scaled as
    // they are read.
    const struct {
        int datatype;
        const char* name;
        double slope;
    } inputs[] = {{DT_INT16, "in.nii", 0.5},
                  {DT_FLOAT32, "in.nii", 0.0},
                  {DT_FLOAT32, "in.nii.gz", 0.0},
                  {DT_FLOAT32, "in.nii", 0.75},
                  {DT_FLOAT32, "in.nii.gz", 0.75}};
    for (const auto& in : inputs) {
        SCOPED_TRACE(testing::Message() << in.name << ", datatype " << in.datatype << ", slope " << in.slope);
        const std::vector<double> input = writeSeries(folder / in.name, X, Y, Z, N, in.datatype, in.slope);
        ASSERT_EQ(input.size(), static_cast<std::size_t>(X * Y * Z * N));
        const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
        std::vector<double> expected(voxels * N), expectedNoise(voxels), weight(voxels);
        ASSERT_EQ(tamrin::denoiseVolume(input.data(), X, Y, Z, N, 3, expected.data(), expectedNoise.data(),
                                        weight.data()),
                  tamrin::kDenoiseOk);
        std::size_t uncovered = 0;
        for (double w : weight) uncovered += w == 0.0;
        ASSERT_GT(uncovered, 0u);  // the phantom's background is exact zeros
        // Covered voxels without a number (a patch's decomposition gave NaN) are
        // counted in a warning.
        int64_t broken = 0;
        for (std::size_t k = 0; k < voxels; k++) {
            bool finite = std::isfinite(expectedNoise[k]);
            for (int32_t v = 0; v < N; v++) finite = finite && std::isfinite(expected[k + voxels * v]);
            broken += weight[k] != 0.0 && !finite;
        }
        const std::string warning =
            "warning: " + tamrin::groupDigits(broken) + " voxels covered by patches have no estimate";

        for (const char* mode : {"nan", "input", "zero"}) {
            SCOPED_TRACE(mode);
            const CommandRun run =
                runTamrin({"denoise", folder / in.name, folder / "den.nii", "--noise-map", folder / "noise.nii",
                           "--datatype", "float64", "--workers", "3", "--uncovered", mode, "--force"});
            ASSERT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(contains(run.output, warning), broken > 0) << run.output;
            // Read the bytes as written: the NIfTI library turns NaN into 0.
            const std::vector<double> denoised = readRawDoubles(folder / "den.nii"),
                                      noise = readRawDoubles(folder / "noise.nii");
            ASSERT_EQ(denoised.size(), expected.size());
            ASSERT_EQ(noise.size(), voxels);
            if (mode[0] == 'n') {
                EXPECT_TRUE(sameBits(denoised, expected));
                EXPECT_TRUE(sameBits(noise, expectedNoise));
                continue;
            }
            // Where the denoiser gave a number it is kept; elsewhere (no patch, or
            // a NaN from a patch) the chosen replacement.
            for (std::size_t i = 0; i < expected.size(); i++) {
                const double fill = mode[0] == 'i' ? input[i] : 0.0;
                ASSERT_EQ(denoised[i], std::isfinite(expected[i]) ? expected[i] : fill) << i;
            }
            for (std::size_t k = 0; k < voxels; k++)
                ASSERT_EQ(noise[k], std::isfinite(expectedNoise[k]) ? expectedNoise[k] : 0.0) << k;
        }
    }
}

TEST(TamrinCommand, WarnsAboutCoveredVoxelsWithoutAnEstimate) {
    // One voxel with signal in a zero series: every patch over it is a
    // near-empty matrix, the hardest case for the decomposition.
    ScratchFolder folder;
    const int32_t X = 8, Y = 8, Z = 8, N = 10;
    const std::size_t voxels = X * Y * Z;
    std::vector<double> input(voxels * N, 0.0);
    for (int32_t v = 0; v < N; v++) input[(4 + X * (4 + Y * 4)) + voxels * v] = 100.0 + 3.0 * v;
    Image header = owned(makeHeader(X, Y, Z, N, DT_INT16));
    ASSERT_TRUE(writeImage(header.get(), input, folder / "in.nii"));
    std::vector<double> expected(voxels * N), noise(voxels), weight(voxels);
    ASSERT_EQ(tamrin::denoiseVolume(input.data(), X, Y, Z, N, 1, expected.data(), noise.data(), weight.data()),
              tamrin::kDenoiseOk);
    int64_t broken = 0;
    for (std::size_t k = 0; k < voxels; k++) broken += weight[k] != 0.0 && !std::isfinite(noise[k]);

    const CommandRun run =
        runTamrin({"denoise", folder / "in.nii", folder / "out.nii", "--datatype", "float64", "--workers", "1"});
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(contains(run.output, "warning: " + tamrin::groupDigits(broken) +
                                       " voxels covered by patches have no estimate (the decomposition of a patch "
                                       "over them gave NaN); they received the input's values"),
              broken > 0)
        << run.output;
    const std::vector<double> denoised = readRawDoubles(folder / "out.nii");
    ASSERT_EQ(denoised.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); i++)
        ASSERT_EQ(denoised[i], std::isfinite(expected[i]) ? expected[i] : input[i]) << i;
}

// The files depend on the slabs alone: --slabs S with any --workers writes
// the bits of --workers S.
TEST(TamrinCommand, SlabsGiveTheFilesOfAsManyWorkersWhateverTheThreads) {
    ScratchFolder folder;
    writeSeries(folder / "in.nii", 36, 30, 12, 12, DT_FLOAT32, 0.0);
    for (const char* workers : {"1", "2"}) {
        const CommandRun run = runTamrin({"denoise", folder / "in.nii", folder / (std::string("w") + workers + ".nii"),
                                          "--workers", workers, "--datatype", "float64"});
        ASSERT_EQ(run.status, 0) << run.output;
    }
    ASSERT_NE(readRawDoubles(folder / "w1.nii"), readRawDoubles(folder / "w2.nii"));  // the slabs matter
    for (const char* threads : {"1", "2", "5"})
        for (const char* slabs : {"1", "2"}) {
            const std::string out = folder / (std::string("s") + slabs + "t" + threads + ".nii");
            const CommandRun run = runTamrin({"denoise", folder / "in.nii", out, "--workers", threads, "--slabs", slabs,
                                              "--datatype", "float64"});
            ASSERT_EQ(run.status, 0) << run.output;
            EXPECT_EQ(readRawDoubles(out), readRawDoubles(folder / (std::string("w") + slabs + ".nii")))
                << slabs << " slabs, " << threads << " threads";
        }
}

TEST(TamrinCommand, InfoDescribesTheSeriesAndTheRun) {
    ScratchFolder folder;
    writeSeries(folder / "in.nii.gz", 40, 32, 20, 30, DT_INT16, 2.0);
    const CommandRun run = runTamrin({"info", folder / "in.nii.gz", "--workers", "16"});
    ASSERT_EQ(run.status, 0) << run.output;
    for (const char* line : {"(NIfTI-1, gzip-compressed)", "dimensions:   40 x 32 x 20 voxels, 30 volumes",
                             "datatype:     INT16", "scaling:      value * 2 + 0", "voxel size:   1.5 x 2 x 2.5 mm",
                             "description:  test series for the command line", "patch:        side 4",
                             "patches:      18,241 positions", "workers:      16 threads (of 16 requested",
                             "slabs:        10 (of 16 requested: at most one per 4 planes", "memory:  "})
        EXPECT_TRUE(contains(run.output, line)) << line << "\n" << run.output;
    // With --slabs, the memory of that many slabs on the threads asked for.
    const CommandRun one = runTamrin({"info", folder / "in.nii.gz", "--workers", "16", "--slabs", "1"});
    ASSERT_EQ(one.status, 0) << one.output;
    EXPECT_TRUE(contains(one.output, "slabs:        1 (of 1 requested")) << one.output;
    EXPECT_NE(one.output.substr(one.output.find("memory:")), run.output.substr(run.output.find("memory:")));
}

}  // namespace
