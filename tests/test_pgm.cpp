#include "operations_images.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + "imageops_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string samples8(int n, int first = 0) {
    std::string s;
    for (int k = 0; k < n; ++k) s.push_back(char((first + k) % 256));
    return s;
}

// Runs a reader that must end the run with status 1; its standard output is joined to the
// standard error so that both can be matched.
#define EXPECT_READER_FAILS(call, regex) \
    EXPECT_EXIT(                         \
        {                                \
            dup2(2, 1);                  \
            call;                        \
        },                               \
        ::testing::ExitedWithCode(1), regex)

}  // namespace

TEST(Pgm, CommentLinesOfAnyLengthAreSkippedByAllThreeReaders) {
    const std::string header =
        "P5\n# first comment\n#" + std::string(5000, 'c') + "\n640 480\n255\n";
    const std::string path = write_file("comments.pgm", header + samples8(640 * 480));
    short nc = 0, nl = 0;
    entete_pgm(path.c_str(), &nc, &nl);
    EXPECT_EQ(nc, 640);
    EXPECT_EQ(nl, 480);

    std::vector<short> image(640 * 480);
    nc = nl = 0;
    read_pgm(path.c_str(), image.data(), &nc, &nl);
    EXPECT_EQ(nc, 640);
    EXPECT_EQ(nl, 480);
    EXPECT_EQ(image[0], 0);
    EXPECT_EQ(image[640 * 480 - 1], (640 * 480 - 1) % 256);

    short window[4];  // bottom-right 2 x 2 corner: needs the true width and height
    read_crop_pgm(path.c_str(), window, 2, 2, 638, 478);
    const int corner = 478 * 640 + 638;
    const int expected[4] = {corner, corner + 1, corner + 640, corner + 641};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(window[k], expected[k] % 256) << k;
}

TEST(Pgm, FirstSampleThatLooksLikeWhiteSpaceIsNotSwallowed) {
    for (int first : {9, 10, 11, 12, 13, 32}) {
        const std::string path = write_file("ws.pgm", "P5\n3 2\n255\n" + samples8(6, first));
        short image[6], nc, nl, window[1];
        read_pgm(path.c_str(), image, &nc, &nl);
        read_crop_pgm(path.c_str(), window, 1, 1, 0, 0);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(image[k], first + k) << first;
        EXPECT_EQ(window[0], first);
    }
}

TEST(Pgm, TenBitSamplesAreTwoBytesLowByteFirst) {
    const std::string bytes = {'\xFF', '\x03', '\x01', '\x02', '\x00', '\x00', '\x0A', '\x00'};
    const std::string path = write_file("tenbit.pgm", "P5\n2 2\n1023\n" + bytes);
    short image[4], nc, nl, window[2];
    read_pgm(path.c_str(), image, &nc, &nl);
    const short expected[4] = {1023, 513, 0, 10};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(image[k], expected[k]) << k;
    read_crop_pgm(path.c_str(), window, 1, 2, 1, 0);
    EXPECT_EQ(window[0], 513);
    EXPECT_EQ(window[1], 10);
}

TEST(Pgm, CropCopiesTheWindowColumnByColumn) {
    const std::string path = write_file("crop.pgm", "P5\n4 3\n255\n" + samples8(12));
    short window[4];
    read_crop_pgm(path.c_str(), window, 2, 2, 1, 1);
    const short expected[4] = {5, 6, 9, 10};
    for (int k = 0; k < 4; ++k) EXPECT_EQ(window[k], expected[k]) << k;
}

TEST(PgmDeathTest, MissingFileGivesTheThreeLineReport) {
    const std::string path = ::testing::TempDir() + "imageops_absent.pgm";
    const char* p = path.c_str();
    short nc, nl, image[4];
    const char* report = "\\*+ ERROR \\*+\nUnknown file name: .*imageops_absent.pgm\n\\*+\n";
    EXPECT_READER_FAILS(entete_pgm(p, &nc, &nl), report);
    EXPECT_READER_FAILS(read_pgm(p, image, &nc, &nl), report);
    EXPECT_READER_FAILS(read_crop_pgm(p, image, 1, 1, 0, 0), report);
}

TEST(PgmDeathTest, MalformedHeadersEndTheRunNamingTheFile) {
    const struct {
        const char* name;
        std::string bytes;
        bool header_only_fails;  // entete_pgm reads only up to the size line
        const char* regex;
    } cases[] = {
        {"magic.pgm", "P2\n4 3\n255\n" + samples8(12), true, "magic.pgm.*P5"},
        {"zero.pgm", "P5\n0 3\n255\n", true, "zero.pgm.*size"},
        {"negative.pgm", "P5\n4 -3\n255\n" + samples8(12), true, "negative.pgm.*size"},
        {"wide.pgm", "P5\n40000 1\n255\n", true, "wide.pgm.*size"},
        {"oneline.pgm", "P5\n4 3 255\n" + samples8(12), true, "oneline.pgm"},
        {"short.pgm", "P5\n4 3\n255\n" + samples8(11), false, "short.pgm.*shorter"},
        {"huge.pgm", "P5\n30000 30000\n1023\n" + samples8(40), false, "huge.pgm.*shorter"},
        {"bigendian.pgm", "P5\n2 1\n1023\n" + std::string("\x03\xFF\x00\x01", 4), false,
         "bigendian.pgm.*low byte first"},
    };
    for (const auto& c : cases) {
        const std::string path = write_file(c.name, c.bytes);
        const char* p = path.c_str();
        short nc, nl, image[16];
        if (c.header_only_fails) {
            EXPECT_READER_FAILS(entete_pgm(p, &nc, &nl), c.regex);
        }
        EXPECT_READER_FAILS(read_pgm(p, image, &nc, &nl), c.regex);
        EXPECT_READER_FAILS(read_crop_pgm(p, image, 1, 1, 0, 0), c.regex);
    }
}

TEST(PgmDeathTest, UnsupportedMaximumKeepsItsMessage) {
    for (int def : {4095, 65535, 256}) {
        const std::string path =
            write_file("max.pgm", "P5\n2 2\n" + std::to_string(def) + "\n" + samples8(8));
        const std::string regex =
            "^Can't read images .*imageops_max.pgm resolution problem def=" + std::to_string(def) +
            " \\(255 ou 1023\\)!$";
        short nc, nl, image[4];
        EXPECT_READER_FAILS(read_pgm(path.c_str(), image, &nc, &nl), regex);
        EXPECT_READER_FAILS(read_crop_pgm(path.c_str(), image, 1, 1, 0, 0), regex);
    }
}

TEST(PgmDeathTest, WindowOutsideTheImageEndsTheRun) {
    const std::string path = write_file("window.pgm", "P5\n4 3\n255\n" + samples8(12));
    short image[16];
    const short windows[][4] = {{2, 2, 3, 0}, {2, 2, 0, 2}, {1, 1, -1, 0}, {5, 1, 0, 0}};
    for (const auto& w : windows) {
        EXPECT_READER_FAILS(read_crop_pgm(path.c_str(), image, w[0], w[1], w[2], w[3]),
                            "window.pgm.*does not fit");
    }
}
