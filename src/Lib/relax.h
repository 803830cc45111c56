// The block list of a layer (creation, splitting, release, activity marks) and the robust
// weights of the data term: Data_out = exp(-r^2 / sigma) with r = fx u + fy v + ft.
#ifndef RELAX_H
#define RELAX_H

#include <cmath>

#include "types_4v_V1.h"

void init_parc(bloc** parcours, short Coarse_scale, short resol, short nb_col, short nb_lig, long N,
               short nb_blocs_col);
void decoupe(bloc* courant, short nb_line, short nb_col);
// Releases a list made by init_parc and decoupe (each block one allocation, its parameter
// vectors inside it).
void Free_parc(bloc* parcours);
void Indic_Grad_Min(bloc* parcours, float* fx, float* fy, float* Data_out, float gmin, short nb_col,
                    short nb_line);

void Data_Out_Gen_f(float* u, float* v, float* fx, float* fy, float* ft, float sigma, short nb_col,
                    short nb_line, float* Data_out);
// The same weights for the fast mode, over n samples: exp evaluated in float (exp_nonpositive),
// -r^2 / sigma as r^2 times float(-1 / sigma): within 1.1e-5 relative of Data_Out_Gen_f's (the
// argument rounded twice, |x| 2^-23 at most), 0 where those lie below 1.7e-38. The same bytes
// for any vector width.
void data_weights_fast(float* Data_out, const float* u, const float* v, const float* fx,
                       const float* fy, const float* ft, float sigma, long n);
// exp(x) for x <= 0 in float: x = n ln 2 + r with n = round(x / ln 2) (by the 1.5 2^23 shift) and
// ln 2 in two parts, the first exact times n; a degree-7 Taylor polynomial of r (|r| <= 0.35) by
// Horner's rule; 2^n through the exponent field. exp(0) = 1; below -87 (results under 1.7e-38)
// 0; NaN stays NaN. data_weights_fast runs the same float operations on 4 lanes at a time.
float exp_nonpositive(float x);
short Seuil_ERR(float x, float seuil);

// The square of m, the midpoint between s and the next float above it: for q >= 0 (a double),
// float(q) > s when q > m and float(q) <= s when q < m (round to nearest).
inline double rounding_boundary_squared(float s) {
    const double m = 0.5 * (static_cast<double>(s) + std::nextafter(s, HUGE_VALF));
    return m * m;
}

// Whether |float(du / r)| > s or |float(dv / r)| > s with r = sqrt(r2) in double: a constant
// block's relative change beyond the threshold. Decided from du^2, dv^2 against m^2 r2 when they
// lie more than 1e-9 (relative) apart, far beyond the rounding of either form; otherwise, and for
// r2 = 0, infinities and NaNs (no comparison holds), by the quotients themselves.
// m2 = rounding_boundary_squared(s).
inline bool relative_change_above(double du, double dv, double r2, float s, double m2) {
    const double lim = m2 * r2, a = du * du, b = dv * dv;
    if (a > lim * (1 + 1e-9) || b > lim * (1 + 1e-9)) return true;
    if (a < lim * (1 - 1e-9) && b < lim * (1 - 1e-9)) return false;
    const double r = std::sqrt(r2);
    return Seuil_ERR(static_cast<float>(du / r), s) || Seuil_ERR(static_cast<float>(dv / r), s);
}

#endif
