// SPDX-License-Identifier: BSD-3-Clause
// Progress reporting: the line's text, and that a run with progress gives the
// same bits as one without and counts every patch position.
#include "progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli_test_support.h"
#include "phantom/phantom.h"
#include "tamrin/denoise.h"

namespace {

TEST(ProgressText, DurationsDigitsAndLine) {
    EXPECT_EQ(tamrin::formatDuration(0.0), "0:00");
    EXPECT_EQ(tamrin::formatDuration(7.4), "0:07");
    EXPECT_EQ(tamrin::formatDuration(59.6), "1:00");
    EXPECT_EQ(tamrin::formatDuration(3725.0), "1:02:05");
    EXPECT_EQ(tamrin::groupDigits(0), "0");
    EXPECT_EQ(tamrin::groupDigits(999), "999");
    EXPECT_EQ(tamrin::groupDigits(320013), "320,013");
    EXPECT_EQ(tamrin::groupDigits(-1234567), "-1,234,567");

    EXPECT_EQ(tamrin::formatProgress(0, 1000, 0.0), "  0% [........................] 0/1,000 patches  0:00 elapsed");
    // A quarter done in 10 s: 30 s left.
    EXPECT_EQ(tamrin::formatProgress(250, 1000, 10.0),
              " 25% [######..................] 250/1,000 patches  0:10 elapsed  0:30 left");
    EXPECT_EQ(tamrin::formatProgress(1000, 1000, 42.0),
              "100% [########################] 1,000/1,000 patches  0:42 elapsed");
}

TEST(ProgressRun, SameBitsAsAPlainRunAndEveryPositionCounted) {
    const int32_t X = 20, Y = 17, Z = 9, N = 12;
    std::vector<double> truth, input;
    tamrin::makePhantom(X, Y, Z, N, &truth);
    tamrin::addNoise(truth, 15.0, 3, &input);
    const std::size_t voxels = static_cast<std::size_t>(X) * Y * Z;
    std::vector<double> plain(voxels * N), plainNoise(voxels), withLine(voxels * N), lineNoise(voxels), weight(voxels);
    ASSERT_EQ(tamrin::denoiseVolume(input.data(), X, Y, Z, N, 3, plain.data(), plainNoise.data(), weight.data()),
              tamrin::kDenoiseOk);

    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    tamrin::DenoiseResults results;
    results.denoised = withLine.data();
    results.noise = lineNoise.data();
    results.weight = weight.data();
    ASSERT_EQ(tamrin::denoiseWithProgress(tamrin::seriesView(input.data(), X, Y, Z, N), 3, results,
                                          tamrin::DenoiseOptions(), sink, std::chrono::milliseconds(1)),
              tamrin::kDenoiseOk);
    EXPECT_TRUE(tamrin_cli_test::sameBits(plain, withLine));
    EXPECT_TRUE(tamrin_cli_test::sameBits(plainNoise, lineNoise));

    // The last line is complete and ends the output.
    std::string text(static_cast<std::size_t>(std::ftell(sink)), '\0');
    std::rewind(sink);
    ASSERT_EQ(std::fread(text.data(), 1, text.size(), sink), text.size());
    std::fclose(sink);
    const std::string total = tamrin::groupDigits(tamrin::patchPositions(X, Y, Z, N));
    EXPECT_EQ(tamrin::patchPositions(X, Y, Z, N), 18 * 15 * 7);
    const std::string last = "100% [########################] " + total + "/" + total + " patches";
    EXPECT_NE(text.find("\r" + last), std::string::npos) << text;
    EXPECT_EQ(text.back(), '\n');
}

TEST(ProgressRun, NoPositionsWhenThinnerThanAPatch) {
    EXPECT_EQ(tamrin::patchPositions(10, 10, 3, 30), 0);  // side 4
    EXPECT_EQ(tamrin::patchPositions(4, 4, 4, 30), 1);
}

}  // namespace
