// Pixel-level refinement of a layer's horizontal wind: the energy of the block estimator (a
// robust mass-conserving data term and the div-curl regulariser with its auxiliary divergence and
// vorticity) minimised over a free increment per pixel instead of an affine model per block, by
// successive over-relaxation of its Euler-Lagrange equations.
#ifndef PIXEL_REFINEMENT_H
#define PIXEL_REFINEMENT_H

// The fixed terms of one refinement, nc x nl row-major images (sample (i, j) at i nc + j).
// With W = (U + du, V + dv) the total wind, the data residual of the increment is
//   r_p = r0_p + ax_p du_p + ay_p dv_p + b_p div_p(du, dv)
// (the mass-conserving model exp(div W) Itdt(x + W) - It - F linearised at du = dv = 0:
// r0 = exp(div) Itdt_w - It - F, (ax, ay) = exp(div) grad Itdt_w, b = exp(div) Itdt_w), with
// div_p(du, dv) = (du(i, j+1) - du(i, j-1)) / 2 + (dv(i+1, j) - dv(i-1, j)) / 2 on interior pixels
// and 0 on the outer frame. With D the robust data weights the energy is
//   E = sum_p D_p r_p^2 + mu sum_links |W_p - W_q|^2     (4-neighbour links inside the image)
//     - 2 mu sum_p (xi_p div_p(W) + zeta_p curl_p(W))    (interior pixels only)
// with curl_p = (Wv(i, j+1) - Wv(i, j-1)) / 2 - (Wu(i+1, j) - Wu(i-1, j)) / 2. Up to terms that sum
// to the border this is mu ((div W - xi)^2 + (curl W - zeta)^2) over the pixels: the block
// estimator's div-curl term lambda ((D W - Estim)^2 + (C W - Estim_rot)^2), whose differences are
// not halved, with mu = 4 lambda, xi = Estim / 2 and zeta = Estim_rot / 2.
struct RefinementTerms {
    const float *r0, *ax, *ay, *b;  // data residual and its coefficients (grey levels, per px)
    const float* weight;            // robust data weights D in [0, 1]
    const float *U, *V;             // total wind before the increment (px per step)
    const float *xi, *zeta;         // divergence and vorticity targets (per step)
    float mu;                       // regulariser weight
    short nc, nl;
};

// r = the data residual of (du, dv) above, every pixel.
void refinement_residual(float* r, const float* du, const float* dv, const RefinementTerms& t);

// `sweeps` forward raster sweeps of block successive over-relaxation (factor omega in (0, 2)) on
// (du, dv): at each pixel the 2 x 2 system of E in (du_p, dv_p), the other pixels held, is solved
// in double (Cramer's rule) and the pixel moves omega times the way to its solution, stored at
// once; E never increases for 0 < omega < 2. A pixel whose system is singular keeps its value.
void refine_increment(float* du, float* dv, const RefinementTerms& t, int sweeps, float omega);

// E above, summed in double (for checks and measurements).
double refinement_energy(const float* du, const float* dv, const RefinementTerms& t);

#endif
