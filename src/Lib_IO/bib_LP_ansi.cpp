// Robust estimation of a layer's auxiliary divergence and vorticity fields. The observations are
// undivided central differences of the wind W = (U + u, V + v); each auxiliary field x is fitted
// to its observation o by minimising sum (x_p - o_p)^2 + alpha sum_links w (x_p - x_q)^2 with
// Gauss-Seidel sweeps, alternating with the link weights w = sigma^2 / (d^2 + sigma)^2.
#include "bib_LP_ansi.h"

#include "neighbor.h"
#include "robust_sweeps.h"

// Disc_h = Disc_v = 1 (no discontinuity) on all nb_col x nb_lig records.
void Maz_LP(Line_Process* Spatial, short nb_col, short nb_lig) {
    const int n = nb_col * nb_lig;
    for (int k = 0; k < n; ++k) {
        Spatial[k].Disc_h = 1.0f;
        Spatial[k].Disc_v = 1.0f;
    }
}

// Per pixel, links down and right: d = x(p) - x(q), t = d^2, weight = sigma^2 / (t + sigma)^2,
// all in single precision. The missing neighbour on the last line / column is the pixel itself,
// so those weights are 1 (for sigma > 0).
void Relax_estim(float* observation, short nb_col, short nb_line, float sigma,
                 Line_Process* Spatial_out) {
    relax_weights(observation, nb_col, nb_line, sigma, Spatial_out, 0, nb_line);
}

// im_div(i, j) = [Wx(i, j+1) - Wx(i, j-1)] + [Wy(i+1, j) - Wy(i-1, j)], twice the divergence,
// in single precision on interior pixels; 0 on the outer frame.
void Div_Estim(float* im_div, float* U, float* V, float* u, float* v, short nb_col, short nb_line) {
    for (int i = 0; i < nb_line; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const int k = i * nb_col + j;
            if (i < 1 || i > nb_line - 2 || j < 1 || j > nb_col - 2) {
                im_div[k] = 0.0f;
                continue;
            }
            const float wx_right = U[k + 1] + u[k + 1];
            const float wx_left = U[k - 1] + u[k - 1];
            const float wy_down = V[k + nb_col] + v[k + nb_col];
            const float wy_up = V[k - nb_col] + v[k - nb_col];
            const float dx = wx_right - wx_left;
            const float dy = wy_down - wy_up;
            im_div[k] = dx + dy;
        }
    }
}

// im_curl(i, j) = [Wy(i, j+1) - Wy(i, j-1)] - [Wx(i+1, j) - Wx(i-1, j)], twice the vorticity
// (y pointing down), in single precision on interior pixels; 0 on the outer frame.
void Curl_Estim(float* im_curl, float* U, float* V, float* u, float* v, short nb_col,
                short nb_line) {
    for (int i = 0; i < nb_line; ++i) {
        for (int j = 0; j < nb_col; ++j) {
            const int k = i * nb_col + j;
            if (i < 1 || i > nb_line - 2 || j < 1 || j > nb_col - 2) {
                im_curl[k] = 0.0f;
                continue;
            }
            const float wy_right = V[k + 1] + v[k + 1];
            const float wy_left = V[k - 1] + v[k - 1];
            const float wx_down = U[k + nb_col] + u[k + nb_col];
            const float wx_up = U[k - nb_col] + u[k - nb_col];
            const float dyx = wy_right - wy_left;
            const float dxy = wx_down - wx_up;
            im_curl[k] = dyx - dxy;
        }
    }
}

void Calcul_Estim_Div_Curl(float* im_div, float* im_curl, float* U, float* V, float* u, float* v,
                           short nb_col, short nb_lig) {
    Div_Estim(im_div, U, V, u, v, nb_col, nb_lig);
    Curl_Estim(im_curl, U, V, u, v, nb_col, nb_lig);
}

// Minimiser at p of lambda (x_p - o_p)^2 + coef_regul sum w (x_p - x_q)^2 over the four links:
// (lambda o + coef_regul sum w x_q) / (lambda + coef_regul sum w), in double, rounded to float.
// Links above line 0 and left of column 0 weigh 0. A zero denominator keeps the current value.
float EstimVal_Rob(float* Observations, float* Estimees, short i, short j, short nb_col,
                   short nb_line, float lambda, float coef_regul, Line_Process* Spatial) {
    const double w_down = Spatial->Disc_h;
    const double w_up = UP_spat(i, j, nb_col, nb_line, Spatial);
    const double w_left = LEFT_spat(i, j, nb_col, nb_line, Spatial);
    const double w_right = Spatial->Disc_v;
    const double neighbours = w_down * DOWN(i, j, nb_col, nb_line, Estimees) +
                              w_up * UP(i, j, nb_col, nb_line, Estimees) +
                              w_left * LEFT(i, j, nb_col, nb_line, Estimees) +
                              w_right * RIGHT(i, j, nb_col, nb_line, Estimees);
    const double numerator =
        static_cast<double>(lambda) * *Observations + static_cast<double>(coef_regul) * neighbours;
    const double denominator =
        static_cast<double>(coef_regul) * (w_down + w_up + w_left + w_right) + lambda;
    if (denominator == 0.0) return *Estimees;
    return static_cast<float>(numerator / denominator);
}

// One forward raster sweep then one backward sweep, each value stored at once; returns the
// number of updates (over both sweeps) that moved a value by more than 0.0001.
int RegulEstim_Rob(float* Observations, float* Estimees, short nb_col, short nb_line,
                   float coef_regul, float lambda, float /*sigma*/, Line_Process* Spatial) {
    return regul_estim_sweeps(Observations, Estimees, nb_col, nb_line, coef_regul, lambda, Spatial);
}

// Updates Estim (divergence, at most 2 passes) and Estim_rot (vorticity, at most 200 passes)
// towards the observations of the wind (U + u, V + v), smoothness weight coef_regul, robust
// scale sigma_es, data weight 1 (lambda is not used). Each fit starts from uniform weights and
// stops once a pass changes fewer than 3 % of the pixels (the float 3 n / 100).
void Estim_Regulees_Rob(float* Estim, float* Estim_rot, float* U, float* V, float* u, float* v,
                        short nc_resol_K, short nl_resol_K, float coef_regul, float /*lambda*/,
                        float sigma_es) {
    const WindAndFields layer{U, V, u, v, Estim, Estim_rot};
    fit_auxiliary_fields(&layer, 1, true, true, nc_resol_K, nl_resol_K, coef_regul, sigma_es);
}
