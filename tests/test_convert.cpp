// Conversion into the estimator's 10-bit PGM: netpbm PGM byte orders, PNG luminance, NetCDF
// slices with fill values and packing, the shared range and the run lists, and clear failures.
#include <gtest/gtest.h>
#include <netcdf.h>

#include "image_import.h"
#include "png_picture.h"
#include "run_helpers.h"

using namespace testrun;

namespace {
const std::string kTool = std::string(OF3D_BIN_DIR) + "/to_pgm10";
}  // namespace

// netpbm PGM in both byte orders and PNG, whose colour becomes the luminance
// 0.2126 R + 0.7152 G + 0.0722 B.
TEST(ConvertPgmPng, ByteOrdersLuminanceAndRangesGiveTheScaledTenBitSamples) {
    const std::string dir = scratch_dir("convert_pgm");
    Picture png(4, 1, {77, 77, 77});
    png.set(1, 0, {255, 0, 0}), png.set(2, 0, {0, 255, 0}), png.set(3, 0, {0, 0, 255});
    write_png(dir + "/p.png", png);
    const struct {
        std::string file, args;
        std::vector<short> want;  // round(1021 (x - lo) / (hi - lo)), clipped to 0 .. 1021
    } cases[] = {
        // 16-bit high byte first, a comment, its own range 0..4095: 258 -> 64.33, 2048 -> 510.62
        {"P5\n# netpbm\n4 1\n4095\n" + std::string("\x00\x00\x01\x02\x08\x00\x0f\xff", 8),
         "",
         {0, 64, 511, 1021}},
        // 8-bit with a line-end sample, values beyond the range clipped: 90 -> 408.4
        {std::string("P5\n4 1\n255\n\x00\x0a\x5a\xff", 15), "-range 50 150", {0, 0, 408, 1021}},
        // 16-bit low byte first with -pgm-le: 513 -> 512.0
        {std::string("P5\n2 1\n1023\n\x01\x02\xff\x03", 16), "-pgm-le -range 0 1023", {512, 1021}},
        // 77 -> 308.3; 1021 x 0.2126, 0.7152, 0.0722 = 217.1, 730.2, 73.7
        {slurp(dir + "/p.png"), "-range 0 255", {308, 217, 730, 74}},
    };
    int k = 0;
    for (const auto& c : cases) {
        const std::string in = "in" + std::to_string(k), out = "out" + std::to_string(k++) + ".pgm";
        write_file(dir + "/" + in, c.file);
        const Result r = run_in(dir, kTool, c.args + " " + in + " -o " + out);
        ASSERT_EQ(r.status, 0) << in << ": " << r.err;
        EXPECT_EQ(pgm_samples(dir + "/" + out), c.want) << in;
    }
}

// Slice 1 of a packed variable (x = raw 0.5 + 100; the fill value and missing_value compared
// with the raw samples): 0..100 onto 0..1021 gives raw 0 -> 100 -> 0, 50 -> 125 -> 255.25,
// 20 -> 110 -> 102.1; the two absent samples become 0 and 600 is clipped to 1021.
TEST(ConvertNetcdf, TimeSliceWithFillValuesPackingAndMissingCounts) {
    const std::string dir = scratch_dir("convert_nc");
    int ncid, dims[3], tb;
    ASSERT_EQ(nc_create((dir + "/seq.nc").c_str(), NC_CLOBBER | NC_NETCDF4, &ncid), NC_NOERR);
    nc_def_dim(ncid, "time", 2, &dims[0]);
    nc_def_dim(ncid, "y", 2, &dims[1]);
    nc_def_dim(ncid, "x", 3, &dims[2]);
    nc_def_var(ncid, "tb", NC_SHORT, 3, dims, &tb);
    const short fill = -999, missing = 7;
    const double scale = 0.5, offset = 100.0;
    nc_put_att_short(ncid, tb, "_FillValue", NC_SHORT, 1, &fill);
    nc_put_att_short(ncid, tb, "missing_value", NC_SHORT, 1, &missing);
    nc_put_att_double(ncid, tb, "scale_factor", NC_DOUBLE, 1, &scale);
    nc_put_att_double(ncid, tb, "add_offset", NC_DOUBLE, 1, &offset);
    nc_enddef(ncid);
    const short raw[12] = {1, 1, 1, 1, 1, 1, 0, 50, 7, -999, 20, 1000};
    nc_put_var_short(ncid, tb, raw);
    ASSERT_EQ(nc_close(ncid), NC_NOERR);
    const Result r = run_in(dir, kTool, "-nc seq.nc -var tb -t 1 -range 100 200 -o tb1.pgm");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pgm_samples(dir + "/tb1.pgm"), (std::vector<short>{0, 255, 0, 0, 102, 1021}));
    EXPECT_EQ(slurp(dir + "/tb1_mask.pgm"), std::string("P5\n3 2\n1\n\1\1\0\0\1\1", 15));
    EXPECT_NE(r.out.find("2 missing"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 outside"), std::string::npos) << r.out;
    EXPECT_EQ(netcdf_slice_count(dir + "/seq.nc", "tb"), 2);
}

// Two radar frames whose 255 means no coverage, cut to the window of columns 1..3, lines 0..1:
// the valid samples of the windows, 10..50, span the range (the 5 and 3 outside do not; 10 -> 0,
// 20 -> 255.25, 30 -> 510.5, 40 -> 765.75, 50 -> 1021), each frame's missing samples take its
// lowest valid level, and the masks mark them. A single layer's list gets the density 1;
// converted again without missing samples, the frames lose their masks.
TEST(ConvertNoData, MissingSamplesGetMasksAndNeitherStretchNorSqueezeTheRange) {
    const std::string dir = scratch_dir("convert_nodata");
    const std::string header = "P5\n4 3\n255\n";
    write_file(dir + "/a.pgm",
               header + std::string("\x05\x0a\x14\xff\x07\x1e\x28\x14\xff\xff\xff\xff"));
    write_file(dir + "/b.pgm",
               header + std::string("\x03\xff\x1e\x28\x02\x14\x32\xff\x01\x01\x01\x01"));
    const Result r = run_in(dir, kTool, "-nodata 255 -window 1 0 3 2 -list run a.pgm b.pgm");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(pgm_samples(dir + "/run/a.pgm"), (std::vector<short>{0, 255, 0, 511, 766, 255}));
    EXPECT_EQ(pgm_samples(dir + "/run/b.pgm"), (std::vector<short>{255, 511, 766, 255, 1021, 255}));
    const std::string mask = "P5\n3 2\n1\n";
    EXPECT_EQ(slurp(dir + "/run/a_mask.pgm"), mask + std::string("\1\1\0\1\1\1", 6));
    EXPECT_EQ(slurp(dir + "/run/b_mask.pgm"), mask + std::string("\0\1\1\1\1\0", 6));
    EXPECT_EQ(slurp(dir + "/run/inDensity.txt"), "1\n");
    ASSERT_EQ(run_in(dir, kTool, "-window 0 2 4 1 -outdir run a.pgm b.pgm").status, 0);
    EXPECT_FALSE(std::filesystem::exists(dir + "/run/a_mask.pgm"));
}

TEST(ConvertList, SequencesShareOneRangeAndGiveLayerMajorPairs) {
    const std::string dir = scratch_dir("convert_list");
    std::string inputs;
    for (int k = 0; k < 6; ++k) {  // image k holds k, k + 1, k + 2, k + 3: the set spans 0..8
        const float f = float(k);
        write_floats(dir + "/r" + std::to_string(k) + ".raw", {f, f + 1, f + 2, f + 3});
        inputs += " r" + std::to_string(k) + ".raw";
    }
    const Result r =
        run_in(dir, kTool, "-raw -size 2x2 -list run -layers 2 -densities 1.0,0.8" + inputs);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir + "/run/inImage_3D.txt"),
              "./r0.pgm\n./r1.pgm\n./r1.pgm\n./r2.pgm\n./r3.pgm\n./r4.pgm\n./r4.pgm\n./r5.pgm\n");
    EXPECT_EQ(slurp(dir + "/run/inDensity.txt"), "1\n0.8\n");
    // 1021 x / 8: 127.6, 255.25, 382.9
    EXPECT_EQ(pgm_samples(dir + "/run/r0.pgm"), (std::vector<short>{0, 128, 255, 383}));
    EXPECT_EQ(pgm_samples(dir + "/run/r5.pgm"), (std::vector<short>{638, 766, 893, 1021}));
}

TEST(ConvertErrors, BadInputEndsWithAMessageNamingIt) {
    const std::string dir = scratch_dir("convert_errors");
    for (const char* name : {"/r.raw", "/s.raw", "/sub/r.raw"}) {
        std::filesystem::create_directories(dir + "/sub");
        write_floats(dir + name, {1, 2, 3, 4});
    }
    write_file(dir + "/bad.png", std::string("\x89PNG\r\n\x1a\n", 8) + "not a png at all");
    write_file(dir + "/big.pgm", std::string("P5\n2 1\n1023\n\x01\x02\xff\x03", 16));
    const struct {
        std::string args;
        std::vector<std::string> named;
    } cases[] = {
        {"-raw -size 3x3 r.raw", {"r.raw", "36"}},
        {"bad.png", {"bad.png"}},
        {"big.pgm", {"big.pgm", "overwritten"}},
        {"-raw -size 2x2 -outdir o r.raw sub/r.raw", {"o/r.pgm"}},
        {"-raw -size 2x2 -list run -layers 2 -densities 1,1 r.raw s.raw", {"2 time samples"}},
        {"-raw -size 2x2 -window 1 1 2 1 r.raw", {"window of 2 x 1", "r.raw (2 x 2)"}},
    };
    for (const auto& c : cases) {
        const Result r = run_in(dir, kTool, c.args);
        EXPECT_EQ(r.status, 1) << c.args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.args << ": " << r.err;
        for (const std::string& name : c.named)
            EXPECT_NE(r.err.find(name), std::string::npos) << c.args << ": " << r.err;
    }
}
