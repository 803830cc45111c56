// The xaf codec on plain float buffers (byte layout, the documented sample codes, saturation, the
// error codes of missing, unwritable and short files) and the safe writer behind every result
// file: a write that fails is reported and never renamed into place.
#include "io_field.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

#include "run_helpers.h"
#include "safe_output.h"

namespace {

std::string scratch_file(const std::string& name) {
    static const std::string dir = testrun::scratch_dir("io_field");
    return dir + "/" + name;
}

void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    testrun::write_file(path, std::string(bytes.begin(), bytes.end()));
}

}  // namespace

// Codes worked by hand from y = x +- 1 in float, c = trunc(y), c1 = trunc(|y - c| * 200) with the
// product in float; values out of range saturate to the extreme codes, NaN takes the code of 0.
// u holds the cases, v zeros: a header of 1 line (0, 1) and n columns (0, n), then u, then v.
TEST(XafCodec, StoresDocumentedAndSaturatedCodesAtTheirRowMajorPlaces) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float x;
        int c, c1;
        float back;
    } cases[] = {
        // clang-format off
        {2.5f, 3, 100, 2.5f}, {-2.5f, -3, 100, -2.5f}, {0.0f, 1, 0, 0.0f}, {-0.25f, -1, 50, -0.25f},
        {2.35f, 3, 69, 2.345f}, {-1.0f, -2, 0, -1.0f},
        {0.13f, 1, 26, 0.13f},  // (1.13f - 1) * 200 = 25.999999 rounds to 26 in float
        {-127.5f, -128, 100, -127.5f}, {127.0f, 127, 199, 126.995f},
        {-200.0f, -128, 199, -127.995f}, {inf, 127, 199, 126.995f}, {std::nanf(""), 1, 0, 0.0f},
        // clang-format on
    };
    const int n = static_cast<int>(std::size(cases));  // one line of n columns
    std::vector<float> u(n), v(n, 0.0f);
    for (int k = 0; k < n; k++) u[k] = cases[k].x;
    const std::string path = scratch_file("codes.xaf");
    short err = -1;
    write_field(path.c_str(), u.data(), v.data(), static_cast<short>(n), 1, &err);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(u[0], 2.5f) << "the caller's buffer changed";
    const std::string text = testrun::slurp(path);
    const std::vector<unsigned char> bytes(text.begin(), text.end());
    ASSERT_EQ(bytes.size(), 4u + 4u * n);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 4),
              (std::vector<unsigned char>{0, 1, 0, static_cast<unsigned char>(n)}));
    std::vector<float> ru(n, -9.0f), rv(n, -9.0f);
    read_field(path.c_str(), ru.data(), rv.data(), static_cast<short>(n), 1, &err);
    ASSERT_EQ(err, 0);
    for (int k = 0; k < n; k++) {
        EXPECT_EQ(bytes[4 + 2 * k], static_cast<unsigned char>(cases[k].c & 0xFF)) << cases[k].x;
        EXPECT_EQ(bytes[5 + 2 * k], cases[k].c1) << cases[k].x;
        EXPECT_EQ(bytes[4 + 2 * n + 2 * k] * 256 + bytes[5 + 2 * n + 2 * k], 256);  // 0: c 1, c1 0
        EXPECT_EQ(ru[k], cases[k].back) << cases[k].x;
        EXPECT_EQ(rv[k], 0.0f);
    }
}

// 1 = cannot open, 3 = short file or failed write; nothing beyond the bytes read is decoded. The
// header alone: lines = byte 0 x 256 + byte 1, columns = byte 2 x 256 + byte 3.
TEST(XafErrors, MissingUnwritableAndShortFilesAreReportedWithoutDecodingGarbage) {
    std::vector<float> u(4, 7.0f), v(4, 7.0f);
    short err = 0, nbcol = 5, nblig = 6;
    read_field(scratch_file("missing.xaf").c_str(), u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 1);
    write_field("/dev/full", u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 3);
    // Header, the four u codes of 2.5 and one v code of -0.25, then the file ends.
    const std::string path = scratch_file("short.xaf");
    write_bytes(path, {0, 2, 0, 2, 3, 100, 3, 100, 3, 100, 3, 100, 255, 50, 1});
    read_field(path.c_str(), u.data(), v.data(), 2, 2, &err);
    EXPECT_EQ(err, 3);
    EXPECT_EQ(u, std::vector<float>(4, 2.5f));
    EXPECT_EQ(v, (std::vector<float>{-0.25f, 7.0f, 7.0f, 7.0f}));
    write_bytes(path, {1, 0, 2, 0});  // 256 lines, 512 columns
    read_entete_field(path.c_str(), &nbcol, &nblig, &err);
    EXPECT_EQ(std::vector<short>({err, nbcol, nblig}), std::vector<short>({0, 512, 256}));
}

// A stream error (here a read from the write-only stream, which sets its error flag while the
// bytes still reach the temporary) and a full disk both make commit() fail; the final name keeps
// what it held and no temporary is left. A clean write replaces the file.
TEST(SafeOutput, FailedWritesAreReportedAndNeverRenamedIntoPlace) {
    const std::string path = scratch_file("result.txt");
    const std::filesystem::path dir = std::filesystem::path(path).parent_path();
    write_bytes(path, {'o', 'l', 'd'});
    const auto entries = [&] {
        return std::distance(std::filesystem::directory_iterator(dir), {});
    };
    const long before = entries();
    SafeOutput out;
    std::FILE* f = out.open(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    std::fgetc(f);
    EXPECT_FALSE(out.commit());
    EXPECT_EQ(testrun::slurp(path), "old");
    EXPECT_EQ(entries(), before);

    ASSERT_NE(f = out.open("/dev/full", "wb"), nullptr);
    std::fputs("new", f);
    EXPECT_FALSE(out.commit());
    EXPECT_EQ(errno, ENOSPC);

    ASSERT_NE(f = out.open(path.c_str(), "w"), nullptr);
    std::fputs("new", f);
    EXPECT_TRUE(out.commit());
    EXPECT_EQ(testrun::slurp(path), "new");
    EXPECT_EQ(entries(), before);
}
