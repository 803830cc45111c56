// The xaf codec on plain float buffers: byte layout, sample codes, round trip, saturation and the
// error codes of missing, unwritable and short files.
#include "io_field.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

std::string temp_path(const std::string& tag) {
    return ::testing::TempDir() + "of3d_io_field_" + std::to_string(getpid()) + "_" + tag;
}

std::vector<unsigned char> file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

TEST(XafFile, HeaderIsLinesThenColumnsBigEndianFollowedByBothComponents) {
    const std::string path = temp_path("3x2.xaf");
    std::vector<float> u(6, 0.0f), v(6, 0.0f);
    short err = -1;
    write_field(path.c_str(), u.data(), v.data(), 3, 2, &err);
    EXPECT_EQ(err, 0);
    const std::vector<unsigned char> bytes = file_bytes(path);
    ASSERT_EQ(bytes.size(), 28u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 3);

    write_bytes(path, {1, 0, 2, 0});
    short nbcol = 0, nblig = 0;
    read_entete_field(path.c_str(), &nbcol, &nblig, &err);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(nblig, 256);
    EXPECT_EQ(nbcol, 512);
    std::remove(path.c_str());
}

// Codes worked by hand from y = x +- 1 in float, c = trunc(y), c1 = trunc(|y - c| * 200) with the
// product in float; values out of range saturate to the extreme codes, NaN takes the code of 0.
TEST(XafCodec, StoresDocumentedAndSaturatedCodesAtTheirRowMajorPlaces) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float x;
        int c;
        int c1;
        float back;
    } cases[] = {
        {2.5f, 3, 100, 2.5f},         {-2.5f, -3, 100, -2.5f},
        {0.0f, 1, 0, 0.0f},           {-0.25f, -1, 50, -0.25f},
        {2.35f, 3, 69, 2.345f},       {0.004f, 1, 0, 0.0f},
        {126.5f, 127, 100, 126.5f},   {-127.5f, -128, 100, -127.5f},
        {130.0f, 127, 199, 126.995f}, {-200.0f, -128, 199, -127.995f},
        {127.0f, 127, 199, 126.995f}, {-128.0f, -128, 199, -127.995f},
        {inf, 127, 199, 126.995f},    {-inf, -128, 199, -127.995f},
        {std::nanf(""), 1, 0, 0.0f},  {-1.0f, -2, 0, -1.0f},
        {0.13f, 1, 26, 0.13f},  // (1.13f - 1) * 200 = 25.999999 rounds to 26 in float
    };
    const int n = static_cast<int>(std::size(cases));  // one line of n columns
    std::vector<float> u(n), v(n);
    for (int k = 0; k < n; k++) {
        u[k] = cases[k].x;
        v[k] = cases[n - 1 - k].x;
    }
    const std::vector<float> u_before = u;
    const std::string path = temp_path("codes.xaf");
    short err = -1;
    write_field(path.c_str(), u.data(), v.data(), static_cast<short>(n), 1, &err);
    ASSERT_EQ(err, 0);
    for (int k = 0; k < n; k++) {
        if (!std::isnan(u_before[k])) {
            EXPECT_EQ(u[k], u_before[k]) << "caller's buffer changed";
        }
    }
    const std::vector<unsigned char> bytes = file_bytes(path);
    ASSERT_EQ(bytes.size(), 4u + 4u * n);
    for (int k = 0; k < n; k++) {
        const auto& ku = cases[k];
        const auto& kv = cases[n - 1 - k];
        EXPECT_EQ(bytes[4 + 2 * k], static_cast<unsigned char>(ku.c & 0xFF)) << ku.x;
        EXPECT_EQ(bytes[5 + 2 * k], ku.c1) << ku.x;
        EXPECT_EQ(bytes[4 + 2 * n + 2 * k], static_cast<unsigned char>(kv.c & 0xFF)) << kv.x;
        EXPECT_EQ(bytes[5 + 2 * n + 2 * k], kv.c1) << kv.x;
    }
    std::vector<float> ru(n, -9.0f), rv(n, -9.0f);
    read_field(path.c_str(), ru.data(), rv.data(), static_cast<short>(n), 1, &err);
    ASSERT_EQ(err, 0);
    for (int k = 0; k < n; k++) {
        EXPECT_EQ(ru[k], cases[k].back) << cases[k].x;
        EXPECT_EQ(rv[k], cases[n - 1 - k].back) << cases[n - 1 - k].x;
    }
    std::remove(path.c_str());
}

// The code truncates |x| toward zero in steps of 0.005. x +- 1 is rounded to float first, which
// may move it by half a float step (at most 2^-17, between 128 and 256) either way: the bounds
// allow that much slack.
TEST(XafCodec, EveryValueInRangeReadsBackWithin0005AndNeverLarger) {
    const float slack = 1.0f / 65536.0f;
    const short nbcol = 500, nblig = 511;
    const int n = nbcol * nblig;
    std::vector<float> u(n), v(n);
    for (int k = 0; k < n; k++) {
        u[k] = static_cast<float>(-127999 + k) / 1000.0f;  // -127.999 .. 127.5 step 0.001
        if (u[k] >= 127.0f) u[k] = 126.999f - static_cast<float>(k % 1000) * 0.0371f;
        v[k] = static_cast<float>(std::sin(0.37 * k) * 126.9);
    }
    const std::string path = temp_path("sweep.xaf");
    short err = -1;
    write_field(path.c_str(), u.data(), v.data(), nbcol, nblig, &err);
    ASSERT_EQ(err, 0);
    std::vector<float> ru(n), rv(n);
    read_field(path.c_str(), ru.data(), rv.data(), nbcol, nblig, &err);
    ASSERT_EQ(err, 0);
    int bad = 0;
    for (int k = 0; k < n && bad < 10; k++) {
        for (const auto& [x, r] : {std::pair{u[k], ru[k]}, std::pair{v[k], rv[k]}}) {
            const bool ok = std::fabs(x - r) < 0.005f + slack &&
                            std::fabs(r) <= std::fabs(x) + slack &&
                            (r == 0.0f || std::signbit(r) == std::signbit(x));
            if (!ok) {
                ADD_FAILURE() << "written " << x << ", read " << r;
                bad++;
            }
        }
    }
    std::remove(path.c_str());
}

// 1 = cannot open, 3 = short file; nothing beyond the bytes actually read is decoded.
TEST(XafErrors, MissingUnwritableAndShortFilesAreReportedWithoutDecodingGarbage) {
    const std::string missing = temp_path("no_such_dir") + "/field.xaf";
    std::vector<float> u(4, 7.0f), v(4, 7.0f);
    short err = 0;
    write_field(missing.c_str(), u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 1);
    read_field(missing.c_str(), u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 1);
    EXPECT_EQ(u, std::vector<float>(4, 7.0f));
    short nbcol = 5, nblig = 6;
    read_entete_field(missing.c_str(), &nbcol, &nblig, &err);
    EXPECT_EQ(err, 1);

    err = 0;
    write_field("/dev/full", u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 3);

    // Header, the four u codes of 2.5 and one v code of -0.25, then the file ends.
    const std::string path = temp_path("short.xaf");
    write_bytes(path, {0, 2, 0, 2, 3, 100, 3, 100, 3, 100, 3, 100, 255, 50, 1});
    read_field(path.c_str(), u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(u, std::vector<float>(4, 2.5f));
    EXPECT_EQ(v, (std::vector<float>{-0.25f, 7.0f, 7.0f, 7.0f}));

    write_bytes(path, {1, 0, 2});
    read_entete_field(path.c_str(), &nbcol, &nblig, &err);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(nbcol, 5);
    EXPECT_EQ(nblig, 6);
    std::remove(path.c_str());
}
