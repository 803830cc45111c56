// Wind pictures: arrows along the wind, the colour-wheel code, the vertical-wind colour map, and
// the render_winds tool on a run (from its image list or its record), its PNG files read back
// through libpng.
#include <gtest/gtest.h>
#include <png.h>

#include "io_field.h"
#include "json_reader.h"
#include "png_picture.h"
#include "run_helpers.h"

using namespace testrun;

namespace {

// 8-bit RGB through libpng's simplified reader; width 0 when the file cannot be read.
Picture read_back(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return Picture(0, 0, {0, 0, 0});
    image.format = PNG_FORMAT_RGB;
    Picture p(int(image.width), int(image.height), {0, 0, 0});
    if (!png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr))
        return Picture(0, 0, {0, 0, 0});
    return p;
}

void expect_near(Rgb got, Rgb want, const std::string& what) {
    EXPECT_TRUE(std::abs(got.r - want.r) <= 1 && std::abs(got.g - want.g) <= 1 &&
                std::abs(got.b - want.b) <= 1)
        << what << ": " << int(got.r) << " " << int(got.g) << " " << int(got.b);
}

}  // namespace

// From the centre of every grid cell an arrow of zoom x scale x (u, v) picture pixels: red along
// its shaft, not behind its tail nor past its tip. The automatic scale lets the 95th percentile
// speed span 0.9 spacing: with 96 speeds of 1 and 4 of 50, rank floor(0.95 x 99) = 94 holds a 1.
TEST(Arrows, UniformWindGivesArrowsFromEveryGridPointAlongTheWind) {
    const int nc = 48, nl = 40, spacing = 16, zoom = 3;
    const double scale = 3, dx = zoom * scale * -1, dy = zoom * scale * 1;
    const std::vector<short> image(nc * nl, 500);
    const std::vector<float> u(nc * nl, -1.0f), v(nc * nl, 1.0f);
    const Picture p = arrow_picture(u.data(), v.data(), image.data(), nc, nl, spacing, scale, zoom);
    ASSERT_TRUE(p.width == nc * zoom && p.height == nl * zoom);
    const double e = 2 / std::sqrt(2.0);  // 2 pixels along (-1, 1) / sqrt 2
    auto red = [&](double x, double y) {
        return p.at(int(std::floor(x)), int(std::floor(y))) == kArrowColour;
    };
    for (int i = 8; i < nl; i += spacing)
        for (int j = 8; j < nc; j += spacing) {
            const double x0 = (j + 0.5) * zoom, y0 = (i + 0.5) * zoom;
            for (const double t : {0.0, 0.2, 0.4, 0.6, 0.8, 1.0})
                EXPECT_TRUE(red(x0 + t * dx, y0 + t * dy)) << i << "," << j << " t=" << t;
            EXPECT_FALSE(red(x0 + e, y0 - e)) << i << "," << j << " tail";
            EXPECT_FALSE(red(x0 + dx - e, y0 + dy + e)) << i << "," << j << " tip";
        }
    std::vector<float> s(100, 0.6f), t(100, 0.8f);
    for (int k = 0; k < 4; ++k) s[k * 25] = 50, t[k * 25] = 0;
    EXPECT_NEAR(auto_arrow_scale(s.data(), t.data(), 100, 8), 0.9 * 8 / 1.0, 1e-6);
}

// Wheel entries: 0 red; 13, 14 = (255, 255*13/15, 0), (255, 255*14/15, 0); 27 = (0, 255 -
// 255*2/11, 255). Slower is paler, faster than the maximum darker (x 0.75).
TEST(Colours, WheelGivesItsHandWorkedColours) {
    const struct {
        double u, v, max;
        Rgb want;
    } wheel[] = {{3, 0, 3, {255, 0, 0}},   {-3, 0, 3, {0, 209, 255}},
                 {0, 3, 3, {255, 230, 0}}, {1.5, 0, 3, {255, 128, 128}},
                 {6, 0, 3, {191, 0, 0}},   {1, 1, 0, {255, 255, 255}}};
    for (const auto& k : wheel)
        expect_near(wheel_colour(k.u, k.v, k.max), k.want,
                    std::to_string(k.u) + "," + std::to_string(k.v));
}

// A run of two layers and one step whose list was saved on Windows (byte-order mark, CR LF).
TEST(RenderTool, DrawsEveryLayerAndStepOfARunAndNamesAMissingField) {
    const std::string dir = scratch_dir("render_tool");
    const int nc = 16, nl = 12, n = nc * nl;
    for (const char* name : {"a0.pgm", "a1.pgm", "b0.pgm", "b1.pgm"})
        write_pgm10(dir + "/" + name, nc, nl, std::vector<int>(n, 300));
    std::ofstream(dir + "/inImage_3D.txt")
        << "\xEF\xBB\xBF./a0.pgm\r\n./a1.pgm\r\n./b0.pgm\r\n./b1.pgm\r\n";
    std::vector<float> u(n, 1.0f), v(n, 0.0f), w(n, 0.25f);
    w[5] = -0.5f;
    short err = 0;
    for (const char* name : {"a0.pgm_3D.xaf", "b0.pgm_3D.xaf"})
        write_field((dir + "/" + name).c_str(), u.data(), v.data(), nc, nl, &err);
    write_floats(dir + "/b0.pgm_3D.motionUp", w);
    const std::string tool = std::string(OF3D_BIN_DIR) + "/render_winds";
    const Result r = run_in(dir, tool, "-nbTimeSample 2 -nbLayers 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("max speed 1 px/step"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("w from -0.5 to 0.25"), std::string::npos) << r.out;
    const int zoom = 384 / nc;  // the default zoom: max(1, 384 / size)
    for (const std::string step : {"a0", "b0"}) {
        const Picture p = read_back(dir + "/" + step + ".pgm_3D_arrows.png");
        EXPECT_TRUE(p.width == nc * zoom && p.height == nl * zoom) << step << " " << p.width;
        EXPECT_GT(read_back(dir + "/" + step + ".pgm_3D_wheel.png").width, nc * zoom) << step;
    }
    const Picture wv = read_back(dir + "/b0.pgm_3D_wvert.png");  // +-0.5: 0.25 pale red, -0.5 blue
    expect_near(wv.at(0, 0), {255, 128, 128}, "w = 0.25");
    expect_near(wv.at(5 * zoom + 1, 1), {0, 0, 255}, "w = -0.5");
    std::filesystem::remove(dir + "/b0.pgm_3D.xaf");
    const Result missing = run_in(dir, tool, "-nbTimeSample 2 -nbLayers 2");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("b0.pgm_3D.xaf"), std::string::npos) << missing.err;
}

// A run of a 16 x 16 window (column 3, line 2) of 24 x 20 images into an output folder, its
// results replaced by a wind of (2, 0) at step 1 and (0.05, 0) at step 2: found through the
// record, both pictures share one scale, 0.9 spacing / 2 = 3.6 px per px/step, so the calm step
// has arrows of 0.05 x 3.6 x zoom 24 = 4.3 pixels beside a reference arrow of 2 px/step (the
// largest 1-2-5 value whose arrow fits min(1.5 spacing zoom, width / 2) = 192 pixels: 172.8),
// over the grey window of the t image, 32 + 191 (s - lo) / (hi - lo).
TEST(RenderTool, ARecordedRunIsDrawnOverItsWindowOnOneScaleWithAReferenceArrow) {
    const std::string dir = scratch_dir("render_record");
    const int w = 24, h = 20, nc = 16, zoom = 24;
    auto sample = [](int x, int y) { return 100 + x * x + y; };
    for (int t = 0; t < 3; ++t) {
        std::vector<int> s(w * h);
        for (int k = 0; k < w * h; ++k) s[k] = sample(k % w + t, k / w);
        write_pgm10(dir + "/L0_t" + std::to_string(t) + ".pgm", w, h, s);
    }
    write_file(dir + "/inImage_3D.txt", "./L0_t0.pgm\n./L0_t1.pgm\n./L0_t1.pgm\n./L0_t2.pgm\n");
    write_file(dir + "/inDensity.txt", "1\n");
    ASSERT_EQ(run_in(dir, program_path(),
                     "-nbTimeSample 3 -nbLayers 1 -coarseGrid 2 -crop 1 -ofx 3 -ofy 2 "
                     "-dx 16 -dy 16 -outDir out")
                  .status,
              0);
    short err = 0;
    for (const auto& [name, speed] :
         {std::pair<const char*, float>{"L0_t0", 2.0f}, {"L0_t1", 0.05f}}) {
        std::vector<float> u(nc * nc, speed), v(nc * nc, 0.0f);
        write_field((dir + "/out/" + name + ".pgm_3D.xaf").c_str(), u.data(), v.data(), nc, nc,
                    &err);
    }
    const Result r = run_in(dir, std::string(OF3D_BIN_DIR) + "/render_winds", "-dir out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("3.6 px long per px/step, reference arrow 2 px/step"), std::string::npos)
        << r.out;
    const Picture calm = read_back(dir + "/out/L0_t1.pgm_3D_arrows.png");
    ASSERT_EQ(calm.width, nc * zoom);
    auto red = [&](int x, int y) { return calm.at(x, y) == kArrowColour; };
    const int x0 = 4 * zoom + zoom / 2, y0 = x0;  // the arrow of grid point (4, 4)
    EXPECT_TRUE(red(x0 + 3, y0));
    EXPECT_FALSE(red(x0 + 8, y0));
    const int yr = calm.height - 9;  // the reference arrow: 4.5 .. 177.3
    for (const int x : {5, 60, 120, 176}) EXPECT_TRUE(red(x, yr)) << x;
    EXPECT_FALSE(red(180, yr));
    // The t image of step 2 is image 1: sample (x + 1, y) at column x, line y.
    const double lo = sample(3 + 1, 2), hi = sample(18 + 1, 17);
    const int grey = int(std::lround(32 + 191 * (sample(18 + 1, 2) - lo) / (hi - lo)));
    expect_near(calm.at(15 * zoom + 5, 5), {uint8_t(grey), uint8_t(grey), uint8_t(grey)},
                "window sample (15, 0)");
}

// The record reader: escapes, nesting and numbers, and text that is not one JSON value.
TEST(JsonReader, ReadsValuesWithTheirEscapesAndRefusesBrokenText) {
    JsonValue v;
    std::string why;
    ASSERT_TRUE(
        parse_json(" {\"a\": [1, -2.5e1, true, null], \"b\\u00e9\": \"x\\\"\\n\\\\\"} ", &v, &why))
        << why;
    const JsonValue* a = v.find("a");
    ASSERT_TRUE(a && a->items.size() == 4u);
    EXPECT_EQ(a->items[1].number, -25.0);
    EXPECT_TRUE(a->items[2].boolean);
    EXPECT_EQ(a->items[3].kind, JsonValue::Kind::null);
    ASSERT_TRUE(v.find("b\xC3\xA9"));
    EXPECT_EQ(v.find("b\xC3\xA9")->text, "x\"\n\\");
    for (const char* bad :
         {"{\"a\": 1,}", "[1 2]", "[1}", "\"open", "{} x", "[", "{\"a\" 1}", ".5"})
        EXPECT_FALSE(parse_json(bad, &v, &why)) << bad;
}
