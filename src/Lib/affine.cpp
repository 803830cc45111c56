// Dense vectors and matrices over arbitrary index ranges (used 1-based), Crout LU with implicit
// partial pivoting and its substitution, and the writing of a block's affine or constant motion
// into a field. The allocators hand out raw memory that the matching free_ routine releases;
// every failure of the kit ends the run through nrerror.
#include "affine.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fail.h"

// Three lines on stderr: "run_time error..", the text, "...now exiting to system..."; status 1.
void nrerror(const char* error_text) {
    fail(FailStyle::Runtime, "%s", error_text);
}

// Storage of nh - nl + 2 elements; v[nl] is storage position 1, position 0 is never used.
double* vector(int nl, int nh) {
    double* v = static_cast<double*>(std::malloc(sizeof(double) * (nh - nl + 2)));
    if (!v) nrerror("allocation failure in vector()");
    return v - nl + 1;
}

int* ivector(int nl, int nh) {
    int* v = static_cast<int*>(std::malloc(sizeof(int) * (nh - nl + 2)));
    if (!v) nrerror("allocation failure in ivector()");
    return v - nl + 1;
}

// One array of row pointers and one block per row, both offset so that m[i][j] is row i,
// column j for nrl <= i <= nrh, ncl <= j <= nch.
double** matrix(int nrl, int nrh, int ncl, int nch) {
    double** m = static_cast<double**>(std::malloc(sizeof(double*) * (nrh - nrl + 1)));
    if (!m) nrerror("allocation failure 1 in matrix()");
    m -= nrl;
    for (int i = nrl; i <= nrh; i++) {
        m[i] = static_cast<double*>(std::malloc(sizeof(double) * (nch - ncl + 1)));
        if (!m[i]) nrerror("allocation failure 2 in matrix()");
        m[i] -= ncl;
    }
    return m;
}

void free_vector(double* v, int nl, int /*nh*/) {
    std::free(v + nl - 1);
}

void free_ivector(int* v, int nl, int /*nh*/) {
    std::free(v + nl - 1);
}

void free_matrix(double** m, int nrl, int nrh, int ncl, int /*nch*/) {
    for (int i = nrh; i >= nrl; i--) std::free(m[i] + ncl);
    std::free(m + nrl);
}

void maz_vector(double* v, int nl, int nh) {
    for (int k = nl; k <= nh; k++) v[k] = 0.0;
}

void maz_matrix(double** m, int nrl, int nrh, int ncl, int nch) {
    for (int i = nrl; i <= nrh; i++)
        for (int j = ncl; j <= nch; j++) m[i][j] = 0.0;
}

void copie_vector(double* v1, double* v2, short debut, short fin) {
    for (int k = debut; k <= fin; k++) v1[k] = v2[k];
}

void subtract(double* bob, double* joe, short debut, short fin) {
    for (int k = debut; k <= fin; k++) bob[k] = bob[k] - joe[k];
}

// Squared Euclidean norm over debut..fin (no square root).
double Norme(double* bob, short debut, short fin) {
    double s = 0.0;
    for (int k = debut; k <= fin; k++) s += bob[k] * bob[k];
    return s;
}

// Crout's method with implicit pivoting: each row is scaled by 1 / (its largest |element|) for
// the choice of pivot only, and among equal scaled candidates the later row wins. In place:
// unit lower triangle below the diagonal, upper triangle on and above it; indx[j] is the row
// swapped with row j, *d the parity. 0 on an all-zero row (a left partly modified).
int ludcmp(double** a, int n, int* indx, double* d) {
    std::vector<double> scale(n + 1);
    *d = 1.0;
    for (int i = 1; i <= n; i++) {
        double big = 0.0;
        for (int j = 1; j <= n; j++) {
            const double temp = std::fabs(a[i][j]);
            if (temp > big) big = temp;
        }
        if (big == 0.0) return 0;
        scale[i] = 1.0 / big;
    }
    for (int j = 1; j <= n; j++) {
        for (int i = 1; i < j; i++) {
            long double sum = a[i][j];
            for (int k = 1; k < i; k++) sum -= static_cast<long double>(a[i][k]) * a[k][j];
            a[i][j] = static_cast<double>(sum);
        }
        double big = 0.0;
        int imax = j;
        for (int i = j; i <= n; i++) {
            long double sum = a[i][j];
            for (int k = 1; k < j; k++) sum -= static_cast<long double>(a[i][k]) * a[k][j];
            a[i][j] = static_cast<double>(sum);
            const double dum = scale[i] * std::fabs(a[i][j]);
            if (dum >= big) {
                big = dum;
                imax = i;
            }
        }
        if (j != imax) {
            for (int k = 1; k <= n; k++) {
                const double dum = a[imax][k];
                a[imax][k] = a[j][k];
                a[j][k] = dum;
            }
            *d = -(*d);
            scale[imax] = scale[j];
        }
        indx[j] = imax;
        if (a[j][j] == 0.0) a[j][j] = 1.0e-20;
        if (j != n) {
            const double dum = 1.0 / a[j][j];
            for (int i = j + 1; i <= n; i++) a[i][j] *= dum;
        }
    }
    return 1;
}

// Solves A x = b from ludcmp's factorisation; b[1..n] receives x. Forward substitution applies
// the interchanges on the fly and starts at the first nonzero element of b. Sums are formed in
// extended precision and stored as double.
void lubksb(double** a, int n, int* indx, double* b) {
    int ii = 0;
    for (int i = 1; i <= n; i++) {
        const int ip = indx[i];
        long double sum = b[ip];
        b[ip] = b[i];
        if (ii) {
            for (int j = ii; j < i; j++) sum -= static_cast<long double>(a[i][j]) * b[j];
        } else if (sum != 0.0L) {
            ii = i;
        }
        b[i] = static_cast<double>(sum);
    }
    for (int i = n; i >= 1; i--) {
        long double sum = b[i];
        for (int j = i + 1; j <= n; j++) sum -= static_cast<long double>(a[i][j]) * b[j];
        b[i] = static_cast<double>(sum / a[i][i]);
    }
}

void Maz_theta(bloc* parcours) {
    for (bloc* b = parcours; b; b = b->suiv) {
        maz_vector(b->theta, 1, 6);
        maz_vector(b->theta2, 1, 4);
    }
}

// Over the block's T x T pixels (absolute line i, column j; row stride nb_col):
// u = theta1 + theta2 i + theta3 j, v = theta4 + theta5 i + theta6 j, stored as float.
void proj_theta_6(bloc* courant, float* u, float* v, short /*nb_line*/, short nb_col) {
    const int T = 1 << courant->taille;
    const double* th = courant->theta;
    for (int i = courant->abs; i < courant->abs + T; i++) {
        for (int j = courant->ord; j < courant->ord + T; j++) {
            const long k = static_cast<long>(i) * nb_col + j;
            u[k] = static_cast<float>(th[1] + i * th[2] + j * th[3]);
            v[k] = static_cast<float>(th[4] + i * th[5] + j * th[6]);
        }
    }
}

// u, v point at the block's top-left pixel: its value is copied over the T x T block.
void recopie(float* u, float* v, short nb_col, short /*nb_line*/, bloc* courant) {
    const int T = 1 << courant->taille;
    const float u0 = u[0];
    const float v0 = v[0];
    for (int i = 0; i < T; i++) {
        for (int j = 0; j < T; j++) {
            u[static_cast<long>(i) * nb_col + j] = u0;
            v[static_cast<long>(i) * nb_col + j] = v0;
        }
    }
}
