// The synthetic layered atmosphere: random winds and cloud textures drawn from a seed, and the
// images they make under the mass-conservation model (see sample_model.h).
#include "sample_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "fail.h"
#include "physical_constants.h"

namespace {

const double kPi = 3.14159265358979323846;

// Targets at strength 1: the shaped part of a horizontal wind reaches 2 px/step and at most
// 0.05/step of divergence, and the drift adds up to 1 px/step.
const double kPatternSpeed = 2.0;
const double kMaxDivergence = 0.05;
const double kDriftSpeed = 1.0;

// Texture octaves: lattice spacing 32, 16, 8 px, each 0.55 times the amplitude of the last.
const int kOctaves = 3;
const double kBaseSpacing = 32.0;
const double kPersistence = 0.55;

// Grey range of the first sample, with room for the brightening of converging winds and the
// flux term over later samples; every image stays within 0..1021.
const double kGreyLow = 100.0, kGreyHigh = 850.0, kGreyCeiling = 1000.0;
const int kMaxGrey = 1021;

uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Sequence of uniform draws from one 64-bit seed (splitmix64), identical on every platform.
struct Draws {
    uint64_t state;
    double uniform(double a, double b) {
        state += 0x9E3779B97F4A7C15ULL;
        return a + (b - a) * double(mix64(state) >> 11) * 0x1.0p-53;
    }
    double sign() { return uniform(0, 1) < 0.5 ? -1.0 : 1.0; }
};

// Uniform value in [-1, 1] attached to a lattice node of one octave.
double lattice_value(uint64_t key, int octave, long ix, long iy) {
    uint64_t h = mix64(key + 0x9E3779B97F4A7C15ULL * uint64_t(octave + 1));
    h = mix64(h ^ uint64_t(int64_t(ix)));
    h = mix64(h ^ (uint64_t(int64_t(iy)) * 0xD6E8FEB86659FD93ULL));
    return double(h >> 11) * 0x1.0p-52 - 1.0;
}

// Quintic fade: C2-continuous interpolation weights, so the texture has smooth derivatives.
double fade(double t) {
    return t * t * t * (t * (t * 6.0 - 15.0) + 10.0);
}

double fractal_noise(uint64_t key, double x, double y) {
    double sum = 0.0, amp = 1.0, spacing = kBaseSpacing;
    for (int o = 0; o < kOctaves; ++o) {
        // Each octave's lattice is shifted by a fraction of a cell so nodes do not line up.
        const double X = x / spacing + 0.37 * (o + 1), Y = y / spacing + 0.61 * (o + 1);
        const double fx0 = std::floor(X), fy0 = std::floor(Y);
        const long ix = long(fx0), iy = long(fy0);
        const double a = fade(X - fx0), b = fade(Y - fy0);
        const double v00 = lattice_value(key, o, ix, iy), v10 = lattice_value(key, o, ix + 1, iy);
        const double v01 = lattice_value(key, o, ix, iy + 1);
        const double v11 = lattice_value(key, o, ix + 1, iy + 1);
        sum += amp * ((v00 * (1 - a) + v10 * a) * (1 - b) + (v01 * (1 - a) + v11 * a) * b);
        amp *= kPersistence;
        spacing *= 0.5;
    }
    return sum;
}

double bump_value(const GaussBump& g, double x, double y) {
    const double dx = x - g.x0, dy = y - g.y0;
    return g.amp * std::exp(-(dx * dx + dy * dy) / (2.0 * g.sigma * g.sigma));
}

// Largest speed and largest |divergence| of a wind over the pixel grid.
void wind_extremes(const LayerWind& w, int x0, int y0, int x1, int y1, double* speed, double* div) {
    *speed = 0.0;
    *div = 0.0;
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            double u, v, d;
            layer_wind_at(w, x, y, &u, &v, &d);
            *speed = std::max(*speed, std::hypot(u, v));
            *div = std::max(*div, std::fabs(d));
        }
}

// One of three shapes by layer: a solid rotation, a divergent/convergent pair, or a shear with
// a vortex. Unit amplitudes here; the caller rescales.
LayerWind draw_pattern(int layer, int nc, int nl, Draws& rng) {
    const double cx = 0.5 * (nc - 1), cy = 0.5 * (nl - 1), R = 0.5 * std::min(nc, nl);
    LayerWind w;
    switch (layer % 3) {
        case 0:
            w.rot_x0 = cx + rng.uniform(-0.3, 0.3) * R;
            w.rot_y0 = cy + rng.uniform(-0.3, 0.3) * R;
            w.omega = rng.sign();
            break;
        case 1: {
            // A source and a sink on either side of the centre (div = laplacian of phi).
            const double a = rng.uniform(0.0, 2.0 * kPi), sign = rng.sign();
            for (int side = -1; side <= 1; side += 2) {
                const double sigma = rng.uniform(0.35, 0.5) * R;
                w.potential.push_back({cx + side * 0.45 * R * std::cos(a),
                                       cy + side * 0.45 * R * std::sin(a), sigma,
                                       side * sign * sigma * sigma});
            }
            break;
        }
        default: {
            w.shear_amp = rng.sign();
            w.shear_y0 = rng.uniform(0.0, nl);
            w.shear_wavelength = rng.uniform(1.2, 2.0) * nl;
            const double sigma = rng.uniform(0.3, 0.45) * R;
            w.stream.push_back({cx + rng.uniform(-0.4, 0.4) * R, cy + rng.uniform(-0.4, 0.4) * R,
                                sigma, rng.sign() * 1.5 * sigma * sigma});
            break;
        }
    }
    return w;
}

// A turbulent wind: a sum of vortices (stream-function bumps) of random sign, 3 to 7 % of the
// image side wide, about one per 24 x 24 px. Divergence-free; unit amplitudes, rescaled later.
LayerWind draw_vortices(int nc, int nl, Draws& rng) {
    const double side = std::min(nc, nl);
    const int count = std::max(6, nc * nl / (24 * 24));
    LayerWind w;
    for (int n = 0; n < count; ++n) {
        const double sigma = std::max(3.0, rng.uniform(0.03, 0.07) * side);
        w.stream.push_back({rng.uniform(0.0, nc - 1.0), rng.uniform(0.0, nl - 1.0), sigma,
                            rng.sign() * sigma * sigma});
    }
    return w;
}

void scale_pattern(LayerWind& w, double k) {
    w.omega *= k;
    w.shear_amp *= k;
    for (auto& g : w.potential) g.amp *= k;
    for (auto& g : w.stream) g.amp *= k;
}

}  // namespace

// Standard normal draw attached to one sample of one image (Box-Muller on two hashed uniforms),
// the same for the same seed whatever order the images are made in.
static double sensor_noise(const LayeredSample& s, int layer, int k, int i, int j) {
    uint64_t h = mix64(s.settings.seed ^ 0x6E6F697365ULL);
    h = mix64(h ^ (uint64_t(layer) << 48) ^ (uint64_t(k) << 32) ^ (uint64_t(i) << 16) ^
              uint64_t(j));
    const double u1 = (double(h >> 11) + 0.5) * 0x1.0p-53;
    const double u2 = double(mix64(h) >> 11) * 0x1.0p-53;
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * kPi * u2);
}

void layer_wind_at(const LayerWind& w, double x, double y, double* u, double* v, double* div) {
    double U = w.drift_u - w.omega * (y - w.rot_y0);
    double V = w.drift_v + w.omega * (x - w.rot_x0);
    U += w.shear_amp * std::sin(2.0 * kPi * (y - w.shear_y0) / w.shear_wavelength);
    double D = 0.0;
    // phi = g: grad g = -g (dx, dy) / s^2, laplacian g = g (r^2 / s^4 - 2 / s^2).
    for (const auto& g : w.potential) {
        const double s2 = g.sigma * g.sigma, dx = x - g.x0, dy = y - g.y0;
        const double val = bump_value(g, x, y);
        U -= val * dx / s2;
        V -= val * dy / s2;
        D += val * ((dx * dx + dy * dy) / (s2 * s2) - 2.0 / s2);
    }
    // psi = g: (d psi/dy, -d psi/dx) = (-g dy / s^2, g dx / s^2), divergence-free.
    for (const auto& g : w.stream) {
        const double s2 = g.sigma * g.sigma;
        const double val = bump_value(g, x, y);
        U -= val * (y - g.y0) / s2;
        V += val * (x - g.x0) / s2;
    }
    *u = U;
    *v = V;
    *div = D;
}

double vertical_wind_at(const LayeredSample& s, int k, double x, double y) {
    double w = 0.0;
    for (const auto& g : s.vertical[k]) w += bump_value(g, x, y);
    return w;
}

double mass_flux_at(const LayeredSample& s, int layer, double x, double y) {
    return kMassFluxScale * (double(s.rho[layer]) * vertical_wind_at(s, layer, x, y) -
                             double(s.rho[layer + 1]) * vertical_wind_at(s, layer + 1, x, y));
}

void invert_displacement(const LayerWind& w, double x, double y, double* px, double* py) {
    // A contraction while |grad W| < 1 (here about 0.1), so a few dozen steps reach 1e-10 px.
    double p = x, q = y;
    for (int it = 0; it < 100; ++it) {
        double u, v, d;
        layer_wind_at(w, p, q, &u, &v, &d);
        const double np = x - u, nq = y - v;
        const bool done = std::fabs(np - p) < 1e-10 && std::fabs(nq - q) < 1e-10;
        p = np;
        q = nq;
        if (done) break;
    }
    *px = p;
    *py = q;
}

double texture_at(const CloudTexture& t, double x, double y) {
    const double n = fractal_noise(t.key, x, y);
    return t.grey_min + (t.grey_max - t.grey_min) * (n - t.noise_min) / (t.noise_max - t.noise_min);
}

LayeredSample build_layered_sample(const SampleSettings& st) {
    if (st.nb_col < 8 || st.nb_lig < 8 || st.nb_col > 4096 || st.nb_lig > 4096)
        fail("image size %d x %d outside 8 .. 4096", st.nb_col, st.nb_lig);
    if (st.nb_layers < 1 || st.nb_layers > 64) fail("layer count %d outside 1 .. 64", st.nb_layers);
    if (st.nb_samples < 2 || st.nb_samples > 64)
        fail("sample count %d outside 2 .. 64", st.nb_samples);
    if (!(st.strength >= 0.0 && st.strength <= 20.0))
        fail("wind strength %g outside 0 .. 20", st.strength);
    if (!(st.flux >= 0.0 && st.flux <= 100.0)) fail("flux %g outside 0 .. 100", st.flux);
    if (!(st.noise >= 0.0 && st.noise <= 100.0)) fail("noise %g outside 0 .. 100", st.noise);

    const int nc = st.nb_col, nl = st.nb_lig, L = st.nb_layers, steps = st.nb_samples - 1;
    LayeredSample s;
    s.settings = st;
    Draws rng{mix64(st.seed ^ 0x6C61796572656421ULL)};

    // Densities decrease upwards from 1.0 to 0.6 (1.0, 0.8, 0.6 for three layers).
    s.rho.push_back(kSurfaceDensity);
    for (int l = 0; l < L; ++l) s.rho.push_back(float(L > 1 ? 1.0 - 0.4 * l / (L - 1) : 1.0));

    double max_speed = 0.0;
    for (int l = 0; l < L; ++l) {
        LayerWind w = st.turbulent ? draw_vortices(nc, nl, rng) : draw_pattern(l, nc, nl, rng);
        double speed, div;
        wind_extremes(w, 0, 0, nc - 1, nl - 1, &speed, &div);
        double k = st.strength * kPatternSpeed / speed;
        if (div > 0.0) k = std::min(k, st.strength * kMaxDivergence / div);
        scale_pattern(w, k);
        const double a = rng.uniform(0.0, 2.0 * kPi);
        const double drift = st.strength * kDriftSpeed * rng.uniform(0.6, 1.0);
        w.drift_u = drift * std::cos(a);
        w.drift_v = drift * std::sin(a);
        wind_extremes(w, 0, 0, nc - 1, nl - 1, &speed, &div);
        max_speed = std::max(max_speed, speed);
        s.wind.push_back(w);
    }

    // Highs and lows at the interior interfaces, none at the ground and the top; each moves the
    // grey levels of its two layers by at most strength * flux through 88.29 rho[k] w[k].
    s.vertical.assign(L + 1, {});
    const double R = 0.5 * std::min(nc, nl);
    for (int k = 1; k < L; ++k) {
        std::vector<GaussBump>& b = s.vertical[k];
        const double first = rng.sign();
        for (int j = 0; j < 3; ++j)
            b.push_back({rng.uniform(0.0, nc - 1.0), rng.uniform(0.0, nl - 1.0),
                         rng.uniform(0.25, 0.4) * R,
                         (j % 2 ? -first : first) * rng.uniform(0.6, 1.0)});
        double wmax = 0.0;
        for (int y = 0; y < nl; ++y)
            for (int x = 0; x < nc; ++x)
                wmax = std::max(wmax, std::fabs(vertical_wind_at(s, k, x, y)));
        const double scale = st.strength * st.flux / (kMassFluxScale * s.rho[k]) / wmax;
        for (auto& g : b) g.amp *= scale;
    }

    // Textures: normalised over the area the pixels are traced back through, with grey bounds
    // that keep all samples inside 0..1021 (I_k <= g^k I_0 + fmax (g + .. + g^k), g = e^maxdiv).
    const int m = int(std::ceil(1.5 * max_speed * steps)) + 2;
    for (int l = 0; l < L; ++l) {
        CloudTexture t;
        t.key = mix64(st.seed * 0x9E3779B97F4A7C15ULL + uint64_t(l) + 1);
        t.noise_min = 1e300;
        t.noise_max = -1e300;
        double dmax = 0.0, fmax = 0.0;
        for (int y = -m; y < nl + m; ++y)
            for (int x = -m; x < nc + m; ++x) {
                const double n = fractal_noise(t.key, x, y);
                t.noise_min = std::min(t.noise_min, n);
                t.noise_max = std::max(t.noise_max, n);
                double u, v, d;
                layer_wind_at(s.wind[l], x, y, &u, &v, &d);
                dmax = std::max(dmax, std::fabs(d));
                fmax = std::max(fmax, std::fabs(mass_flux_at(s, l, x, y)));
            }
        const double g = std::exp(dmax), gk = std::pow(g, steps);
        double gsum = 0.0;
        for (int j = 1; j <= steps; ++j) gsum += std::pow(g, j);
        t.grey_min = kGreyLow;
        t.grey_max = std::min(kGreyHigh, (kGreyCeiling - fmax * gsum) / gk);
        if (t.grey_max - t.grey_min < 300.0 || kGreyLow / gk - fmax * steps < 5.0)
            fail("wind strength %g too strong for %d samples: grey levels would leave 0..%d",
                 st.strength, st.nb_samples, kMaxGrey);
        s.texture.push_back(t);
    }
    return s;
}

std::vector<short> layer_image(const LayeredSample& s, int layer, int k) {
    const int nc = s.settings.nb_col, nl = s.settings.nb_lig;
    const LayerWind& w = s.wind[layer];
    std::vector<short> image(std::size_t(nc) * nl);
    std::vector<double> px(k + 1), py(k + 1);
    for (int i = 0; i < nl; ++i)
        for (int j = 0; j < nc; ++j) {
            // Trace the pixel back to its position in each earlier sample, then run the model
            // forward: I_{n+1} = (I_n + F) exp(-div) at the traced positions.
            px[k] = j;
            py[k] = i;
            for (int n = k; n > 0; --n)
                invert_displacement(w, px[n], py[n], &px[n - 1], &py[n - 1]);
            double value = texture_at(s.texture[layer], px[0], py[0]);
            for (int n = 0; n < k; ++n) {
                double u, v, div;
                layer_wind_at(w, px[n], py[n], &u, &v, &div);
                value = (value + mass_flux_at(s, layer, px[n], py[n])) * std::exp(-div);
            }
            if (s.settings.noise > 0.0) value += s.settings.noise * sensor_noise(s, layer, k, i, j);
            const long q = std::lround(value);
            image[std::size_t(i) * nc + j] = short(std::clamp(q, 0L, long(kMaxGrey)));
        }
    return image;
}
