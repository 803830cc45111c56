// The robust weight of the link between two neighbouring samples of a field, shared by the
// line-process update of the auxiliary fits and of the vertical winds and by their band sweeps.
#ifndef LINK_WEIGHT_H
#define LINK_WEIGHT_H

// sigma^2 / (d^2 + sigma)^2 for a difference d across the link, in single precision (the sum is
// d^2 + sigma, not d^2 + sigma^2): 1 for equal samples when sigma > 0, falling as
// (sigma / d^2)^2 for large differences. For one float, or lane by lane.
// Always inlined, so the vector forms have no calling convention of their own.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
template <class F>
__attribute__((always_inline)) inline F link_weight(F d, float sigma) {
    const float sigma2 = sigma * sigma;
    const F t = d * d;
    return sigma2 / ((t + sigma) * (t + sigma));
}
#pragma GCC diagnostic pop

#endif
