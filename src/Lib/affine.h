// Block parameters and the small dense linear-algebra kit: 1-based vectors and matrices over
// arbitrary index ranges, Crout LU with implicit partial pivoting and its substitution, the
// fatal-error report of the kit, and the projection / copy of a block's motion onto a field.
#ifndef AFFINE_H
#define AFFINE_H

#include "types_4v_V1.h"

[[noreturn]] void nrerror(const char* error_text);

double* vector(int nl, int nh);
int* ivector(int nl, int nh);
double** matrix(int nrl, int nrh, int ncl, int nch);
void free_vector(double* v, int nl, int nh);
void free_ivector(int* v, int nl, int nh);
void free_matrix(double** m, int nrl, int nrh, int ncl, int nch);
void maz_vector(double* v, int nl, int nh);
void maz_matrix(double** m, int nrl, int nrh, int ncl, int nch);
void copie_vector(double* v1, double* v2, short debut, short fin);
void subtract(double* bob, double* joe, short debut, short fin);
double Norme(double* bob, short debut, short fin);

int ludcmp(double** a, int n, int* indx, double* d);
void lubksb(double** a, int n, int* indx, double* b);

void Maz_theta(bloc* parcours);
void proj_theta_6(bloc* courant, float* u, float* v, short nb_line, short nb_col);
void recopie(float* u, float* v, short nb_col, short nb_line, bloc* courant);

#endif
