#include "operations_images.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + "imageops_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string samples8(int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s.push_back(char(k % 256));
    return s;
}

// The call must end the run with status 1 and a message matching regex on standard output or
// standard error (joined).
void expect_run_ends(const std::function<void()>& call, const std::string& regex) {
    EXPECT_EXIT(
        {
            dup2(2, 1);
            call();
        },
        ::testing::ExitedWithCode(1), regex);
}

}  // namespace

TEST(Pgm, CommentLinesOfAnyLengthAreSkippedByAllThreeReaders) {
    const std::string header = "P5\n# first\n#" + std::string(5000, 'c') + "\n640 480\n255\n";
    const std::string path = write_file("comments.pgm", header + samples8(640 * 480));
    short nc = 0, nl = 0, rc = 0, rl = 0, window[4];
    std::vector<short> image(640 * 480);
    entete_pgm(path.c_str(), &nc, &nl);
    read_pgm(path.c_str(), image.data(), &rc, &rl);
    EXPECT_EQ(std::vector<short>({nc, nl, rc, rl}), std::vector<short>({640, 480, 640, 480}));
    EXPECT_EQ(image[640 * 480 - 1], (640 * 480 - 1) % 256);
    read_crop_pgm(path.c_str(), window, 2, 2, 638, 478);  // bottom-right corner
    const int corner = 478 * 640 + 638;
    EXPECT_EQ(std::vector<short>(window, window + 4),
              std::vector<short>({short(corner % 256), short((corner + 1) % 256),
                                  short((corner + 640) % 256), short((corner + 641) % 256)}));
}

TEST(Pgm, SamplesDecodeWithoutSwallowingLineEndBytes) {
    const struct {
        std::string file;
        std::vector<short> expected;
    } cases[] = {
        {"P5\n6 1\n255\n\x0A\x09\x0B\x0C\x0D\x20", {10, 9, 11, 12, 13, 32}},
        {std::string("P5\n2 2\n1023\n\xFF\x03\x01\x02\x00\x00\x0A\x00", 20), {1023, 513, 0, 10}},
    };
    for (const auto& c : cases) {
        const std::string path = write_file("samples.pgm", c.file);
        short nc, nl, image[6], first;
        read_pgm(path.c_str(), image, &nc, &nl);
        read_crop_pgm(path.c_str(), &first, 1, 1, 0, 0);
        EXPECT_EQ(std::vector<short>(image, image + nc * nl), c.expected);
        EXPECT_EQ(first, c.expected[0]);
    }
    const std::string path = write_file("crop.pgm", "P5\n4 3\n255\n" + samples8(12));
    short window[4];
    read_crop_pgm(path.c_str(), window, 2, 2, 1, 1);
    EXPECT_EQ(std::vector<short>(window, window + 4), std::vector<short>({5, 6, 9, 10}));
}

TEST(PgmDeathTest, EveryBadInputEndsTheRunWithStatusOneNamingTheFile) {
    enum { kHeader = 1, kRead = 2, kCrop = 4, kAll = 7 };
    const std::string image12 = "P5\n4 3\n255\n" + samples8(12);
    const struct {
        const char* name;
        std::string bytes;  // empty: no such file
        int readers;
        short window[4];
        const char* regex;
    } cases[] = {
        // clang-format off
        {"absent.pgm", "", kAll, {1, 1, 0, 0},
         "^\\*+ ERROR \\*+\nUnknown file name: .*imageops_absent.pgm\n\\*+\n$"},
        {"magic.pgm", "P2\n4 3\n255\n" + samples8(12), kAll, {1, 1, 0, 0}, "magic.pgm.*P5"},
        {"zero.pgm", "P5\n0 3\n255\n", kAll, {1, 1, 0, 0}, "zero.pgm.*size"},
        {"negative.pgm", "P5\n4 -3\n255\n" + samples8(12), kAll, {1, 1, 0, 0}, "negative.pgm.*size"},
        {"wide.pgm", "P5\n40000 1\n255\n", kAll, {1, 1, 0, 0}, "wide.pgm.*size"},
        {"oneline.pgm", "P5\n4 3 255\n" + samples8(12), kAll, {1, 1, 0, 0}, "oneline.pgm"},
        {"short.pgm", "P5\n4 3\n255\n" + samples8(11), kRead | kCrop, {1, 1, 0, 0},
         "short.pgm.*shorter"},
        {"huge.pgm", "P5\n30000 30000\n1023\n" + samples8(40), kRead | kCrop, {1, 1, 0, 0},
         "huge.pgm.*shorter"},
        {"bigendian.pgm", std::string("P5\n2 1\n1023\n\x03\xFF\x00\x01", 16), kRead | kCrop,
         {1, 1, 0, 0}, "bigendian.pgm.*low byte first"},
        {"max.pgm", "P5\n2 2\n4095\n" + samples8(8), kRead | kCrop, {1, 1, 0, 0},
         "^Can't read images .*imageops_max.pgm resolution problem def=4095 \\(255 ou 1023\\)!$"},
        {"max2.pgm", "P5\n2 2\n65535\n" + samples8(8), kRead | kCrop, {1, 1, 0, 0},
         "^Can't read images .*max2.pgm resolution problem def=65535 \\(255 ou 1023\\)!$"},
        {"right.pgm", image12, kCrop, {2, 2, 3, 0}, "right.pgm.*does not fit"},
        {"below.pgm", image12, kCrop, {2, 2, 0, 2}, "below.pgm.*does not fit"},
        {"left.pgm", image12, kCrop, {1, 1, -1, 0}, "left.pgm.*does not fit"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.bytes.empty() ? ::testing::TempDir() + "imageops_" + c.name
                                                 : write_file(c.name, c.bytes);
        const char* p = path.c_str();
        const short* w = c.window;
        short nc, nl, image[16];
        if (c.readers & kHeader) expect_run_ends([&] { entete_pgm(p, &nc, &nl); }, c.regex);
        if (c.readers & kRead) expect_run_ends([&] { read_pgm(p, image, &nc, &nl); }, c.regex);
        if (c.readers & kCrop) {
            expect_run_ends([&] { read_crop_pgm(p, image, w[0], w[1], w[2], w[3]); }, c.regex);
        }
    }
}
