// Physical constants of the mass-conservation coupling between layers.
#ifndef PHYSICAL_CONSTANTS_H
#define PHYSICAL_CONSTANTS_H

// Density at interface 0, the ground.
constexpr float kSurfaceDensity = 1.2252257f;
// Grey levels of image change per unit of rho w: the mass flux through an interface is
// 88.29 rho w. The estimator computes in float (kFluxScale), the sample model in double.
constexpr double kMassFluxScale = 88.29;
constexpr float kFluxScale = static_cast<float>(kMassFluxScale);
static_assert(kFluxScale == 88.29f, "the float flux scale is the float nearest 88.29");

#endif
