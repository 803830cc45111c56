// RGB pictures of winds (arrows, colour wheel, vertical-wind colour map with its bar and legend)
// and their PNG writer.
#include "png_picture.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "fail.h"

namespace {

const double kPi = 3.14159265358979323846;

uint8_t channel(double c01) {
    return uint8_t(std::lround(255.0 * std::clamp(c01, 0.0, 1.0)));
}

// Middlebury wheel: hue steps chosen so that neighbouring colours look about equally different.
std::array<Rgb, 55> make_wheel() {
    const int RY = 15, YG = 6, GC = 4, CB = 11, BM = 13, MR = 6;
    std::array<Rgb, 55> w{};
    int k = 0;
    for (int i = 0; i < RY; ++i) w[k++] = {255, uint8_t(255 * i / RY), 0};
    for (int i = 0; i < YG; ++i) w[k++] = {uint8_t(255 - 255 * i / YG), 255, 0};
    for (int i = 0; i < GC; ++i) w[k++] = {0, 255, uint8_t(255 * i / GC)};
    for (int i = 0; i < CB; ++i) w[k++] = {0, uint8_t(255 - 255 * i / CB), 255};
    for (int i = 0; i < BM; ++i) w[k++] = {uint8_t(255 * i / BM), 0, 255};
    for (int i = 0; i < MR; ++i) w[k++] = {255, 0, uint8_t(255 - 255 * i / MR)};
    return w;
}

// 3 x 5 glyphs, one row per entry, bit 2 the left column.
struct Glyph {
    char c;
    uint8_t rows[5];
};
const Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {'-', {0, 0, 7, 0, 0}},
    {'+', {0, 2, 7, 2, 0}}, {'e', {0, 7, 7, 4, 7}},
};

std::string format_value(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

// Field-sized picture plus a panel of width panel_width on its right.
Picture with_panel(int nb_col, int nb_lig, int zoom, int panel_width) {
    return Picture(nb_col * zoom + panel_width, std::max(nb_lig * zoom, kMinPanelHeight),
                   kPanelColour);
}

void fill_square(Picture& p, int j, int i, int zoom, Rgb c) {
    for (int y = i * zoom; y < (i + 1) * zoom; ++y)
        for (int x = j * zoom; x < (j + 1) * zoom; ++x) p.set(x, y, c);
}

}  // namespace

Picture::Picture(int w, int h, Rgb fill) : width(w), height(h), rgb(std::size_t(w) * h * 3) {
    for (std::size_t k = 0; k < rgb.size(); k += 3) {
        rgb[k] = fill.r;
        rgb[k + 1] = fill.g;
        rgb[k + 2] = fill.b;
    }
}

Rgb Picture::at(int x, int y) const {
    const std::size_t k = (std::size_t(y) * width + x) * 3;
    return {rgb[k], rgb[k + 1], rgb[k + 2]};
}

void Picture::set(int x, int y, Rgb c) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    const std::size_t k = (std::size_t(y) * width + x) * 3;
    rgb[k] = c.r;
    rgb[k + 1] = c.g;
    rgb[k + 2] = c.b;
}

void write_png(const std::string& path, const Picture& p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = png_uint_32(p.width);
    image.height = png_uint_32(p.height);
    image.format = PNG_FORMAT_RGB;
    if (!png_image_write_to_file(&image, path.c_str(), 0, p.rgb.data(), 0, nullptr))
        fail("cannot write picture %s: %s", path.c_str(), image.message);
}

void draw_line(Picture& p, double x0, double y0, double x1, double y1, Rgb c) {
    int x = int(std::floor(x0)), y = int(std::floor(y0));
    const int xe = int(std::floor(x1)), ye = int(std::floor(y1));
    const int dx = std::abs(xe - x), dy = -std::abs(ye - y);
    const int sx = x < xe ? 1 : -1, sy = y < ye ? 1 : -1;
    for (int err = dx + dy;;) {
        p.set(x, y, c);
        if (x == xe && y == ye) break;
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

void draw_arrow(Picture& p, double x0, double y0, double x1, double y1, Rgb c) {
    const double dx = x1 - x0, dy = y1 - y0, len = std::hypot(dx, dy);
    if (len < 1.0) {
        p.set(int(std::floor(x0)), int(std::floor(y0)), c);
        return;
    }
    draw_line(p, x0, y0, x1, y1, c);
    const double barb = std::max(2.0, 0.35 * len), bx = -dx / len, by = -dy / len;
    const double cs = std::cos(25.0 * kPi / 180.0), sn = std::sin(25.0 * kPi / 180.0);
    for (const double s : {sn, -sn})
        draw_line(p, x1, y1, x1 + barb * (bx * cs - by * s), y1 + barb * (bx * s + by * cs), c);
}

void draw_text(Picture& p, int x, int y, const std::string& text, int scale, Rgb c) {
    for (const char ch : text) {
        for (const Glyph& g : kFont) {
            if (g.c != ch) continue;
            for (int row = 0; row < 5; ++row)
                for (int col = 0; col < 3; ++col)
                    if (g.rows[row] & (4 >> col))
                        for (int a = 0; a < scale; ++a)
                            for (int b = 0; b < scale; ++b)
                                p.set(x + col * scale + b, y + row * scale + a, c);
        }
        x += 4 * scale;
    }
}

int text_width(const std::string& text, int scale) {
    return text.empty() ? 0 : (4 * int(text.size()) - 1) * scale;
}

Rgb wheel_colour(double u, double v, double max_speed) {
    static const std::array<Rgb, 55> wheel = make_wheel();
    const int n = int(wheel.size());
    const double r = max_speed > 0 ? std::hypot(u, v) / max_speed : 0.0;
    const double fk = (std::atan2(-v, -u) / kPi + 1.0) / 2.0 * (n - 1);
    const int k0 = std::clamp(int(std::floor(fk)), 0, n - 1), k1 = (k0 + 1) % n;
    const double f = fk - k0;
    const uint8_t a[3] = {wheel[k0].r, wheel[k0].g, wheel[k0].b};
    const uint8_t b[3] = {wheel[k1].r, wheel[k1].g, wheel[k1].b};
    uint8_t out[3];
    for (int ch = 0; ch < 3; ++ch) {
        const double col = ((1.0 - f) * a[ch] + f * b[ch]) / 255.0;
        out[ch] = channel(r <= 1.0 ? 1.0 - r * (1.0 - col) : 0.75 * col);
    }
    return {out[0], out[1], out[2]};
}

Rgb diverging_colour(double w, double m) {
    if (std::isnan(w)) return {128, 128, 128};
    if (!(m > 0)) return {255, 255, 255};
    const double t = std::clamp(w / m, -1.0, 1.0);
    const uint8_t fade = channel(1.0 - std::fabs(t));
    return t >= 0 ? Rgb{255, fade, fade} : Rgb{fade, fade, 255};
}

int auto_zoom(int nb_col, int nb_lig) {
    return std::max(1, 384 / std::max(nb_col, nb_lig));
}

int auto_spacing(int nb_col, int nb_lig) {
    return std::max(8, std::max(nb_col, nb_lig) / 24);
}

double speed_percentile95(const float* u, const float* v, std::size_t n) {
    std::vector<double> speed;
    speed.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double s = std::hypot(double(u[k]), double(v[k]));
        if (std::isfinite(s)) speed.push_back(s);
    }
    if (speed.empty()) return 0.0;
    const auto rank = speed.begin() + std::ptrdiff_t(0.95 * double(speed.size() - 1));
    std::nth_element(speed.begin(), rank, speed.end());
    return *rank;
}

double auto_arrow_scale(const float* u, const float* v, std::size_t n, int spacing) {
    const double p95 = speed_percentile95(u, v, n);
    return p95 > 0 ? 0.9 * spacing / p95 : 1.0;
}

double max_speed(const float* u, const float* v, std::size_t n) {
    double m = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double s = std::hypot(double(u[k]), double(v[k]));
        if (std::isfinite(s)) m = std::max(m, s);
    }
    return m;
}

double max_abs(const float* w, std::size_t n) {
    double m = 0;
    for (std::size_t k = 0; k < n; ++k)
        if (std::isfinite(w[k])) m = std::max(m, std::fabs(double(w[k])));
    return m;
}

Picture arrow_picture(const float* u, const float* v, const short* image, int nb_col, int nb_lig,
                      int spacing, double scale, int zoom) {
    Picture p(nb_col * zoom, nb_lig * zoom, {128, 128, 128});
    const std::size_t n = std::size_t(nb_col) * nb_lig;
    if (image) {
        const auto [lo, hi] = std::minmax_element(image, image + n);
        const double range = std::max(1, *hi - *lo);
        for (int i = 0; i < nb_lig; ++i)
            for (int j = 0; j < nb_col; ++j) {
                const double g = 32.0 + 191.0 * (image[std::size_t(i) * nb_col + j] - *lo) / range;
                const uint8_t grey = uint8_t(std::lround(g));
                fill_square(p, j, i, zoom, {grey, grey, grey});
            }
    }
    for (int i = spacing / 2; i < nb_lig; i += spacing)
        for (int j = spacing / 2; j < nb_col; j += spacing) {
            const std::size_t k = std::size_t(i) * nb_col + j;
            if (!std::isfinite(u[k]) || !std::isfinite(v[k])) continue;
            const double x0 = (j + 0.5) * zoom, y0 = (i + 0.5) * zoom;
            draw_arrow(p, x0, y0, x0 + zoom * scale * u[k], y0 + zoom * scale * v[k], kArrowColour);
        }
    return p;
}

double draw_reference_arrow(Picture& p, double scale, int spacing, int zoom) {
    const double per_unit = zoom * scale;  // picture pixels per px/step
    const double longest = std::min(1.5 * spacing * zoom, 0.5 * p.width) / per_unit;
    const double decade = std::pow(10.0, std::floor(std::log10(longest)));
    const double m = longest / decade;
    const double r = (m >= 5 ? 5 : m >= 2 ? 2 : 1) * decade;
    const std::string label = format_value(r);
    const int margin = 4, length = int(std::lround(r * per_unit));
    const int box_width = 2 * margin + length + 6 + text_width(label, 2),
              box_height = 2 * margin + 10;
    for (int y = p.height - box_height; y < p.height; ++y)
        for (int x = 0; x < box_width; ++x) p.set(x, y, kPanelColour);
    const double y = p.height - box_height / 2 + 0.5;
    draw_arrow(p, margin + 0.5, y, margin + 0.5 + r * per_unit, y, kArrowColour);
    draw_text(p, margin + length + 6, p.height - margin - 10, label, 2, kTextColour);
    return r;
}

Picture wheel_picture(const float* u, const float* v, int nb_col, int nb_lig, double max_speed,
                      int zoom) {
    Picture p = with_panel(nb_col, nb_lig, zoom, 2 * kPanelMargin + 2 * kLegendRadius);
    for (int i = 0; i < nb_lig; ++i)
        for (int j = 0; j < nb_col; ++j) {
            const std::size_t k = std::size_t(i) * nb_col + j;
            fill_square(p, j, i, zoom, wheel_colour(u[k], v[k], max_speed));
        }
    const int R = kLegendRadius, cx = nb_col * zoom + kPanelMargin + R, cy = kPanelMargin + R;
    for (int y = cy - R; y < cy + R; ++y)
        for (int x = cx - R; x < cx + R; ++x) {
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            if (dx * dx + dy * dy <= double(R) * R) p.set(x, y, wheel_colour(dx, dy, R));
        }
    const std::string label = format_value(max_speed);
    draw_text(p, cx - text_width(label, 2) / 2, cy + R + 6, label, 2, kTextColour);
    return p;
}

Picture vertical_wind_picture(const float* w, int nb_col, int nb_lig, double m, int zoom) {
    const std::string top = format_value(m), bottom = format_value(-m);
    const int label_width = std::max(text_width(top, 2), text_width(bottom, 2));
    Picture p = with_panel(nb_col, nb_lig, zoom, 2 * kPanelMargin + kBarWidth + 6 + label_width);
    for (int i = 0; i < nb_lig; ++i)
        for (int j = 0; j < nb_col; ++j)
            fill_square(p, j, i, zoom, diverging_colour(w[std::size_t(i) * nb_col + j], m));
    const int x0 = nb_col * zoom + kPanelMargin, y0 = kPanelMargin;
    const int bar = p.height - 2 * kPanelMargin;
    for (int y = 0; y < bar; ++y) {
        const Rgb c = diverging_colour(m * (1.0 - 2.0 * y / (bar - 1)), m);
        for (int x = 0; x < kBarWidth; ++x) p.set(x0 + x, y0 + y, c);
    }
    const int xt = x0 + kBarWidth + 6;
    draw_text(p, xt, y0, top, 2, kTextColour);
    draw_text(p, xt, y0 + bar / 2 - 5, "0", 2, kTextColour);
    draw_text(p, xt, y0 + bar - 10, bottom, 2, kTextColour);
    return p;
}
