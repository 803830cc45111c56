// Shared records of the estimator: the square block of the multigrid partition (a singly linked
// list, one per layer) and the per-pixel pair of line-process weights.
#ifndef TYPES_4V_V1_H
#define TYPES_4V_V1_H

// A block covers lines abs .. abs + 2^taille - 1 and columns ord .. ord + 2^taille - 1 at the
// current resolution. theta[1..6] is its affine increment in absolute coordinates:
// u(i, j) = theta[1] + theta[2] i + theta[3] j,  v(i, j) = theta[4] + theta[5] i + theta[6] j.
typedef struct t_bloc {
    short abs;            // line of the top-left pixel
    short ord;            // column of the top-left pixel
    short taille;         // log2 of the block side
    double* theta;        // 1-based, 6 affine parameters
    double* theta2;       // 1-based, 4 parameters of the four-parameter model (kept, unread)
    short indic;          // 1: visited by the sweep, 0: skipped
    struct t_bloc* suiv;  // next block, null at the end
} bloc;

// Weights in (0, 1] of the two links a pixel owns; 1 means no discontinuity.
typedef struct t_disc {
    float Disc_h;  // link to the pixel below (line i + 1)
    float Disc_v;  // link to the pixel to the right (column j + 1)
} Line_Process;

#endif
