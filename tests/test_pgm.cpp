// The PGM readers: comment lines, sample bytes that look like white space, two-byte samples low
// byte first, the crop window, and the header and size checks that end the run naming the file.
#include "operations_images.h"

#include <gtest/gtest.h>

#include "run_helpers.h"

namespace {

std::string write_file(const std::string& name, const std::string& bytes) {
    static const std::string dir = testrun::scratch_dir("pgm");
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string samples8(int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s.push_back(char(k % 256));
    return s;
}

}  // namespace

// Comment lines of any length; sample bytes that look like line ends or blanks; two-byte samples
// low byte first; the crop window of column ofx, line ofy.
TEST(Pgm, HeadersSamplesAndWindowsReadAsWritten) {
    const struct {
        std::string file;
        std::vector<short> expected;
    } cases[] = {
        {"P5\n# first\n#" + std::string(5000, 'c') + "\n4 3\n255\n" + samples8(12),
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
        {"P5\n6 1\n255\n\x0A\x09\x0B\x0C\x0D\x20", {10, 9, 11, 12, 13, 32}},
        {std::string("P5\n2 2\n1023\n\xFF\x03\x01\x02\x00\x00\x0A\x00", 20), {1023, 513, 0, 10}},
    };
    for (const auto& c : cases) {
        const std::string path = write_file("samples.pgm", c.file);
        short nc = 0, nl = 0, hc = 0, hl = 0, image[12], first;
        entete_pgm(path.c_str(), &hc, &hl);
        read_pgm(path.c_str(), image, &nc, &nl);
        read_crop_pgm(path.c_str(), &first, 1, 1, 0, 0);
        EXPECT_EQ(std::vector<short>(image, image + nc * nl), c.expected);
        EXPECT_EQ(std::vector<short>({hc, hl, first}), std::vector<short>({nc, nl, c.expected[0]}));
    }
    short window[4];  // 2 x 2 at column 1, line 1 of the first image
    read_crop_pgm(write_file("crop.pgm", cases[0].file).c_str(), window, 2, 2, 1, 1);
    EXPECT_EQ(std::vector<short>(window, window + 4), std::vector<short>({5, 6, 9, 10}));
}

// Each reader that meets the fault ends the run with status 1 and a message naming the file.
TEST(PgmDeathTest, EveryBadInputEndsTheRunWithStatusOneNamingTheFile) {
    enum { kHeader = 1, kRead = 2, kCrop = 4, kAll = 7 };
    const struct {
        const char* name;
        std::string bytes;  // empty: no such file
        int readers;
        const char* regex;
        short window[4] = {1, 1, 0, 0};  // dCol, dLig, ofx, ofy
    } cases[] = {
        // clang-format off
        {"absent.pgm", "", kAll, "^\\*+ ERROR \\*+\nUnknown file name: .*/pgm/absent.pgm\n\\*+\n$"},
        {"magic.pgm", "P2\n4 3\n255\n" + samples8(12), kAll, "magic.pgm.*P5"},
        {"zero.pgm", "P5\n0 3\n255\n", kAll, "zero.pgm.*size"},
        {"wide.pgm", "P5\n40000 1\n255\n", kHeader, "wide.pgm.*size"},
        {"oneline.pgm", "P5\n4 3 255\n" + samples8(12), kAll, "oneline.pgm"},
        {"short.pgm", "P5\n4 3\n255\n" + samples8(11), kRead | kCrop, "short.pgm.*shorter"},
        {"bigendian.pgm", std::string("P5\n2 1\n1023\n\x03\xFF\x00\x01", 16), kRead | kCrop,
         "bigendian.pgm.*low byte first"},
        {"max.pgm", "P5\n2 2\n4095\n" + samples8(8), kRead | kCrop,
         "^Can't read images .*/pgm/max.pgm resolution problem def=4095 \\(255 ou 1023\\)!$"},
        {"right.pgm", "P5\n4 3\n255\n" + samples8(12), kCrop, "right.pgm.*does not fit", {2, 2, 3, 0}},
        // clang-format on
    };
    for (const auto& c : cases) {
        const std::string path = write_file(c.name, c.bytes);
        if (c.bytes.empty()) std::remove(path.c_str());
        const char* p = path.c_str();
        const short* w = c.window;
        short nc, nl, image[16];
        const std::function<void()> calls[] = {
            [&] { entete_pgm(p, &nc, &nl); }, [&] { read_pgm(p, image, &nc, &nl); },
            [&] { read_crop_pgm(p, image, w[0], w[1], w[2], w[3]); }};
        for (int r = 0; r < 3; ++r) {
            if (!(c.readers & (1 << r))) continue;
            EXPECT_EXIT((dup2(2, 1), calls[r]()), testing::ExitedWithCode(1), c.regex)
                << c.name << " reader " << r;
        }
    }
}
