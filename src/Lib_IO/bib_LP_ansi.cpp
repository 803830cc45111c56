// Line-process helpers. A link record holds the weights of the links from a pixel down (Disc_h)
// and to the right (Disc_v), 1 meaning no discontinuity. The auxiliary fields are fitted to their
// observations by minimising sum (x_p - o_p)^2 + alpha sum_links w (x_p - x_q)^2 (auxiliary_fit).
#include "bib_LP_ansi.h"

#include "auxiliary_fit.h"
#include "neighbor.h"

// Disc_h = Disc_v = 1 (no discontinuity) on all nb_col x nb_lig records.
void Maz_LP(Line_Process* Spatial, short nb_col, short nb_lig) {
    const int n = nb_col * nb_lig;
    for (int k = 0; k < n; ++k) {
        Spatial[k].Disc_h = 1.0f;
        Spatial[k].Disc_v = 1.0f;
    }
}

// Per pixel, links down and right: link_weight of d = x(p) - x(q). The missing neighbour on the
// last line / column is the pixel itself, so those weights are 1 (for sigma > 0).
void Relax_estim(float* observation, short nb_col, short nb_line, float sigma,
                 Line_Process* Spatial_out) {
    for (int i = 0; i < nb_line; ++i) {
        const float* row = observation + static_cast<long>(i) * nb_col;
        const float* below = i < nb_line - 1 ? row + nb_col : row;
        Line_Process* out = Spatial_out + static_cast<long>(i) * nb_col;
        for (int j = 0; j < nb_col; ++j) {
            const float right = j < nb_col - 1 ? row[j + 1] : row[j];
            out[j].Disc_h = link_weight(row[j] - below[j], sigma);
            out[j].Disc_v = link_weight(row[j] - right, sigma);
        }
    }
}

// Minimiser at p of lambda (x_p - o_p)^2 + coef_regul sum w (x_p - x_q)^2 over the four links
// (fit_numerator / fit_denominator in double, rounded to float). Links above line 0 and left of
// column 0 weigh 0. A zero denominator keeps the current value.
float EstimVal_Rob(float* Observations, float* Estimees, short i, short j, short nb_col,
                   short nb_line, float lambda, float coef_regul, Line_Process* Spatial) {
    const double w_down = Spatial->Disc_h;
    const double w_up = UP_spat(i, j, nb_col, nb_line, Spatial);
    const double w_left = LEFT_spat(i, j, nb_col, nb_line, Spatial);
    const double w_right = Spatial->Disc_v;
    const double numerator =
        fit_numerator(static_cast<double>(lambda) * *Observations, coef_regul, w_down,
                      static_cast<double>(DOWN(i, j, nb_col, nb_line, Estimees)), w_up,
                      static_cast<double>(UP(i, j, nb_col, nb_line, Estimees)), w_left,
                      static_cast<double>(LEFT(i, j, nb_col, nb_line, Estimees)), w_right,
                      static_cast<double>(RIGHT(i, j, nb_col, nb_line, Estimees)));
    const double denominator = fit_denominator(coef_regul, lambda, w_down, w_up, w_left, w_right);
    if (denominator == 0.0) return *Estimees;
    return static_cast<float>(numerator / denominator);
}

// One forward raster sweep then one backward sweep of EstimVal_Rob with the links in Spatial,
// each value stored at once; returns the number of updates (over both sweeps) that moved a
// value by more than 0.0001.
int RegulEstim_Rob(float* Observations, float* Estimees, short nb_col, short nb_line,
                   float coef_regul, float lambda, float /*sigma*/, Line_Process* Spatial) {
    AuxiliaryFitScratch scratch;
    return fit_pass(Estimees, Observations, nb_col, nb_line, lambda, coef_regul, Spatial, scratch);
}
