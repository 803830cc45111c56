// Pictures of wind fields for inspection, written as 8-bit RGB PNG files: arrows over the layer's
// grey image, the colour-wheel coding of direction and speed with its legend, and the vertical
// wind in a diverging colour map with its colour bar. Picture coordinates: x along the columns
// (right), y along the lines (down). With a zoom factor z, field sample (line i, column j) covers
// the z x z square of picture pixels whose top-left corner is (j z, i z). Winds are in pixels per
// time step, u along x and v along y, as in the motion-field files.
#ifndef PNG_PICTURE_H
#define PNG_PICTURE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
    uint8_t r, g, b;
};
inline bool operator==(Rgb a, Rgb b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

// Row-major RGB samples, three bytes per pixel, top line first.
struct Picture {
    Picture(int w, int h, Rgb fill);
    Rgb at(int x, int y) const;
    void set(int x, int y, Rgb c);  // pixels outside the picture are left out
    int width, height;
    std::vector<uint8_t> rgb;
};

// Fails naming the file when it cannot be written.
void write_png(const std::string& path, const Picture& p);

// Layout of the panel beside the field in the wheel and vertical-wind pictures: the panel
// starts at column nb_col * zoom, its contents kPanelMargin pixels from its edges. The wheel
// legend is a disc of radius kLegendRadius; the colour bar is kBarWidth pixels wide and runs
// from line kPanelMargin (+m) to line height - kPanelMargin - 1 (-m).
constexpr int kPanelMargin = 8, kLegendRadius = 40, kBarWidth = 16, kMinPanelHeight = 160;
constexpr Rgb kArrowColour{255, 0, 0}, kPanelColour{40, 40, 40}, kTextColour{255, 255, 255};

// Segment between two points in picture coordinates, each pixel whose square holds a point of
// the segment's Bresenham walk (from the pixel of the first point to the pixel of the second).
void draw_line(Picture& p, double x0, double y0, double x1, double y1, Rgb c);
// Shaft from the tail (x0, y0) to the tip (x1, y1) and two barbs at +-25 degrees, 0.35 of the
// shaft long (at least 2 pixels). A shaft shorter than one pixel leaves only the tail pixel.
void draw_arrow(Picture& p, double x0, double y0, double x1, double y1, Rgb c);
// Digits, '.', '-', '+', 'e' and blanks in a 3 x 5 font magnified `scale` times, the text's
// top-left corner at (x, y), one blank font column between characters. Other characters draw
// as blanks.
void draw_text(Picture& p, int x, int y, const std::string& text, int scale, Rgb c);
int text_width(const std::string& text, int scale);

// Middlebury colour wheel of 55 colours (15 red-yellow, 6 yellow-green, 4 green-cyan,
// 11 cyan-blue, 13 blue-magenta, 6 magenta-red), position (atan2(-v, -u) / pi + 1) / 2 * 54,
// interpolated linearly between neighbouring colours: east red, south yellow-orange, west cyan,
// north violet-blue. With r = speed / max_speed each channel c (0..1) becomes 1 - r (1 - c) for
// r <= 1 (white at rest, the full colour at max_speed) and 0.75 c beyond. max_speed <= 0: white.
Rgb wheel_colour(double u, double v, double max_speed);
// t = w / m clamped to [-1, 1]: white (255, 255, 255) at 0, blending linearly to red
// (255, 0, 0) at t = 1 and to blue (0, 0, 255) at t = -1. m <= 0 gives white; NaN mid grey.
Rgb diverging_colour(double w, double m);

// Zoom that brings the longer side to at least 384 pixels: max(1, 384 / max(nb_col, nb_lig)).
int auto_zoom(int nb_col, int nb_lig);
// Arrow grid spacing in field pixels: max(8, max(nb_col, nb_lig) / 24).
int auto_spacing(int nb_col, int nb_lig);
// The 95th percentile of the speeds hypot(u, v): the sorted finite speeds at rank
// floor(0.95 (n - 1)); 0 when there is none.
double speed_percentile95(const float* u, const float* v, std::size_t n);
// Arrow length per pixel/step: 0.9 spacing over the 95th percentile of the speeds; 1 when that
// speed is 0.
double auto_arrow_scale(const float* u, const float* v, std::size_t n, int spacing);
// Largest finite speed hypot(u, v), and largest finite |w|; 0 when there is none.
double max_speed(const float* u, const float* v, std::size_t n);
double max_abs(const float* w, std::size_t n);

// The grey image (`image` may be null: mid grey), its samples mapped linearly from their own
// range onto 32..223, and one arrow per grid point (line spacing / 2 + k spacing, column
// likewise) from the centre of that pixel, `scale` picture pixels per pixel/step before zoom.
Picture arrow_picture(const float* u, const float* v, const short* image, int nb_col, int nb_lig,
                      int spacing, double scale, int zoom);
// The reference arrow of an arrow picture drawn with `scale` and `zoom`, in its bottom-left
// corner on a box of kPanelColour: pointing right, as long as a wind of speed r, with r printed
// after it. r is the largest 1, 2 or 5 x 10^k whose arrow (r zoom scale picture pixels) is at
// most min(1.5 spacing zoom, half the picture's width) long. Returns r (px/step).
double draw_reference_arrow(Picture& p, double scale, int spacing, int zoom);

// The field coded by wheel_colour with `max_speed`, then the panel: the legend disc (the
// colour of a wind pointing from its centre to the pixel, max_speed at the rim) and max_speed
// printed under it.
Picture wheel_picture(const float* u, const float* v, int nb_col, int nb_lig, double max_speed,
                      int zoom);
// The vertical wind coded by diverging_colour with range m, then the panel: the colour bar
// and the values m, 0 and -m printed beside its top, middle and bottom.
Picture vertical_wind_picture(const float* w, int nb_col, int nb_lig, double m, int zoom);

#endif
