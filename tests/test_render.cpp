// Wind pictures: arrows along the wind, the colour-wheel code and its legend, the vertical-wind
// colour map and bar, PNG files read back through libpng, and the render_winds tool on a run.
#include <gtest/gtest.h>
#include <png.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "io_field.h"
#include "png_picture.h"
#include "run_helpers.h"

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
    EXPECT_NEAR(got.r, want.r, 1) << what;
    EXPECT_NEAR(got.g, want.g, 1) << what;
    EXPECT_NEAR(got.b, want.b, 1) << what;
}

}  // namespace

TEST(Arrows, UniformWindGivesArrowsFromEveryGridPointAlongTheWind) {
    const struct {
        float u, v;
        int zoom;
    } cases[] = {{2, 0, 1},       {0, 2, 1},   {-2, 0, 1}, {0, -2, 1},
                 {1.5f, 1.5f, 1}, {-1, -1, 1}, {2, 0, 2},  {-1, 1, 3}};
    const int nc = 48, nl = 40, spacing = 16;
    const double scale = 3;
    const std::vector<short> image(nc * nl, 500);
    for (const auto& k : cases) {
        const std::vector<float> u(nc * nl, k.u), v(nc * nl, k.v);
        const Picture p =
            arrow_picture(u.data(), v.data(), image.data(), nc, nl, spacing, scale, k.zoom);
        ASSERT_EQ(p.width, nc * k.zoom);
        ASSERT_EQ(p.height, nl * k.zoom);
        const double dx = k.zoom * scale * k.u, dy = k.zoom * scale * k.v;
        const double len = std::hypot(dx, dy), ex = dx / len, ey = dy / len;
        const std::string what = "wind (" + std::to_string(k.u) + ", " + std::to_string(k.v) +
                                 ") zoom " + std::to_string(k.zoom);
        auto red = [&](double x, double y) {
            return p.at(int(std::floor(x)), int(std::floor(y))) == kArrowColour;
        };
        for (int i = 8; i < nl; i += spacing)
            for (int j = 8; j < nc; j += spacing) {
                const double x0 = (j + 0.5) * k.zoom, y0 = (i + 0.5) * k.zoom;
                for (const double t : {0.0, 0.2, 0.4, 0.6, 0.8, 1.0})
                    EXPECT_TRUE(red(x0 + t * dx, y0 + t * dy)) << what << " shaft t=" << t;
                EXPECT_FALSE(red(x0 - 2 * ex, y0 - 2 * ey)) << what << " behind the tail";
                EXPECT_FALSE(red(x0 + dx + 2 * ex, y0 + dy + 2 * ey)) << what << " past the tip";
                // Barbs: arrow pixels on both sides of the shaft, within the head near the tip.
                bool left = false, right = false;
                for (int y = 0; y < p.height; ++y)
                    for (int x = 0; x < p.width; ++x) {
                        const double rx = x + 0.5 - (x0 + dx), ry = y + 0.5 - (y0 + dy);
                        const double side = rx * ey - ry * ex, along = rx * ex + ry * ey;
                        const bool in_head = along < 0 && along > -0.4 * len - 1 &&
                                             std::fabs(side) <= 0.35 * len + 1;
                        if (p.at(x, y) == kArrowColour && in_head) {
                            left = left || side >= 0.5;
                            right = right || side <= -0.5;
                        }
                    }
                EXPECT_TRUE(left && right) << what << " barbs at grid point " << j << "," << i;
            }
    }
}

TEST(Arrows, AutomaticSpacingAndScale) {
    EXPECT_EQ(auto_spacing(128, 128), 8);
    EXPECT_EQ(auto_spacing(1024, 512), 42);
    EXPECT_EQ(auto_spacing(100, 300), 12);
    EXPECT_EQ(auto_zoom(128, 100), 3);
    EXPECT_EQ(auto_zoom(1000, 10), 1);
    // 96 speeds of 1 and 4 outliers of 50: rank floor(0.95 * 99) = 94 holds a 1.
    std::vector<float> u(100, 0.6f), v(100, 0.8f);
    for (int k = 0; k < 4; ++k) u[k * 25] = 50, v[k * 25] = 0;
    EXPECT_NEAR(auto_arrow_scale(u.data(), v.data(), 100, 8), 0.9 * 8 / 1.0, 1e-6);
    const std::vector<float> zero(100, 0.0f);
    EXPECT_EQ(auto_arrow_scale(zero.data(), zero.data(), 100, 8), 1.0);
    EXPECT_NEAR(max_speed(u.data(), v.data(), 100), 50.0, 1e-9);
}

TEST(ColourWheel, DirectionsAndSpeedsGetTheirWheelColours) {
    // Wheel entries: 0 red; 13, 14 = (255, 255*13/15, 0), (255, 255*14/15, 0);
    // 27 = (0, 255 - 255*2/11, 255); 40, 41 = (255*4/13, 0, 255), (255*5/13, 0, 255).
    const struct {
        double u, v, max;
        Rgb want;
        const char* what;
    } cases[] = {
        {3, 0, 3, {255, 0, 0}, "east, full speed"},
        {-3, 0, 3, {0, 209, 255}, "west: entry 27"},
        {0, 3, 3, {255, 230, 0}, "south: halfway between entries 13 and 14"},
        {0, -3, 3, {88, 0, 255}, "north: halfway between entries 40 and 41"},
        {1.5, 0, 3, {255, 128, 128}, "east, half speed: halfway to white"},
        {-1.5, 0, 3, {128, 232, 255}, "west, half speed"},
        {0, 0, 3, {255, 255, 255}, "at rest"},
        {6, 0, 3, {191, 0, 0}, "east beyond the maximum: darkened by 0.75"},
        {1, 1, 0, {255, 255, 255}, "no maximum"},
    };
    for (const auto& k : cases) expect_near(wheel_colour(k.u, k.v, k.max), k.want, k.what);
}

TEST(ColourWheel, PictureCodesTheFieldAndDrawsTheLegendBeside) {
    const int nc = 20, nl = 12, zoom = 2;
    std::vector<float> u(nc * nl, -1.0f), v(nc * nl, 0.0f);
    u[0] = 2.0f;  // the maximum, top-left sample: pure red
    const Picture p = wheel_picture(u.data(), v.data(), nc, nl, 2.0, zoom);
    EXPECT_EQ(p.width, nc * zoom + 2 * kPanelMargin + 2 * kLegendRadius);
    EXPECT_EQ(p.height, kMinPanelHeight);
    expect_near(p.at(1, 1), {255, 0, 0}, "fastest sample");
    expect_near(p.at(nc * zoom - 1, nl * zoom - 1), {128, 232, 255}, "west at half speed");
    const int cx = nc * zoom + kPanelMargin + kLegendRadius, cy = kPanelMargin + kLegendRadius;
    const Rgb east = p.at(cx + kLegendRadius - 2, cy), west = p.at(cx - kLegendRadius + 1, cy);
    EXPECT_TRUE(east.r == 255 && east.g < 40 && east.b < 40) << int(east.g) << " " << int(east.b);
    EXPECT_TRUE(west.r < 40 && west.g > 180 && west.b == 255) << int(west.r) << " " << int(west.g);
    const Rgb centre = p.at(cx, cy);
    EXPECT_TRUE(centre.r >= 245 && centre.g >= 245 && centre.b >= 245) << "legend centre: rest";
}

TEST(VerticalWind, DivergingColoursAndBarSpanMinusMToM) {
    const struct {
        double w, m;
        Rgb want;
    } cases[] = {{2, 2, {255, 0, 0}},     {-2, 2, {0, 0, 255}},     {0, 2, {255, 255, 255}},
                 {1, 2, {255, 128, 128}}, {-1, 2, {128, 128, 255}}, {5, 2, {255, 0, 0}},
                 {-5, 2, {0, 0, 255}},    {0.3, 0, {255, 255, 255}}};
    for (const auto& k : cases)
        expect_near(diverging_colour(k.w, k.m), k.want, "w " + std::to_string(k.w));

    const int nc = 10, nl = 6, zoom = 3;
    std::vector<float> w(nc * nl);
    for (int k = 0; k < nc * nl; ++k) w[k] = -3.0f + 4.0f * k / (nc * nl - 1);  // -3 .. 1
    const Picture p = vertical_wind_picture(w.data(), nc, nl, 3.0, zoom);
    ASSERT_EQ(p.height, kMinPanelHeight);
    expect_near(p.at(0, 0), {0, 0, 255}, "w = -3");
    expect_near(p.at(nc * zoom - 1, nl * zoom - 1), {255, 170, 170}, "w = 1 of 3");
    const int x = nc * zoom + kPanelMargin + kBarWidth / 2;
    const int top = kPanelMargin, bottom = p.height - kPanelMargin - 1;
    expect_near(p.at(x, top), {255, 0, 0}, "bar top, +m");
    expect_near(p.at(x, bottom), {0, 0, 255}, "bar bottom, -m");
    EXPECT_GE(p.at(x, (top + bottom) / 2).g, 250) << "bar middle, near 0";
    EXPECT_FALSE(p.at(x, top - 1) == p.at(x, top)) << "the bar starts at its top line";
    for (int y = top; y < bottom; ++y) {
        EXPECT_GE(p.at(x, y).r, p.at(x, y + 1).r) << y;
        EXPECT_LE(p.at(x, y).b, p.at(x, y + 1).b) << y;
    }
}

TEST(PngFiles, ReadBackWithTheDrawnSizeAndSamples) {
    const std::string dir = testrun::scratch_dir("png_files");
    const int nc = 30, nl = 20;
    std::vector<float> u(nc * nl), v(nc * nl);
    for (int k = 0; k < nc * nl; ++k) u[k] = float(k % nc) / 10, v[k] = float(k / nc) / 10 - 1;
    const Picture pictures[] = {arrow_picture(u.data(), v.data(), nullptr, nc, nl, 8, 2.0, 2),
                                wheel_picture(u.data(), v.data(), nc, nl, 3.0, 1),
                                vertical_wind_picture(u.data(), nc, nl, 3.0, 4)};
    for (const Picture& p : pictures) {
        const std::string path = dir + "/p" + std::to_string(p.width) + ".png";
        write_png(path, p);
        const Picture back = read_back(path);
        EXPECT_EQ(back.width, p.width);
        EXPECT_EQ(back.height, p.height);
        EXPECT_TRUE(back.rgb == p.rgb) << path;
    }
    EXPECT_EQ(pictures[0].width, 60);
    EXPECT_EQ(pictures[0].height, 40);
}

TEST(RenderTool, DrawsEveryLayerAndStepOfARunAndNamesAMissingField) {
    const std::string dir = testrun::scratch_dir("render_tool");
    const int nc = 16, nl = 12, n = nc * nl;
    for (const char* name : {"a0.pgm", "a1.pgm", "b0.pgm", "b1.pgm"})
        testrun::write_pgm10(dir + "/" + name, nc, nl, std::vector<int>(n, 300));
    {
        std::ofstream list(dir + "/inImage_3D.txt");
        list << "\xEF\xBB\xBF./a0.pgm\r\n./a1.pgm\r\n./b0.pgm\r\n./b1.pgm\r\n";
    }
    std::vector<float> u(n, 1.0f), v(n, 0.0f), w(n, 0.25f);
    w[5] = -0.5f;
    short err = 0;
    for (const char* name : {"a0.pgm_3D.xaf", "b0.pgm_3D.xaf"})
        write_field((dir + "/" + name).c_str(), u.data(), v.data(), nc, nl, &err);
    {
        std::ofstream raw(dir + "/b0.pgm_3D.motionUp", std::ios::binary);
        for (const float x : w) {
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            for (int b = 0; b < 4; ++b) raw.put(char((bits >> (8 * b)) & 0xFF));
        }
    }
    const std::string tool = std::string(OF3D_BIN_DIR) + "/render_winds";
    const testrun::Result r = testrun::run_in(dir, tool, "-nbTimeSample 2 -nbLayers 2");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("max speed 1 px/step"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("w from -0.5 to 0.25"), std::string::npos) << r.out;
    const int zoom = 384 / nc;
    for (const char* name : {"a0.pgm_3D_arrows.png", "b0.pgm_3D_arrows.png"}) {
        const Picture p = read_back(dir + "/" + name);
        EXPECT_EQ(p.width, nc * zoom) << name;
        EXPECT_EQ(p.height, nl * zoom) << name;
    }
    for (const char* name : {"a0.pgm_3D_wheel.png", "b0.pgm_3D_wheel.png", "b0.pgm_3D_wvert.png"})
        EXPECT_GT(read_back(dir + "/" + name).width, nc * zoom) << name;
    EXPECT_FALSE(std::filesystem::exists(dir + "/a0.pgm_3D_wvert.png"));

    std::filesystem::remove(dir + "/b0.pgm_3D.xaf");
    const testrun::Result missing = testrun::run_in(dir, tool, "-nbTimeSample 2 -nbLayers 2");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("b0.pgm_3D.xaf"), std::string::npos) << missing.err;
}
