// Result files written from CImg images: the two-plane motion adapters, the raw float file and
// the text matrix, byte for byte, and the end of the run when a file cannot be written.
#include "optic_flow_3DMultilayers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

using cimg_library::CImg;

namespace {

std::string temp_path(const std::string& tag) {
    return ::testing::TempDir() + "of3d_outputs_" + std::to_string(getpid()) + "_" + tag;
}

std::string file_contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const std::string kMissingDir = "/of3d_no_such_dir/";

}  // namespace

// Plane 0 is the first component, plane 1 the second; codes c = trunc(x + 1), c1 = 200 * frac.
TEST(MotionImage, PlanesGoToTheTwoComponentsAndAnOffsetWindowIsReadBack) {
    CImg<float> im(3, 2, 2);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 3; x++) {
            im(x, y, 0) = static_cast<float>(10 * y + x);          // 0 1 2 / 10 11 12
            im(x, y, 1) = -static_cast<float>(10 * y + x) - 0.5f;  // -0.5 .. -12.5
        }
    }
    const std::string path = temp_path("motion.xaf");
    write_XAmotionH(path.c_str(), im);
    const std::string bytes = file_contents(path);
    ASSERT_EQ(bytes.size(), 28u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\0\2\0\3", 4));
    EXPECT_EQ(bytes.substr(4 + 2 * 4, 2), std::string("\14\0", 2));  // u at line 1, column 1 = 11
    EXPECT_EQ(bytes.substr(16 + 2 * 2, 2),
              std::string("\375\144", 2));  // v at line 0, column 2 = -2.5

    testing::internal::CaptureStdout();
    const CImg<float> right = lire_XAmotionH(path.c_str(), 2, 2, 1, 0, 3, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), path + "\n");
    ASSERT_EQ(right.width(), 2);
    ASSERT_EQ(right.height(), 2);
    ASSERT_EQ(right.depth(), 2);
    for (int y = 0; y < 2; y++) {
        for (int x = 0; x < 2; x++) {
            EXPECT_EQ(right(x, y, 0), im(x + 1, y, 0)) << x << "," << y;
            EXPECT_EQ(right(x, y, 1), im(x + 1, y, 1)) << x << "," << y;
        }
    }
    testing::internal::CaptureStdout();
    const CImg<float> lower = lire_XAmotionH(path.c_str(), 3, 1, 0, 1, 3, 2);
    testing::internal::GetCapturedStdout();
    for (int x = 0; x < 3; x++) EXPECT_EQ(lower(x, 0, 1), im(x, 1, 1)) << x;
    std::remove(path.c_str());
}

TEST(MotionImage, UnwritableOrMissingFileEndsTheRun) {
    const CImg<float> im(2, 2, 2, 1, 0.0f);
    const std::string bad = kMissingDir + "f.xaf";
    EXPECT_EXIT(write_XAmotionH(bad.c_str(), im), testing::ExitedWithCode(1), "of3d_no_such_dir");
    EXPECT_EXIT(write_XAmotionH("/dev/full", im), testing::ExitedWithCode(1), "/dev/full");
    EXPECT_EXIT(lire_XAmotionH(bad.c_str(), 2, 2, 0, 0, 2, 2), testing::ExitedWithCode(1),
                "cannot read motion-field file .*of3d_no_such_dir");
    const std::string path = temp_path("short.xaf");
    std::ofstream(path, std::ios::binary).write("\0\2\0\2\3\144", 6);
    EXPECT_EXIT(lire_XAmotionH(path.c_str(), 2, 2, 0, 0, 2, 2), testing::ExitedWithCode(1),
                "cannot read motion-field file .*short.xaf");
    std::remove(path.c_str());
}

// IEEE single precision, least significant byte first: 1.0 = 3F800000, -2.0 = C0000000,
// 0.5 = 3F000000, 0.1 = 3DCCCCCD.
TEST(RawFile, RowMajorLittleEndianFloatsWithoutHeader) {
    CImg<float> im(3, 2, 1, 1, 0.0f);
    im(1, 0) = 0.5f;
    im(2, 0) = -2.0f;
    im(0, 1) = 0.1f;
    im(2, 1) = 1.0f;
    const std::string path = temp_path("wind.motionUp");
    write_rawF(im, path.c_str());
    const std::string expected = std::string("\0\0\0\0", 4) + std::string("\0\0\0\77", 4) +
                                 std::string("\0\0\0\300", 4) + std::string("\315\314\314\75", 4) +
                                 std::string("\0\0\0\0", 4) + std::string("\0\0\200\77", 4);
    EXPECT_EQ(file_contents(path), expected);
    std::remove(path.c_str());
}

TEST(TextMatrix, OneLinePerImageLineInDefaultStreamForm) {
    CImg<float> square(2, 2);
    square(0, 0) = 1.0f;
    square(1, 0) = 0.5f;
    square(0, 1) = 1e-05f;
    square(1, 1) = 123456789.0f;
    CImg<float> column(1, 4);
    column(0, 0) = 0.25f;
    column(0, 1) = -1.5f;
    column(0, 2) = 0.1f;
    column(0, 3) = -1234567.0f;
    const struct {
        const CImg<float>* im;
        const char* text;
    } cases[] = {
        {&square, "1 0.5\n1e-05 1.23457e+08\n"},
        {&column, "0.25\n-1.5\n0.1\n-1.23457e+06\n"},
    };
    const std::string path = temp_path("wind.matlab");
    for (const auto& k : cases) {
        Cree_fichier_image(path.c_str(), *k.im);
        EXPECT_EQ(file_contents(path), k.text);
    }
    std::remove(path.c_str());
}

// Every kind of float (random bit patterns: subnormals, huge values, infinities, NaNs of both
// signs) is written as printf's "%g" writes it.
TEST(TextMatrix, AnyFloatIsWrittenAsPrintfWritesIt) {
    const int dx = 97, dy = 203;
    CImg<float> im(dx, dy);
    std::mt19937 g(5);
    std::string expected;
    char buf[64];
    for (int y = 0; y < dy; y++)
        for (int x = 0; x < dx; x++) {
            const std::uint32_t bits = g();
            float value;
            std::memcpy(&value, &bits, sizeof value);
            if (y == 1) value = static_cast<float>(x - 48) / 16.0f;  // short fractions, zeros
            im(x, y) = value;
            std::snprintf(buf, sizeof buf, "%g%c", static_cast<double>(value),
                          x + 1 < dx ? ' ' : '\n');
            expected += buf;
        }
    const std::string path = temp_path("bits.matlab");
    Cree_fichier_image(path.c_str(), im);
    EXPECT_TRUE(file_contents(path) == expected);
    std::remove(path.c_str());
}

TEST(ResultFiles, FailureToCreateOrWriteEndsTheRunNamingTheFile) {
    const CImg<float> im(3, 2, 1, 1, 1.0f);
    const std::string bad = kMissingDir + "w.motionUp";
    EXPECT_EXIT(write_rawF(im, bad.c_str()), testing::ExitedWithCode(1), "of3d_no_such_dir.*fopen");
    EXPECT_EXIT(write_rawF(im, "/dev/full"), testing::ExitedWithCode(1), "/dev/full");
    // Standard output joins standard error so that both messages can be matched.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            Cree_fichier_image(bad.c_str(), im);
        },
        testing::ExitedWithCode(1), "creation impossible\n.*of3d_no_such_dir");
    EXPECT_EXIT(Cree_fichier_image("/dev/full", im), testing::ExitedWithCode(1), "/dev/full");
}
