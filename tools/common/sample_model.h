// A synthetic layered atmosphere with known winds, the sample the estimator is checked on.
// Each layer carries a cloud-like texture moved by its own smooth horizontal wind; smooth
// vertical winds blow through the interfaces between layers. Positions are in pixels, x along
// the columns (right) and y along the lines (down); horizontal winds in pixels per time step,
// divergences in 1/step, grey levels on the 10-bit scale 0..1023.
//
// Image model of layer l between two consecutive samples (mass conservation):
//   I_{k+1}(x + W_l(x)) = (I_k(x) + F_l(x)) * exp(-div W_l(x)),
//   F_l = 88.29 * (rho[l] * w[l] - rho[l+1] * w[l+1]),
// with rho[0] = 1.2252257 the ground density, rho[l+1] the density of layer l and w[k] the
// vertical wind of interface k (k = 0 the ground and k = nb_layers the top, both zero).
#ifndef SAMPLE_MODEL_H
#define SAMPLE_MODEL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct SampleSettings {
    int nb_col = 128, nb_lig = 128;
    int nb_layers = 3, nb_samples = 3;
    uint64_t seed = 1;
    double strength = 1.0;   // scales every wind; 1 gives horizontal winds up to about 3 px/step
    double flux = 3.0;       // at strength 1, the largest grey-level change one interface causes
    double noise = 0.0;      // std. dev. of Gaussian sensor noise added to every image, grey levels
    bool turbulent = false;  // false: one smooth pattern per layer; true: many random vortices
};

// amp * exp(-r^2 / (2 sigma^2)), r the distance to (x0, y0), in pixels.
struct GaussBump {
    double x0, y0, sigma, amp;
};

// W = drift + omega * (-(y - rot_y0), x - rot_x0) + grad phi + (d psi/dy, -d psi/dx)
//     + (shear_amp * sin(2 pi (y - shear_y0) / shear_wavelength), 0),
// phi and psi sums of Gaussian bumps; only grad phi diverges: div W = laplacian phi.
struct LayerWind {
    double drift_u = 0, drift_v = 0;           // pixels per step
    double rot_x0 = 0, rot_y0 = 0, omega = 0;  // solid rotation, radians per step
    std::vector<GaussBump> potential;          // phi, pixels^2 per step
    std::vector<GaussBump> stream;             // psi, pixels^2 per step
    double shear_amp = 0, shear_y0 = 0, shear_wavelength = 1;
};

// Fractal value noise of a few octaves, mapped linearly so that its range over the sampled
// area becomes grey_min .. grey_max.
struct CloudTexture {
    uint64_t key = 0;  // seeds the lattice of this layer
    double noise_min = 0, noise_max = 1;
    double grey_min = 0, grey_max = 1;
};

struct LayeredSample {
    SampleSettings settings;
    std::vector<float> rho;                        // nb_layers + 1 densities, [0] the ground
    std::vector<LayerWind> wind;                   // one per layer
    std::vector<std::vector<GaussBump>> vertical;  // one per interface 0 .. nb_layers
    std::vector<CloudTexture> texture;             // one per layer
};

// Draws every parameter of the sample from settings.seed (same seed, same sample). Fails when
// the winds would push the grey levels out of 0..1021 over the requested samples.
LayeredSample build_layered_sample(const SampleSettings& settings);

// Horizontal wind (u along x, v along y) and its divergence at a point of layer `layer`.
void layer_wind_at(const LayerWind& w, double x, double y, double* u, double* v, double* div);
// Vertical wind of interface k at a point (0 at the ground and the top).
double vertical_wind_at(const LayeredSample& s, int k, double x, double y);
// Mass-flux term F_l of the image model, grey levels per step.
double mass_flux_at(const LayeredSample& s, int layer, double x, double y);
// Solves p + W(p) = (x, y) for p by fixed-point iteration p <- (x, y) - W(p).
void invert_displacement(const LayerWind& w, double x, double y, double* px, double* py);
// Texture of the first sample before quantisation, grey levels.
double texture_at(const CloudTexture& t, double x, double y);

// Sample k (0 .. nb_samples - 1) of a layer on the pixel grid, row-major, rounded and clamped
// to 0..1021. Computed from the continuous texture by tracing each pixel back k steps, so the
// image model holds between consecutive samples up to the rounding.
std::vector<short> layer_image(const LayeredSample& s, int layer, int k);

#endif
