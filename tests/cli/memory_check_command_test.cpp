// SPDX-License-Identifier: BSD-3-Clause
// The command's memory check: a run that needs more memory than the
// process may use is refused at once (exit status 3, both figures and what
// would help, nothing read, nothing written) under RLIMIT_AS, RLIMIT_DATA,
// a cgroup's limit and the machine's available memory; runs that fit under
// the same limits go ahead; the refusal names the worker count that fits,
// or a .nii input, where that would help; --no-memory-check and TAMRIN_NO_MEMORY_CHECK
// let a run go on to fail late; tamrin info states the limits and the
// verdict. The large series are sparse files: a header, then a hole. A run
// whose images cannot fit on the disk is refused at once too.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "cli_test_support.h"

using namespace tamrin_cli_test;

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A sanitizer's runtime reserves terabytes of address space as it starts,
// which RLIMIT_AS and RLIMIT_DATA refuse before the command runs at all.
#if defined(TAMRIN_SANITIZED)
#define SKIP_UNDER_SANITIZERS() GTEST_SKIP() << "the sanitizer's runtime cannot start under RLIMIT_AS or RLIMIT_DATA"
#else
#define SKIP_UNDER_SANITIZERS() (void)0
#endif

// A series of zeros whose data is a hole in the file: float32, mapped by
// the run; or int16, converted to doubles as it is read.
void writeSparseSeries(const std::string& path, int32_t X, int32_t Y, int32_t Z, int32_t N,
                       int datatype = DT_FLOAT32) {
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(makeHeader(X, Y, Z, N, datatype), nifti_image_free);
    nifti_1_header header;
    ASSERT_EQ(nifti_convert_nim2n1hdr(image.get(), &header), 0);
    header.vox_offset = 352;
    std::memcpy(header.magic, "n+1", 4);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const char extender[4] = {0, 0, 0, 0};
    ASSERT_EQ(std::fwrite(&header, sizeof header, 1, file), 1u);
    ASSERT_EQ(std::fwrite(extender, 4, 1, file), 1u);
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_EQ(::truncate(path.c_str(), 352 + int64_t{X} * Y * Z * N * image->nbyper), 0);
}

// The same series of zeros as a .nii.gz, compressed as it is written.
void writeCompressedZeros(const std::string& path, int32_t X, int32_t Y, int32_t Z, int32_t N) {
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> image(makeHeader(X, Y, Z, N, DT_FLOAT32), nifti_image_free);
    nifti_1_header header;
    ASSERT_EQ(nifti_convert_nim2n1hdr(image.get(), &header), 0);
    header.vox_offset = 352;
    std::memcpy(header.magic, "n+1", 4);
    gzFile file = gzopen(path.c_str(), "wb1");
    ASSERT_NE(file, nullptr);
    const char extender[4] = {0, 0, 0, 0};
    ASSERT_EQ(gzwrite(file, &header, sizeof header), static_cast<int>(sizeof header));
    ASSERT_EQ(gzwrite(file, extender, 4), 4);
    const std::vector<char> zeros(1 << 20, 0);
    for (int64_t left = int64_t{X} * Y * Z * N * 4; left > 0; left -= static_cast<int64_t>(zeros.size())) {
        const unsigned n = static_cast<unsigned>(std::min<int64_t>(left, static_cast<int64_t>(zeros.size())));
        ASSERT_EQ(gzwrite(file, zeros.data(), n), static_cast<int>(n));
    }
    ASSERT_EQ(gzclose(file), Z_OK);
}

// A small series with noise in every voxel.
void writeSmallSeries(const std::string& path) {
    std::unique_ptr<nifti_image, void (*)(nifti_image*)> header(makeHeader(24, 20, 16, 8, DT_FLOAT32),
                                                                nifti_image_free);
    std::vector<double> values(24 * 20 * 16 * 8);
    std::mt19937_64 random(3);
    std::normal_distribution<double> noise(100.0, 10.0);
    for (double& v : values) v = noise(random);
    ASSERT_TRUE(writeImage(header.get(), values, path));
}

// The largest resident set of the children that have ended, in KiB.
long childrenPeakKiB() {
    struct rusage usage;
    return ::getrusage(RUSAGE_CHILDREN, &usage) == 0 ? usage.ru_maxrss : -1;
}

// The refusal: exit status 3, the figures, the advice and the override, and
// nothing but the input in the folder.
void expectRefused(const CommandRun& run, const ScratchFolder& folder, const char* limit) {
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(contains(run.output, "tamrin: not enough memory to denoise")) << run.output;
    EXPECT_TRUE(contains(run.output, "it needs ")) << run.output;
    EXPECT_TRUE(contains(run.output, limit)) << run.output;
    EXPECT_TRUE(contains(run.output, "--no-memory-check (or TAMRIN_NO_MEMORY_CHECK=1) runs it anyway")) << run.output;
    EXPECT_EQ(folder.entries(), std::vector<std::string>{"in.nii"});
}

TEST(CommandMemoryCheck, RefusedAtOnceUnderTheResourceLimits) {
    SKIP_UNDER_SANITIZERS();
    ScratchFolder folder;
    // 200 x 200 x 100 x 100: 1.5 GiB of float32 values mapped, which the
    // address space must hold.
    writeSparseSeries(folder / "in.nii", 200, 200, 100, 100);
    const std::vector<std::string> args = {"denoise", folder / "in.nii", folder / "out.nii.gz", "--datatype", "float64",
                                           "--workers", "2"};
    CommandRun run = runTamrin(args, "ulimit -v 1048576;");
    expectRefused(run, folder, "of address space (1.5 GiB of it the input, mapped from its file), but RLIMIT_AS leaves");
    EXPECT_TRUE(contains(run.output, "fewer workers would not be enough")) << run.output;
    // As int16, the values are converted to 3 GiB of doubles.
    ScratchFolder converted;
    writeSparseSeries(converted / "in.nii", 200, 200, 100, 100, DT_INT16);
    run = runTamrin({"denoise", converted / "in.nii", converted / "out.nii.gz", "--workers", "2"}, "ulimit -d 1048576;");
    expectRefused(run, converted, "of private memory, but RLIMIT_DATA leaves");
    // Nothing was read: the values never came in.
    EXPECT_LT(childrenPeakKiB(), 64 * 1024);
}

TEST(CommandMemoryCheck, RefusedAtOnceWhenTheMachineHasTooLittle) {
    ScratchFolder folder;
    // 1000 x 1000 x 500 x 100 int16 values: 373 GiB as doubles.
    writeSparseSeries(folder / "in.nii", 1000, 1000, 500, 100, DT_INT16);
    const CommandRun info = runTamrin({"info", folder / "in.nii", "--workers", "2"});
    ASSERT_EQ(info.status, 0) << info.output;
    if (!contains(info.output, "the machine's available memory"))
        GTEST_SKIP() << "this machine could hold the run:\n" << info.output;
    EXPECT_TRUE(contains(info.output, "fits:         no: it needs ")) << info.output;
    const CommandRun run = runTamrin({"denoise", folder / "in.nii", folder / "out.nii.gz", "--workers", "2"});
    expectRefused(run, folder, "(the machine's available memory, MemAvailable)");
    EXPECT_LT(childrenPeakKiB(), 64 * 1024);
}

// Runs a shell line of the memory-cgroup tool; its output, or a skip.
struct Cgroup {
    std::string folder, skipped;
    explicit Cgroup(int64_t limit) {
        std::FILE* pipe = ::popen(("'" TAMRIN_MEMORY_CGROUP "' create " + std::to_string(limit) + " 2>&1").c_str(), "r");
        char line[512] = "";
        if (pipe == nullptr) {
            skipped = "popen failed";
            return;
        }
        const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
        const int status = ::pclose(pipe);
        std::string text = got ? line : "";
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (status != 0)
            skipped = text.empty() ? "no cgroup could be made" : text;
        else
            folder = text;
    }
    ~Cgroup() {
        if (!folder.empty()) std::system(("'" TAMRIN_MEMORY_CGROUP "' remove '" + folder + "'").c_str());
    }
    // Shell words that move the shell, and so the command it runs, in.
    std::string enter() const { return "'" TAMRIN_MEMORY_CGROUP "' enter '" + folder + "' $$;"; }
};

TEST(CommandMemoryCheck, RefusedAtOnceInACgroupAndRunsThatFitGoAhead) {
    Cgroup cgroup(512 << 20);
    if (cgroup.folder.empty()) GTEST_SKIP() << cgroup.skipped;
    ScratchFolder folder;
    // 200 x 200 x 100 x 100 int16 values: 3 GiB as doubles.
    writeSparseSeries(folder / "in.nii", 200, 200, 100, 100, DT_INT16);
    const CommandRun run =
        runTamrin({"denoise", folder / "in.nii", folder / "out.nii.gz", "--workers", "2"}, cgroup.enter());
    expectRefused(run, folder, "but its cgroup /");
    EXPECT_TRUE(contains(run.output, "(limit 512.0 MiB, ")) << run.output;

    ScratchFolder small;
    writeSmallSeries(small / "in.nii");
    const CommandRun info = runTamrin({"info", small / "in.nii", "--workers", "2"}, cgroup.enter());
    EXPECT_TRUE(contains(info.output, " left of 512.0 MiB;")) << info.output;
    EXPECT_TRUE(contains(info.output, "fits:         yes (")) << info.output;
    const CommandRun fits =
        runTamrin({"denoise", small / "in.nii", small / "out.nii", "--workers", "2", "--quiet"}, cgroup.enter());
    EXPECT_EQ(fits.status, 0) << fits.output;
}

TEST(CommandMemoryCheck, RunsThatFitGoAheadUnderTheResourceLimits) {
    SKIP_UNDER_SANITIZERS();
    ScratchFolder folder;
    writeSmallSeries(folder / "in.nii");
    for (const char* limit : {"ulimit -v 1048576;", "ulimit -d 1048576;"}) {
        const CommandRun info = runTamrin({"info", folder / "in.nii", "--workers", "2"}, limit);
        EXPECT_TRUE(contains(info.output, "fits:         yes (")) << info.output;
        EXPECT_TRUE(contains(info.output, " left of 1.0 GiB")) << info.output;
        const CommandRun run =
            runTamrin({"denoise", folder / "in.nii", folder / "out.nii", "--workers", "2", "--force"}, limit);
        EXPECT_EQ(run.status, 0) << limit << "\n" << run.output;
    }
}

TEST(CommandMemoryCheck, TheRefusalSaysWhatWouldHelp) {
    SKIP_UNDER_SANITIZERS();
    ScratchFolder folder;
    // 100 x 100 x 50 x 100: 191 MiB of values, and a window of sums of
    // about 65 MiB while the .nii output is written plane by plane. Read
    // from a .nii.gz the values take memory of their own; mapped from a
    // .nii they would not.
    writeCompressedZeros(folder / "in.nii.gz", 100, 100, 50, 100);
    CommandRun run = runTamrin({"denoise", folder / "in.nii.gz", folder / "out.nii", "--workers", "1"},
                               "ulimit -d 250000;");
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(contains(run.output, "tamrin: decompressed to .nii, the input would be mapped from its file instead of "
                                     "read into memory, and the run would fit;"))
        << run.output;
    // Every thread has its working store and buffers of finished patches
    // (about 10 MiB), and every slab but the last a band of 4 rows for the
    // window's planes.
    run = runTamrin({"denoise", folder / "in.nii.gz", folder / "out.nii", "--workers", "20"}, "ulimit -d 500000;");
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_TRUE(contains(run.output, "tamrin: with --workers ")) << run.output;
    EXPECT_TRUE(contains(run.output, " it fits; --no-memory-check")) << run.output;
}

TEST(CommandMemoryCheck, TheOverrideLetsARunGoOnToFailLate) {
    SKIP_UNDER_SANITIZERS();
    ScratchFolder folder;
    // 100 x 100 x 50 x 100 int16 values: 381 MiB as doubles.
    writeSparseSeries(folder / "in.nii", 100, 100, 50, 100, DT_INT16);
    const std::string limit = "ulimit -d 307200;";
    const std::vector<std::string> args = {"denoise",   folder / "in.nii", folder / "out.nii.gz", "--workers", "1",
                                           "--datatype", "float64"};
    expectRefused(runTamrin(args, limit), folder, "RLIMIT_DATA");
    std::vector<std::string> overridden = args;
    overridden.push_back("--no-memory-check");
    for (const CommandRun& run : {runTamrin(overridden, limit), runTamrin(args, limit + " TAMRIN_NO_MEMORY_CHECK=1")}) {
        EXPECT_EQ(run.status, 3) << run.output;
        EXPECT_TRUE(contains(run.output, "needed; see tamrin info)")) << run.output;
        EXPECT_FALSE(contains(run.output, "runs it anyway")) << run.output;
    }
}

// Shell words that run the command in a mount namespace of its own, with a
// file system of `size` (as mount's size= takes it) at `folder`; empty when
// this machine lets no such namespace be made.
std::string onSmallDisk(const std::string& folder, const char* size) {
    const std::string mount = "mount -t tmpfs -o size=" + std::string(size) + " tmpfs '" + folder + "'";
    if (std::system(("unshare -m sh -c \"" + mount + "\" >/dev/null 2>&1").c_str()) != 0) return "";
    return "unshare -m sh -c \"" + mount + " && exec \\\"\\$0\\\" \\\"\\$@\\\"\"";
}

TEST(CommandDiskCheck, RefusedAtOnceWhenTheImagesCannotFitUncompressed) {
    ScratchFolder folder;
    writeSmallSeries(folder / "in.nii");  // 24 x 20 x 16 x 8: 240 KiB as float32, 480 KiB as float64
    ASSERT_EQ(::mkdir((folder / "disk").c_str(), 0755), 0);
    const std::string small = onSmallDisk(folder / "disk", "400k");
    if (small.empty()) GTEST_SKIP() << "no mount namespace can be made here (unshare -m needs privileges)";
    // A .nii.gz is written as a temporary .nii first: its size uncompressed
    // must fit, whatever it compresses to.
    CommandRun run = runTamrin({"denoise", folder / "in.nii", folder / "disk/out.nii.gz", "--datatype", "float64"},
                               small);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(contains(run.output, "tamrin: not enough disk space for the results of " + folder / "in.nii" + " in " +
                                         folder / "disk" + ": 480.0 KiB needed"))
        << run.output;
    // The images of one folder together: float32 fits alone, not with the
    // noise map beside it (30 KiB more) on a disk with 250 KiB.
    const std::string tight = onSmallDisk(folder / "disk", "250k");
    run = runTamrin({"denoise", folder / "in.nii", folder / "disk/out.nii"}, tight);
    EXPECT_EQ(run.status, 0) << run.output;
    run = runTamrin({"denoise", folder / "in.nii", folder / "disk/out.nii", "--noise-map", folder / "disk/noise.nii"},
                    tight);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_TRUE(contains(run.output, "270.0 KiB needed")) << run.output;
    // Elsewhere the noise map goes ahead.
    run = runTamrin({"denoise", folder / "in.nii", folder / "disk/out.nii", "--noise-map", folder / "noise.nii"},
                    tight);
    EXPECT_EQ(run.status, 0) << run.output;
}

}  // namespace
