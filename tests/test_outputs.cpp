// Result files: the two-plane motion adapters, the raw float file, the text matrix (and its
// numbers) and the text table of a field, byte for byte, and the end of the run when a file
// cannot be written.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>

#include "number_text.h"
#include "optic_flow_3DMultilayers.h"
#include "run_helpers.h"

using cimg_library::CImg;
using testrun::slurp;

// Plane 0 is the first component, plane 1 the second; codes c = trunc(x + 1), c1 = 200 * frac.
TEST(MotionImage, PlanesGoToTheTwoComponentsAndAnOffsetWindowIsReadBack) {
    CImg<float> im(3, 2, 2);
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 3; x++) {
            im(x, y, 0) = static_cast<float>(10 * y + x);          // 0 1 2 / 10 11 12
            im(x, y, 1) = -static_cast<float>(10 * y + x) - 0.5f;  // -0.5 .. -12.5
        }
    const std::string path = testrun::scratch_dir("motion") + "/m.xaf";
    write_XAmotionH(path.c_str(), im);
    const std::string bytes = slurp(path);
    ASSERT_EQ(bytes.size(), 28u);
    EXPECT_EQ(bytes.substr(0, 4), std::string("\0\2\0\3", 4));
    EXPECT_EQ(bytes.substr(4 + 2 * 4, 2), std::string("\14\0", 2));      // u(1, 1) = 11
    EXPECT_EQ(bytes.substr(16 + 2 * 2, 2), std::string("\375\144", 2));  // v(2, 0) = -2.5
    testing::internal::CaptureStdout();
    const CImg<float> right = lire_XAmotionH(path.c_str(), 2, 2, 1, 0, 3, 2);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), path + "\n");
    ASSERT_EQ(right.width() * 10 + right.height(), 22);
    for (int y = 0; y < 2; y++)
        for (int x = 0; x < 2; x++)
            for (int p = 0; p < 2; ++p) EXPECT_EQ(right(x, y, p), im(x + 1, y, p)) << x << y << p;
}

// Raw file: IEEE single precision, least significant byte first (1.0 = 3F800000,
// -2.0 = C0000000, 0.5 = 3F000000, 0.1 = 3DCCCCCD). Text matrix: "%g" values, one line per line.
// Field table: the size, a header line, then line, column, U, V per pixel.
TEST(ScalarFiles, RawFloatsTextMatrixAndFieldTableHoldTheValuesRowMajor) {
    const std::string dir = testrun::scratch_dir("scalar");
    CImg<float> im(3, 2, 1, 1, 0.0f);
    im(1, 0) = 0.5f;
    im(2, 0) = -2.0f;
    im(0, 1) = 0.1f;
    im(2, 1) = 1.0f;
    write_rawF(im, (dir + "/w.motionUp").c_str());
    EXPECT_EQ(slurp(dir + "/w.motionUp"),
              std::string("\0\0\0\0\0\0\0\77\0\0\0\300\315\314\314\75\0\0\0\0\0\0\200\77", 24));
    Cree_fichier_image((dir + "/w.matlab").c_str(), im);
    EXPECT_EQ(slurp(dir + "/w.matlab"), "0 0.5 -2\n0.1 0 1\n");
    CImg<float> column(1, 4);
    const float values[] = {1e-05f, 123456789.0f, -1234567.0f, 0.25f};
    for (int y = 0; y < 4; ++y) column(0, y) = values[y];
    Cree_fichier_image((dir + "/c.matlab").c_str(), column);
    EXPECT_EQ(slurp(dir + "/c.matlab"), "1e-05\n1.23457e+08\n-1.23457e+06\n0.25\n");
    float U[2] = {0.25f, 1.0f}, V[2] = {-1.5f, 0.0f};  // the text table of a field
    write_champ(U, V, 2, 1, (dir + "/f.motion").c_str());
    EXPECT_EQ(slurp(dir + "/f.motion"),
              "2 1\n#i\tj\tU\tV\n0\t0\t0.250000\t-1.500000\n0\t1\t1.000000\t0.000000\n");
}

// The field table's numbers are printf's "%f" characters, for the values whose rounding to six
// decimals is hardest (halfway-looking decimals, signs of zero, the float extremes, subnormals)
// and for seeded values over forty decades, in rows 300 entries long, one of the longest numbers.
TEST(ResultFiles, FieldTableNumbersAreThoseOfPrintf) {
    std::vector<float> U = {-0.0f,       1e-7f,   -1e-7f,   5e-7f,      -5e-7f,
                            2.5e-6f,     0.1f,    1.0f / 3, 0.0000015f, 1234.5678f,
                            123456.789f, 3.4e38f, -3.4e38f, 1e-45f,     -16777217.0f};
    std::mt19937 gen(3);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f), decade(-12.0f, 28.0f);
    while (U.size() < 300) U.push_back(mantissa(gen) * std::pow(10.0f, decade(gen)));
    U.resize(600, -3.4e38f);  // a row of the longest numbers
    std::vector<float> V(U.rbegin(), U.rend());
    std::fill(V.begin() + 300, V.end(), 3.4e38f);
    std::string expected = "300 2\n#i\tj\tU\tV\n";
    char buf[128];
    for (int k = 0; k < 600; ++k) {
        std::snprintf(buf, sizeof buf, "%hd\t%hd\t%f\t%f\n", static_cast<short>(k / 300),
                      static_cast<short>(k % 300), U[k], V[k]);
        expected += buf;
    }
    const std::string path = testrun::scratch_dir("table") + "/t.motion";
    write_champ(U.data(), V.data(), 300, 2, path.c_str());
    EXPECT_EQ(slurp(path), expected);
}

// The text files' numbers are printf's "%g" and "%f" of the float's value: special values, the
// edges of %g's fixed form (1e-4 and 999999.5, a few float steps either side) and of %f's exact
// range (2^24), every power of ten, the only exact ties of %g (n + 0.5 from 1e5 on) and of %f
// (odd multiples of 1/128), a stride through the float patterns of 1e-5 .. 2e6 and seeded values
// over every decade.
TEST(ResultFiles, TextFileNumbersAreThoseOfPrintf) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::numeric_limits<float>::min(),
                                 std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::max(),
                                 -std::numeric_limits<float>::max()};
    auto around = [&](float x) {
        for (int k = 0; k < 6; ++k) {
            values.push_back(x), values.push_back(-x);
            x = std::nextafter(x, 0.0f);
        }
        for (int k = 0; k < 12; ++k) x = std::nextafter(x, 1e30f);
        for (int k = 0; k < 6; ++k) values.push_back(x), x = std::nextafter(x, 0.0f);
    };
    around(1e-4f), around(999999.5f), around(999999.4f), around(16777216.0f);
    for (int j = 1; j < 4096; j += 2) values.push_back(j / 128.0f), values.push_back(-j / 128.0f);
    for (int e = -40; e <= 38; ++e) around(std::pow(10.0f, static_cast<float>(e)));
    for (float n = 100000.0f; n < 100300.0f; n += 1.0f) values.push_back(n + 0.5f);
    for (float n = 999700.0f; n < 999999.0f; n += 1.0f) values.push_back(-(n + 0.5f));
    for (std::uint32_t bits = 0x3727c5acu; bits < 0x49f42400u; bits += 4099) {
        float x;
        std::memcpy(&x, &bits, sizeof x);
        values.push_back(x), values.push_back(-x);
    }
    std::mt19937 gen(11);
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f), decade(-44.0f, 38.0f);
    for (int k = 0; k < 20000; ++k) values.push_back(mantissa(gen) * std::pow(10.0f, decade(gen)));
    char got[64], want[64];
    for (float x : values) {
        char* end = format_g(got, got + sizeof got, x);
        std::snprintf(want, sizeof want, "%g", static_cast<double>(x));
        ASSERT_EQ(std::string(got, end), std::string(want)) << x;
        end = format_f(got, got + sizeof got, x);
        std::snprintf(want, sizeof want, "%f", static_cast<double>(x));
        ASSERT_EQ(std::string(got, end), std::string(want)) << x;
    }
}

TEST(ResultFiles, FailureToCreateOrWriteEndsTheRunNamingTheFile) {
    const CImg<float> im(2, 2, 2, 1, 1.0f);
    const std::string bad = "/of3d_no_such_dir/w";
    EXPECT_EXIT(write_XAmotionH(bad.c_str(), im), testing::ExitedWithCode(1), "of3d_no_such_dir");
    EXPECT_EXIT(write_XAmotionH("/dev/full", im), testing::ExitedWithCode(1), "/dev/full");
    EXPECT_EXIT(lire_XAmotionH(bad.c_str(), 2, 2, 0, 0, 2, 2), testing::ExitedWithCode(1),
                "cannot read motion-field file .*of3d_no_such_dir");
    EXPECT_EXIT(write_rawF(im, bad.c_str()), testing::ExitedWithCode(1), "of3d_no_such_dir.*fopen");
    EXPECT_EXIT(write_rawF(im, "/dev/full"), testing::ExitedWithCode(1), "/dev/full");
    EXPECT_EXIT((dup2(2, 1), Cree_fichier_image(bad.c_str(), im)), testing::ExitedWithCode(1),
                "creation impossible\n.*of3d_no_such_dir");
    EXPECT_EXIT(Cree_fichier_image("/dev/full", im), testing::ExitedWithCode(1), "/dev/full");
    float U[1] = {0}, V[1] = {0};  // the message goes to standard output
    EXPECT_EXIT((dup2(2, 1), write_champ(U, V, 1, 1, bad.c_str())), testing::ExitedWithCode(1),
                "^Can't create /of3d_no_such_dir/w !$");
}
