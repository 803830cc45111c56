// The working size and the zero-padding copy, the divergence's replicated border, and the PGM
// readers: comment lines, sample bytes that look like white space, two-byte samples low byte
// first, the crop window, and the header and size checks that end the run naming the file.
#include "operations_images.h"

#include <gtest/gtest.h>

#include "run_helpers.h"

TEST(WorkingSize, RoundsUpToAMultipleOfTheCoarsestStepAndPadsRightAndBottom) {
    const short cases[][6] = {// columns, lines, resol, scale, and the working size
                              {500, 300, 1, 2, 504, 304},
                              {512, 8, 2, 1, 512, 8},
                              {501, 33, 0, 0, 501, 33},
                              {1, 7, 2, 0, 4, 8}};
    for (const auto& c : cases) {
        short nc = -1, nl = -1;
        Modif_Taille_Image_2(c[0], c[1], c[2], c[3], &nc, &nl);
        EXPECT_EQ(std::vector<short>({nc, nl}), std::vector<short>({c[4], c[5]})) << c[0];
    }
    short s[6] = {1, 2, 3, 4, 5, 6}, big[12];
    float f[6] = {1, 2, 3, 4, 5, 6}, bigf[12], U[6], V[6];
    std::fill(big, big + 12, 9);
    expand_ima(s, big, 3, 2, 4, 3);
    expand_ima_f(f, bigf, 3, 2, 4, 3);
    const std::vector<short> expected = {1, 2, 3, 0, 4, 5, 6, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::vector<short>(big, big + 12), expected);
    EXPECT_EQ(std::vector<float>(bigf, bigf + 12),
              std::vector<float>(expected.begin(), expected.end()));
    ajust_field(bigf, bigf, U, V, 4, 3, 2);  // the crop back to 3 x 2
    EXPECT_EQ(std::vector<float>(U, U + 6), std::vector<float>(f, f + 6));
    EXPECT_EQ(std::vector<float>(V, V + 6), std::vector<float>(f, f + 6));
}

namespace {

// The path of the scratch file `name`, which now holds `bytes`.
std::string pgm_file(const std::string& name, const std::string& bytes) {
    static const std::string dir = testrun::scratch_dir("pgm");
    testrun::write_file(dir + "/" + name, bytes);
    return dir + "/" + name;
}

std::string samples8(int n) {
    std::string s;
    for (int k = 0; k < n; ++k) s.push_back(char(k % 256));
    return s;
}

// Divergence of a 9 x 7 field whose components are functions of (line, column).
template <typename FU, typename FV>
std::vector<float> divergence(FU fu, FV fv) {
    const short nc = 9, nl = 7;
    std::vector<float> U(nc * nl), V(nc * nl), div(nc * nl, -99.0f);
    for (int k = 0; k < nc * nl; ++k) U[k] = fu(k / nc, k % nc), V[k] = fv(k / nc, k % nc);
    Div_Vie(div.data(), U.data(), V.data(), nc, nl);
    return div;
}

// Derivative of a unit ramp at sample k of n: 1 inside; the replicated border flattens it to
// 840 / 1680 on the outermost sample and 1855 / 1680 on the next one.
double ramp_derivative(int k, int n) {
    const int from_edge = std::min(k, n - 1 - k);
    return from_edge == 0 ? 840.0 / 1680 : from_edge == 1 ? 1855.0 / 1680 : 1.0;
}

}  // namespace

TEST(Divergence, UnitRampsFlattenOnlyOnTheTwoOuterSamplesOfTheirAxis) {
    const auto zero = [](int, int) { return 0.0f; };
    const auto dx = divergence([](int, int j) { return float(j); }, zero);
    const auto dy = divergence(zero, [](int i, int) { return float(i); });
    for (int k = 0; k < 9 * 7; ++k) {
        EXPECT_NEAR(dx[k], ramp_derivative(k % 9, 9), 1e-6) << "line " << k / 9 << " col " << k % 9;
        EXPECT_NEAR(dy[k], ramp_derivative(k / 9, 7), 1e-6) << "line " << k / 9 << " col " << k % 9;
    }
    const auto flat = divergence([](int, int) { return 2.5f; }, [](int, int) { return -7.0f; });
    for (float d : flat) EXPECT_EQ(d, 0.0f);
}

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
        const std::string path = pgm_file("samples.pgm", c.file);
        short nc = 0, nl = 0, hc = 0, hl = 0, image[12], first;
        entete_pgm(path.c_str(), &hc, &hl);
        read_pgm(path.c_str(), image, &nc, &nl);
        read_crop_pgm(path.c_str(), &first, 1, 1, 0, 0);
        EXPECT_EQ(std::vector<short>(image, image + nc * nl), c.expected);
        EXPECT_EQ(std::vector<short>({hc, hl, first}), std::vector<short>({nc, nl, c.expected[0]}));
    }
    short window[4];  // 2 x 2 at column 1, line 1 of the first image
    read_crop_pgm(pgm_file("crop.pgm", cases[0].file).c_str(), window, 2, 2, 1, 1);
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
        const std::string path = pgm_file(c.name, c.bytes);
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
