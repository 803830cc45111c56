#include "winds_netcdf.h"

#include <netcdf.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fail.h"

namespace {

// Temporaries not yet renamed; removed at exit, so that a run ended by fail() leaves none.
std::vector<std::string>& pending() {
    static std::vector<std::string> paths;
    static const bool at_exit = std::atexit([] {
                                    for (const std::string& p : pending()) std::remove(p.c_str());
                                    pending().clear();
                                }) == 0;
    (void)at_exit;
    return paths;
}

void forget(const std::string& temp) {
    std::vector<std::string>& p = pending();
    for (std::size_t k = 0; k < p.size(); ++k)
        if (p[k] == temp) {
            p.erase(p.begin() + long(k));
            return;
        }
}

// ".<name>.<pid>.part" in the folder of `path`.
std::string temporary_name(const std::string& path) {
    const std::size_t cut = path.rfind('/');
    const std::string dir = cut == std::string::npos ? "" : path.substr(0, cut + 1);
    const std::string base = cut == std::string::npos ? path : path.substr(cut + 1);
    return dir + "." + base + "." + std::to_string(::getpid()) + ".part";
}

std::string speed_units(const WindsDescription& d) {
    return d.pixel_size > 0 ? "m s-1" : "pixel / time step";
}

}  // namespace

void WindsNetcdf::check(int status, const char* what) const {
    if (status != NC_NOERR)
        fail("cannot write the NetCDF file %s (%s): %s", path_.c_str(), what, nc_strerror(status));
}

WindsNetcdf::WindsNetcdf(const std::string& path, const WindsDescription& d)
    : d_(d), path_(path), temp_(temporary_name(path)) {
    pending().push_back(temp_);
    // Created first with the C library, whose reason (no such folder, no permission) names the
    // problem better than the NetCDF library's.
    std::FILE* probe = std::fopen(temp_.c_str(), "wb");
    if (!probe) fail("cannot write the NetCDF file %s: %s", path_.c_str(), std::strerror(errno));
    std::fclose(probe);
    check(nc_create(temp_.c_str(), NC_NETCDF4 | NC_CLOBBER, &ncid_), "create");
    const int id = ncid_;
    auto text = [&](int var, const char* name, const std::string& value) {
        check(nc_put_att_text(id, var, name, value.size(), value.c_str()), name);
    };

    int time_dim, layer_dim, interface_dim, y_dim, x_dim;
    check(nc_def_dim(id, "time", std::size_t(d.nb_steps), &time_dim), "time");
    check(nc_def_dim(id, "layer", std::size_t(d.nb_layers), &layer_dim), "layer");
    check(nc_def_dim(id, "interface", std::size_t(d.nb_layers) + 1, &interface_dim), "interface");
    check(nc_def_dim(id, "y", std::size_t(d.nb_lig), &y_dim), "y");
    check(nc_def_dim(id, "x", std::size_t(d.nb_col), &x_dim), "x");

    text(NC_GLOBAL, "Conventions", "CF-1.8");
    for (const auto& a : d.text_attributes) text(NC_GLOBAL, a.first.c_str(), a.second);
    for (const auto& a : d.count_attributes)
        check(nc_put_att_long(id, NC_GLOBAL, a.first.c_str(), NC_INT, 1, &a.second),
              a.first.c_str());
    if (d.pixel_size > 0) {
        check(nc_put_att_double(id, NC_GLOBAL, "pixel_size_m", NC_DOUBLE, 1, &d.pixel_size),
              "pixel_size_m");
        check(nc_put_att_double(id, NC_GLOBAL, "time_step_s", NC_DOUBLE, 1, &d.time_step),
              "time_step_s");
    }

    // Index coordinates of the layers and interfaces, the optional regular coordinates.
    int layer_var, interface_var, density_var;
    check(nc_def_var(id, "layer", NC_INT, 1, &layer_dim, &layer_var), "layer");
    text(layer_var, "long_name", "layer, 0 the lowest");
    check(nc_def_var(id, "interface", NC_INT, 1, &interface_dim, &interface_var), "interface");
    text(interface_var, "long_name",
         "interface k, between layer k - 1 below and layer k above; 0 the ground, the last the "
         "top");
    check(nc_def_var(id, "density", NC_FLOAT, 1, &layer_dim, &density_var), "density");
    text(density_var, "long_name", "mean density of the layer, from the run's density file");
    struct Axis {
        const RegularAxis& axis;
        const char *name, *long_name, *cf_axis;
        int dim, var;
    } axes[] = {{d.x, "x", "x: along the image columns, to the right", "X", x_dim, -1},
                {d.y, "y", "y: along the image lines, downwards", "Y", y_dim, -1},
                {d.time, "time", "time of the step's first image", "T", time_dim, -1}};
    for (Axis& a : axes) {
        if (!a.axis.given) continue;
        check(nc_def_var(id, a.name, NC_DOUBLE, 1, &a.dim, &a.var), a.name);
        text(a.var, "long_name", a.long_name);
        text(a.var, "units", a.axis.units);
        text(a.var, "axis", a.cf_axis);
    }

    // The winds: one chunk per field, shuffled and deflated, no fill (every value is written).
    const int horizontal_dims[] = {time_dim, layer_dim, y_dim, x_dim};
    const int vertical_dims[] = {time_dim, interface_dim, y_dim, x_dim};
    const std::size_t chunk[] = {1, 1, std::size_t(d.nb_lig), std::size_t(d.nb_col)};
    auto wind = [&](const char* name, const int* dims, int* var) {
        check(nc_def_var(id, name, NC_FLOAT, 4, dims, var), name);
        check(nc_def_var_chunking(id, *var, NC_CHUNKED, chunk), name);
        if (d.deflate > 0) check(nc_def_var_deflate(id, *var, 1, 1, d.deflate), name);
        check(nc_def_var_fill(id, *var, 1, nullptr), name);
    };
    wind("u", horizontal_dims, &u_);
    wind("v", horizontal_dims, &v_);
    wind("w", vertical_dims, &w_);
    if (d.north_up) {
        text(u_, "standard_name", "eastward_wind");
        text(u_, "long_name", "eastward wind (along the image columns, to the right)");
        text(v_, "standard_name", "northward_wind");
        text(v_, "long_name", "northward wind (along the image lines, upwards)");
    } else {
        text(u_, "long_name", "wind along the image columns (x, to the right)");
        text(v_, "long_name", "wind along the image lines (y, downwards)");
    }
    text(u_, "units", speed_units(d));
    text(v_, "units", speed_units(d));
    text(w_, "long_name", "vertical wind at the interface, positive upwards");
    text(w_, "units", "grey level / time step");
    text(w_, "comment",
         "The estimator's vertical wind: 88.29 rho w is the mass flux through the interface in "
         "grey levels per time step, with rho a layer density of the run; it is not converted "
         "by pixel_size_m or time_step_s. All interfaces are stored: interface 0 (the ground) "
         "and the last interface (the top) hold 0; interface k = 1 .. layers - 1 holds the "
         "vertical wind the run wrote under the name of layer k (<t image>_3D.motionUp).");
    check(nc_enddef(id), "enddef");

    std::vector<int> index(std::size_t(d.nb_layers) + 1);
    for (std::size_t k = 0; k < index.size(); ++k) index[k] = int(k);
    check(nc_put_var_int(id, layer_var, index.data()), "layer");
    check(nc_put_var_int(id, interface_var, index.data()), "interface");
    check(nc_put_var_float(id, density_var, d.densities.data()), "density");
    for (const Axis& a : axes) {
        if (!a.axis.given) continue;
        std::size_t n = 0;
        check(nc_inq_dimlen(id, a.dim, &n), a.name);
        std::vector<double> values(n);
        for (std::size_t k = 0; k < n; ++k) values[k] = a.axis.start + double(k) * a.axis.step;
        check(nc_put_var_double(id, a.var, values.data()), a.name);
    }
    const std::vector<float> zero(std::size_t(d.nb_col) * d.nb_lig, 0.0f);
    for (int i = 0; i < d.nb_steps; ++i) {
        put_vertical(i, 0, zero.data());
        put_vertical(i, d.nb_layers, zero.data());
    }
}

WindsNetcdf::~WindsNetcdf() {
    if (ncid_ >= 0) nc_close(ncid_);
    if (!temp_.empty()) {
        std::remove(temp_.c_str());
        forget(temp_);
    }
}

// Pixels per time step times pixel_size / time_step (in double, rounded once to float) when
// converting; the sign turned for the northward wind.
void WindsNetcdf::put_horizontal(int step, int layer, const float* u, const float* v) {
    const std::size_t n = std::size_t(d_.nb_col) * d_.nb_lig;
    const std::size_t start[] = {std::size_t(step), std::size_t(layer), 0, 0};
    const std::size_t count[] = {1, 1, std::size_t(d_.nb_lig), std::size_t(d_.nb_col)};
    const double scale = d_.pixel_size > 0 ? d_.pixel_size / d_.time_step : 1.0;
    scaled_.resize(n);
    for (std::size_t k = 0; k < n; ++k) scaled_[k] = float(double(u[k]) * scale);
    check(nc_put_vara_float(ncid_, u_, start, count, scaled_.data()), "u");
    const double v_scale = d_.north_up ? -scale : scale;
    for (std::size_t k = 0; k < n; ++k) scaled_[k] = float(double(v[k]) * v_scale);
    check(nc_put_vara_float(ncid_, v_, start, count, scaled_.data()), "v");
}

void WindsNetcdf::put_vertical(int step, int k, const float* w) {
    const std::size_t start[] = {std::size_t(step), std::size_t(k), 0, 0};
    const std::size_t count[] = {1, 1, std::size_t(d_.nb_lig), std::size_t(d_.nb_col)};
    check(nc_put_vara_float(ncid_, w_, start, count, w), "w");
}

void WindsNetcdf::commit() {
    const int id = ncid_;
    ncid_ = -1;
    check(nc_close(id), "close");
    if (std::rename(temp_.c_str(), path_.c_str()) != 0)
        fail("cannot write the NetCDF file %s: %s", path_.c_str(), std::strerror(errno));
    forget(temp_);
    temp_.clear();
}
