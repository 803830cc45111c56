// A run's winds in one CF-1.8 NetCDF-4 file, on the dimensions time (the run's time steps),
// layer, interface (nb_layers + 1), y (image lines, downwards) and x (image columns, to the
// right): u and v (time, layer, y, x), w (time, interface, y, x), each field its own deflated
// chunk. Interface k lies between layer k - 1 below and layer k above; interface 0 (the ground)
// and interface nb_layers (the top) hold 0. The file is written under a temporary name in the
// target's folder and renamed over the target when complete; a run that ends before (a failure
// through fail(), exit) leaves no temporary and the target as it was.
#ifndef WINDS_NETCDF_H
#define WINDS_NETCDF_H

#include <string>
#include <utility>
#include <vector>

// A regular coordinate: value k = start + k step.
struct RegularAxis {
    bool given = false;
    double start = 0, step = 1;
    std::string units;
};

struct WindsDescription {
    int nb_steps = 0, nb_layers = 0, nb_col = 0, nb_lig = 0;
    // Metres per pixel and seconds per time step: both > 0 give u, v in m s-1 (otherwise both 0,
    // pixels per time step). w is stored as the estimator writes it.
    double pixel_size = 0, time_step = 0;
    // The image's columns run west to east and its lines north to south: u is the eastward
    // wind, v the northward wind (the wind along the lines, negated), with their standard names.
    bool north_up = false;
    RegularAxis x, y, time;        // coordinate variables, when given
    std::vector<float> densities;  // one per layer, lowest first: variable "density"
    int deflate = 4;               // 0 (none) .. 9
    // Global attributes of the run: (name, text) and (name, integer).
    std::vector<std::pair<std::string, std::string>> text_attributes;
    std::vector<std::pair<std::string, long>> count_attributes;
};

class WindsNetcdf {
  public:
    // Creates the temporary next to `path` and defines every dimension, variable and attribute;
    // interfaces 0 and nb_layers are written as 0. Ends the run naming `path` on failure.
    WindsNetcdf(const std::string& path, const WindsDescription& d);
    WindsNetcdf(const WindsNetcdf&) = delete;
    WindsNetcdf& operator=(const WindsNetcdf&) = delete;
    ~WindsNetcdf();  // without commit(): the temporary is removed, the target kept as it was

    // The wind of layer `layer` at time step `step` in pixels per time step (nb_col x nb_lig,
    // row-major, along the columns and along the lines), converted as the description says.
    void put_horizontal(int step, int layer, const float* u, const float* v);
    // The vertical wind of interior interface k (1 .. nb_layers - 1) at time step `step`.
    void put_vertical(int step, int k, const float* w);
    // Closes the file and renames it over the target.
    void commit();

  private:
    void check(int status, const char* what) const;

    WindsDescription d_;
    std::string path_, temp_;
    int ncid_ = -1, u_ = -1, v_ = -1, w_ = -1;
    std::vector<float> scaled_;  // one field in the file's unit
};

#endif
