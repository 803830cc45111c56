// The tools as a user installs and uses them. winds_to_netcdf on a run's result files: the NetCDF
// variables hold the values the xaf and raw readers give, in pixels per step or converted to
// m/s, with the ground and top interfaces at 0; a missing or damaged file is named and no output
// is left; xarray opens the file. cmake --install: programs, scripts and manual pages in the
// prefix, and the installed scripts find the installed programs.
#include <gtest/gtest.h>
#include <netcdf.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "io_field.h"
#include "run_helpers.h"
#include "sample_files.h"

using namespace testrun;

namespace {

const std::string kTool = std::string(OF3D_BIN_DIR) + "/winds_to_netcdf";
const int kCols = 3, kLines = 2, kLayers = 3, kSteps = 3, kN = kCols * kLines;
const std::string kRun = " -nbTimeSample 4 -nbLayers 3 ";

// Layer l, step i of run folder `dir`: t image img/L<l>_t<i>.pgm (the images are not read).
std::string result(const std::string& dir, int l, int i, const char* suffix) {
    return dir + "/img/L" + std::to_string(l) + "_t" + std::to_string(i) + ".pgm" + suffix;
}

// A 3-layer, 4-sample run (options kRun) of 3 x 2 fields written with the program's writers: u
// = 2.5, -0.25,
// ... (xaf values, some exact), w = 0.001 k + l - i for layers 1 and 2.
std::string write_run(const std::string& name) {
    const std::string dir = scratch_dir(name);
    std::filesystem::create_directories(dir + "/img");
    std::ofstream list(dir + "/inImage_3D.txt"), dens(dir + "/inDensity.txt");
    dens << "1.0 0.8 0.6\n";
    for (int l = 0; l < kLayers; ++l)
        for (int i = 0; i < kSteps; ++i) {
            list << "./img/L" << l << "_t" << i << ".pgm\n./img/L" << l << "_t" << i + 1
                 << ".pgm\n";
            std::vector<float> u(kN), v(kN), w(kN);
            for (int k = 0; k < kN; ++k) {
                u[k] = k == 0 ? 2.5f : 0.37f * k - l + 0.5f * i;
                v[k] = k == 0 ? -0.25f : -0.61f * k + l;
                w[k] = 0.001f * k + l - i;
            }
            short err = 0;
            write_field(result(dir, l, i, "_3D.xaf").c_str(), u.data(), v.data(), kCols, kLines,
                        &err);
            if (l >= 1) write_raw_float(result(dir, l, i, "_3D.motionUp"), w.data(), kN);
        }
    return dir;
}

struct NcRead {
    int id = -1;
    explicit NcRead(const std::string& path) {
        EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &id), NC_NOERR) << path;
    }
    ~NcRead() { nc_close(id); }
    // The whole variable, as float.
    std::vector<float> var(const char* name) const {
        int v = -1, ndims = 0, dims[NC_MAX_VAR_DIMS];
        EXPECT_EQ(nc_inq_varid(id, name, &v), NC_NOERR) << name;
        nc_inq_var(id, v, nullptr, nullptr, &ndims, dims, nullptr);
        std::size_t n = 1;
        for (int d = 0; d < ndims; ++d) {
            std::size_t len = 0;
            nc_inq_dimlen(id, dims[d], &len);
            n *= len;
        }
        std::vector<float> out(n, NAN);
        EXPECT_EQ(nc_get_var_float(id, v, out.data()), NC_NOERR) << name;
        return out;
    }
    std::string text(const char* var, const char* att) const {
        int v = NC_GLOBAL;
        if (var) nc_inq_varid(id, var, &v);
        std::size_t len = 0;
        if (nc_inq_attlen(id, v, att, &len) != NC_NOERR) return "<none>";
        std::string s(len, '\0');
        nc_get_att_text(id, v, att, &s[0]);
        return s;
    }
    std::size_t dim(const char* name) const {
        int d = -1;
        std::size_t len = 0;
        EXPECT_EQ(nc_inq_dimid(id, name, &d), NC_NOERR) << name;
        nc_inq_dimlen(id, d, &len);
        return len;
    }
};

}  // namespace

// Pixels per step: u, v exactly as read_field gives them (2.5 and -0.25 exact), w exactly as
// the raw file, interface k from layer k, interfaces 0 and 3 zero. With -pixel_size 3000
// -time_step 900 and -north_up: u = 2.5 x 3000 / 900, v = +0.25 x 3000 / 900, standard names;
// -x 10,2 gives x = 10, 12, 14.
TEST(WindsToNetcdf, HoldsTheRunsValuesInPixelsOrMetresPerSecond) {
    const std::string dir = write_run("run");
    const std::string parent = std::filesystem::path(dir).parent_path().string();
    const Result r = run_in(parent, kTool, "-dir run -o run/px.nc -settings '-alpha 2000'" + kRun);
    ASSERT_EQ(r.status, 0) << r.err;
    NcRead px(dir + "/px.nc");
    EXPECT_EQ((std::vector<std::size_t>{px.dim("time"), px.dim("layer"), px.dim("interface"),
                                        px.dim("y"), px.dim("x")}),
              (std::vector<std::size_t>{kSteps, kLayers, kLayers + 1, kLines, kCols}));
    EXPECT_EQ(px.text(nullptr, "Conventions"), "CF-1.8");
    EXPECT_EQ(px.text(nullptr, "estimator_options"), "-alpha 2000");
    EXPECT_EQ(px.text("u", "units"), "pixel / time step");
    EXPECT_EQ(px.text("u", "standard_name"), "<none>");
    const std::vector<float> u = px.var("u"), v = px.var("v"), w = px.var("w");
    EXPECT_EQ(px.var("density"), (std::vector<float>{1.0f, 0.8f, 0.6f}));
    for (int i = 0; i < kSteps; ++i)
        for (int l = 0; l < kLayers; ++l) {
            std::vector<float> fu(kN), fv(kN), fw(kN, 0.0f);
            short err = 0;
            read_field(result(dir, l, i, "_3D.xaf").c_str(), fu.data(), fv.data(), kCols, kLines,
                       &err);
            if (l >= 1) read_raw_float(result(dir, l, i, "_3D.motionUp"), fw.data(), kN);
            const int h = (i * kLayers + l) * kN, z = (i * (kLayers + 1) + l) * kN;
            EXPECT_EQ(u[h], 2.5f);
            EXPECT_EQ(v[h], -0.25f);
            for (int k = 0; k < kN; ++k) {
                EXPECT_EQ(u[h + k], fu[k]) << "step " << i << " layer " << l << " k " << k;
                EXPECT_EQ(v[h + k], fv[k]) << "step " << i << " layer " << l << " k " << k;
                EXPECT_EQ(w[z + k], fw[k]) << "step " << i << " interface " << l << " k " << k;
                EXPECT_EQ(w[z + kLayers * kN - l * kN + k], 0.0f) << "top, step " << i;
            }
        }

    const Result m = run_in(dir, kTool,
                            kRun +
                                "-o ms.nc -pixel_size 3000 -time_step 900 -north_up -x 10,2 "
                                "-deflate 0");
    ASSERT_EQ(m.status, 0) << m.err;
    NcRead ms(dir + "/ms.nc");
    EXPECT_EQ(ms.text("u", "units"), "m s-1");
    EXPECT_EQ(ms.text("u", "standard_name"), "eastward_wind");
    EXPECT_EQ(ms.text("v", "standard_name"), "northward_wind");
    EXPECT_EQ(ms.text("w", "units"), "grey level / time step");
    EXPECT_EQ(ms.var("u")[0], float(2.5 * 3000 / 900));
    EXPECT_EQ(ms.var("v")[0], float(0.25 * 3000 / 900));
    EXPECT_EQ(ms.var("w")[kN + 1], 0.001f * 1 + 1 - 0);  // as written: not converted
    EXPECT_EQ(ms.var("x"), (std::vector<float>{10, 12, 14}));
}

// Missing result files are all named before anything is written; the run ends with status 1,
// an earlier output is kept and no temporary is left.
TEST(WindsToNetcdf, NamesWhatIsWrongAndLeavesNoOutput) {
    const std::string dir = write_run("bad");
    for (const char* f : {"/img/L1_t0.pgm_3D.xaf", "/img/L2_t2.pgm_3D.motionUp"})
        std::filesystem::remove(dir + f);
    std::ofstream(dir + "/out.nc") << "earlier";
    const Result r = run_in(dir, kTool, "-o out.nc " + kRun);
    EXPECT_EQ(r.status, 1);
    for (const char* n : {"2 result files of the run are missing", "img/L1_t0.pgm_3D.xaf",
                          "img/L2_t2.pgm_3D.motionUp"})
        EXPECT_NE(r.err.find(n), std::string::npos) << r.err;
    EXPECT_EQ(slurp(dir + "/out.nc"), "earlier");
    for (const auto& e : std::filesystem::directory_iterator(dir))
        EXPECT_NE(e.path().extension(), ".part") << e.path();
}

// xarray (Debian's python3-xarray with python3-netcdf4) opens the file and sees the variables
// and their units; skipped where it is not installed.
TEST(WindsToNetcdf, OpensInXarray) {
    const char* python = std::getenv("PYTHON");
    const std::string py = python ? python : "/usr/bin/python3";
    if (std::system((py + " -c 'import xarray, netCDF4' >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << py << " has no xarray / netCDF4 (apt-get install python3-xarray "
                     << "python3-netcdf4): the xarray check is skipped";
    const std::string dir = write_run("xarray");
    ASSERT_EQ(run_in(dir, kTool, "-o winds.nc" + kRun).status, 0);
    const Result r = run_in(dir, py,
                            "-c 'import xarray as xr\n"
                            "ds = xr.open_dataset(\"winds.nc\")\n"
                            "for n, v in ds.data_vars.items(): print(n, v.dims, "
                            "v.attrs.get(\"units\", \"\"))\n"
                            "print(float(ds.u.isel(time=0, layer=0, y=0, x=0)))'");
    std::printf("%s", r.out.c_str());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains_line(r.out, "u ('time', 'layer', 'y', 'x') pixel / time step"));
    EXPECT_TRUE(contains_line(r.out, "w ('time', 'interface', 'y', 'x') grey level / time step"));
    EXPECT_TRUE(contains_line(r.out, "2.5"));
}

// cmake --install of this build into a scratch prefix: every program and script in bin with its
// manual page (rendered by man without a warning), the Slurm template pointing at that bin; the
// installed run_parallel, with neither a build folder nor the prefix on the PATH, splits and runs
// a sequence with the installed splitter and program.
TEST(Install, PutsProgramsScriptsAndPagesInThePrefixWhereTheScriptsFindThem) {
    const std::string prefix = scratch_dir("prefix");
    const Result in =
        run_in(prefix, OF3D_CMAKE,
               std::string("--install '") + OF3D_BUILD_DIR + "' --prefix '" + prefix + "'");
    ASSERT_EQ(in.status, 0) << in.err;
    const bool have_man = std::system("command -v man >/dev/null 2>&1") == 0;
    for (const char* p : {"optic_flow_3DMultilayers", "make_layered_sample", "compare_winds",
                          "render_winds", "split_sequence", "to_pgm10", "winds_to_netcdf",
                          "optic_flow_3D_run_parallel", "optic_flow_3D_demo"}) {
        EXPECT_EQ(access((prefix + "/bin/" + p).c_str(), X_OK), 0) << p;
        const std::string page = prefix + "/share/man/man1/" + p + ".1.gz";
        ASSERT_TRUE(std::filesystem::exists(page)) << page;
        if (!have_man) continue;
        const Result m =
            run_in(prefix, "env", "LC_ALL=C.UTF-8 man --warnings -E UTF-8 -l '" + page + "'");
        EXPECT_EQ(m.status, 0) << p;
        EXPECT_EQ(m.err, "") << p;
        EXPECT_NE(m.out.find("EXIT STATUS"), std::string::npos) << p;
    }
    EXPECT_NE(slurp(prefix + "/share/optic_flow_3D/slurm_array.sbatch")
                  .find("installed_bin=\"" + prefix + "/bin\""),
              std::string::npos);

    if (std::system("command -v parallel >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "GNU parallel is not installed: the installed run_parallel is not run";
    const std::string run = scratch_dir("installed_run");
    write_translation_sequence(run, 32, 32, 1, 3, 0.5, 0.25);
    const Result r = run_in(run, "env",
                            "-u OF3D_PROGRAM -u OF3D_SPLITTER PATH=/usr/bin:/bin '" + prefix +
                                "/bin/optic_flow_3D_run_parallel' -j 1 -- -nbTimeSample 3 "
                                "-nbLayers 1");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(slurp(run + "/steps/joblog.txt")
                  .find("exec " + prefix + "/bin/optic_flow_3DMultilayers -inImage"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(run + "/L0_t0.pgm_3D.xaf"));
    EXPECT_TRUE(std::filesystem::exists(run + "/L0_t1.pgm_3D.xaf"));
}
