// The sample generator and the wind checker, run as the user runs them (the tool binaries).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io_field.h"
#include "operations_images.h"
#include "physical_constants.h"
#include "sample_model.h"

namespace fs = std::filesystem;

namespace {

const std::string kBin = OF3D_BIN_DIR;

// A fresh folder under the system temp directory, removed with its content at scope end.
struct TempDir {
    fs::path path;
    explicit TempDir(const std::string& tag) {
        path = fs::temp_directory_path() / ("of3d_sample_" + tag + "_" + std::to_string(getpid()));
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

std::string file_bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct ToolRun {
    int status;
    std::string out;  // standard output and standard error
};

ToolRun run(const std::string& args, const TempDir& scratch) {
    const std::string out = scratch / "output.txt";
    const int raw = std::system((args + " >" + out + " 2>&1").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, file_bytes(out)};
}

void make_sample(const std::string& dir, const std::string& options, const TempDir& scratch) {
    const ToolRun r = run(kBin + "/make_layered_sample -o " + dir + " " + options, scratch);
    ASSERT_EQ(r.status, 0) << r.out;
}

std::vector<float> read_raw(const std::string& path, std::size_t n) {
    std::vector<float> w(n);
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char*>(w.data()), std::streamsize(4 * n));  // little-endian host
    EXPECT_TRUE(f.good()) << path;
    return w;
}

void write_raw(const std::string& path, const std::vector<float>& w) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(w.data()), std::streamsize(4 * w.size()));
}

struct Field {
    std::vector<float> u, v;
};

Field read_xaf(const std::string& path, int nc, int nl) {
    Field f{std::vector<float>(nc * nl), std::vector<float>(nc * nl)};
    short err = 0;
    read_field(path.c_str(), f.u.data(), f.v.data(), short(nc), short(nl), &err);
    EXPECT_EQ(err, 0) << path;
    return f;
}

void write_xaf(const std::string& path, Field f, int nc, int nl) {
    short err = 0;
    write_field(path.c_str(), f.u.data(), f.v.data(), short(nc), short(nl), &err);
    ASSERT_EQ(err, 0) << path;
}

std::vector<float> image(const std::string& path) {
    short nc = 0, nl = 0;
    entete_pgm(path.c_str(), &nc, &nl);
    std::vector<short> s(nc * nl);
    read_pgm(path.c_str(), s.data(), &nc, &nl);
    return std::vector<float>(s.begin(), s.end());
}

// stem + a + mid + b + ext, e.g. numbered("layer", 1, "_t", 0, ".pgm") = "layer1_t0.pgm".
std::string numbered(const char* stem, int a, const char* mid, int b, const char* ext) {
    return stem + std::to_string(a) + mid + std::to_string(b) + ext;
}

Field constant(std::size_t n, float u, float v) {
    return {std::vector<float>(n, u), std::vector<float>(n, v)};
}

const int kCols = 48, kLines = 40, kLayers = 3, kSamples = 3;
const std::string kSmall = "-size 48x40 -layers 3 -samples 3";

}  // namespace

TEST(LayeredSample, WritesTheInputFilesTheEstimatorReads) {
    TempDir dir("files");
    make_sample(dir / "s", kSmall + " -seed 3", dir);

    // Image list: per layer, per step, the t image then the t + dt image.
    std::ifstream list(dir / "s/inImage_3D.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(list, line);) lines.push_back(line);
    const std::vector<std::string> expected = {
        "./layer0_t0.pgm", "./layer0_t1.pgm", "./layer0_t1.pgm", "./layer0_t2.pgm",
        "./layer1_t0.pgm", "./layer1_t1.pgm", "./layer1_t1.pgm", "./layer1_t2.pgm",
        "./layer2_t0.pgm", "./layer2_t1.pgm", "./layer2_t1.pgm", "./layer2_t2.pgm"};
    EXPECT_EQ(lines, expected);

    FILE* f = std::fopen((dir / "s/inDensity.txt").c_str(), "r");
    ASSERT_NE(f, nullptr);
    float rho[3] = {0, 0, 0};
    for (float& r : rho) ASSERT_EQ(std::fscanf(f, "%f\n", &r), 1);
    std::fclose(f);
    EXPECT_FLOAT_EQ(rho[0], 1.0f);
    EXPECT_FLOAT_EQ(rho[1], 0.8f);
    EXPECT_FLOAT_EQ(rho[2], 0.6f);

    // 10-bit layout: text header, then two bytes per sample, low byte first, all within 0..1021.
    for (int l = 0; l < kLayers; ++l)
        for (int k = 0; k < kSamples; ++k) {
            const std::string name = numbered("s/layer", l, "_t", k, ".pgm");
            const std::string bytes = file_bytes(dir / name);
            const std::string header = "P5\n48 40\n1023\n";
            ASSERT_EQ(bytes.size(), header.size() + 2 * kCols * kLines) << name;
            EXPECT_EQ(bytes.substr(0, header.size()), header) << name;
            int lo = 1023, hi = 0;
            for (std::size_t n = header.size(); n < bytes.size(); n += 2) {
                const int s = (unsigned char)bytes[n] | ((unsigned char)bytes[n + 1] << 8);
                lo = std::min(lo, s);
                hi = std::max(hi, s);
            }
            EXPECT_LE(hi, 1021) << name;
            EXPECT_GT(hi - lo, 300) << name << ": too little contrast";
        }
}

// Itdt(x + W) exp(div W) = It(x) + F(x), F = 88.29 (rho_below w_low - rho_layer w_up), checked
// with the written truth: div by central differences, Itdt sampled bilinearly. Dropping an
// ingredient of the model must leave a clearly larger residual where that ingredient is large
// (|F| > 2 grey levels, |div| > 0.02 per step, |W| > 1 px).
TEST(LayeredSample, ImagesFollowTheMassConservationModel) {
    TempDir dir("model");
    make_sample(dir / "s", kSmall + " -seed 7", dir);
    const std::string s = dir / "s/";
    const std::size_t n = kCols * kLines;
    const float rho[kLayers + 1] = {kSurfaceDensity, 1.0f, 0.8f, 0.6f};
    std::vector<std::vector<float>> w(kLayers + 1, std::vector<float>(n, 0.0f));

    // Per variant: mean residual without the ingredient and mean full residual, same pixels.
    enum { kNoFlux, kNoDivergence, kZeroWinds, kVariants };
    double dropped[kVariants] = {0, 0, 0}, kept[kVariants] = {0, 0, 0}, used[kVariants] = {0, 0, 0};
    double full = 0, count = 0;
    const int margin = 5;  // more than the largest displacement, so x + W stays inside
    for (int i = 0; i < kSamples - 1; ++i) {
        for (int k = 1; k < kLayers; ++k)
            w[k] = read_raw(s + numbered("truth_wvert", k, "_step", i, ".raw"), n);
        for (int l = 0; l < kLayers; ++l) {
            const std::vector<float> It = image(s + numbered("layer", l, "_t", i, ".pgm"));
            const std::vector<float> Itdt = image(s + numbered("layer", l, "_t", i + 1, ".pgm"));
            const Field W =
                read_xaf(s + numbered("truth_layer", l, "_step", i, ".xaf"), kCols, kLines);
            for (int y = margin; y < kLines - margin; ++y)
                for (int x = margin; x < kCols - margin; ++x) {
                    const int p = y * kCols + x;
                    const double div =
                        0.5 * (W.u[p + 1] - W.u[p - 1]) + 0.5 * (W.v[p + kCols] - W.v[p - kCols]);
                    const double F = kMassFluxScale * (rho[l] * w[l][p] - rho[l + 1] * w[l + 1][p]);
                    const double X = x + W.u[p], Y = y + W.v[p];
                    const int x0 = int(std::floor(X)), y0 = int(std::floor(Y));
                    const double a = X - x0, b = Y - y0;
                    const int q = y0 * kCols + x0;
                    const double warped = (1 - b) * ((1 - a) * Itdt[q] + a * Itdt[q + 1]) +
                                          b * ((1 - a) * Itdt[q + kCols] + a * Itdt[q + kCols + 1]);
                    const double r = std::fabs(warped * std::exp(div) - It[p] - F);
                    const struct {
                        bool matters;
                        double residual;
                    } variant[kVariants] = {
                        {std::fabs(F) > 2.0, std::fabs(warped * std::exp(div) - It[p])},
                        {std::fabs(div) > 0.02, std::fabs(warped - It[p] - F)},
                        {std::hypot(W.u[p], W.v[p]) > 1.0, std::fabs(Itdt[p] - It[p])}};
                    for (int k = 0; k < kVariants; ++k)
                        if (variant[k].matters) {
                            dropped[k] += variant[k].residual;
                            kept[k] += r;
                            used[k] += 1;
                        }
                    full += r;
                    count += 1;
                }
        }
    }
    // Rounding to integers and bilinear sampling alone leave about one grey level.
    EXPECT_LT(full / count, 1.5);
    const double factor[kVariants] = {2.0, 5.0, 10.0};
    for (int k = 0; k < kVariants; ++k) {
        ASSERT_GT(used[k], 50) << "variant " << k << ": ingredient too weak to test";
        EXPECT_GT(dropped[k] / used[k], factor[k] * kept[k] / used[k]) << "variant " << k;
    }
}

TEST(LayeredSample, TurbulentWindsAreDivergenceFreeVorticesOfAboutThreePixels) {
    SampleSettings st;
    st.nb_col = 64;
    st.nb_lig = 48;
    st.turbulent = true;
    const LayeredSample s = build_layered_sample(st);
    for (int l = 0; l < st.nb_layers; ++l) {
        double max_speed = 0, max_div = 0;
        int sign_changes = 0;
        double previous_curl = 0;
        for (int y = 1; y < st.nb_lig - 1; ++y)
            for (int x = 1; x < st.nb_col - 1; ++x) {
                double u, v, d, ul, vl, dl, uu, vu, du;
                layer_wind_at(s.wind[l], x, y, &u, &v, &d);
                layer_wind_at(s.wind[l], x - 1, y, &ul, &vl, &dl);
                layer_wind_at(s.wind[l], x, y - 1, &uu, &vu, &du);
                max_speed = std::max(max_speed, std::hypot(u, v));
                max_div = std::max(max_div, std::fabs(d));
                const double curl = (v - vl) - (u - uu);  // backward differences, 1/step
                if (x > 1 && curl * previous_curl < 0) ++sign_changes;
                previous_curl = curl;
            }
        EXPECT_EQ(max_div, 0.0) << "layer " << l;
        EXPECT_GT(max_speed, 2.0) << "layer " << l;
        EXPECT_LT(max_speed, 3.5) << "layer " << l;
        EXPECT_GT(sign_changes, 20) << "layer " << l << ": vortices of both senses";
    }
}

TEST(LayeredSample, SensorNoiseHasTheRequestedSpreadAndKeepsTheSeedsDraws) {
    SampleSettings st;
    st.nb_col = 48;
    st.nb_lig = 40;
    const LayeredSample clean = build_layered_sample(st);
    st.noise = 5.0;
    const LayeredSample noisy = build_layered_sample(st);
    const std::vector<short> a = layer_image(clean, 1, 1), b = layer_image(noisy, 1, 1);
    double sum = 0, sum2 = 0;
    for (std::size_t k = 0; k < a.size(); ++k) {
        const double d = b[k] - a[k];
        sum += d;
        sum2 += d * d;
    }
    const double mean = sum / a.size(), spread = std::sqrt(sum2 / a.size() - mean * mean);
    EXPECT_NEAR(mean, 0.0, 0.5);
    EXPECT_NEAR(spread, 5.0, 0.5);
    EXPECT_EQ(clean.wind[1].drift_u, noisy.wind[1].drift_u);  // same winds for the same seed
}

TEST(LayeredSample, SameSeedSameBytesOtherSeedOtherSample) {
    TempDir dir("seed");
    make_sample(dir / "a", kSmall + " -seed 11", dir);
    make_sample(dir / "b", kSmall + " -seed 11", dir);
    make_sample(dir / "c", kSmall + " -seed 12", dir);
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir / "a")) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(file_bytes(dir / ("a/" + name)), file_bytes(dir / ("b/" + name))) << name;
        ++files;
    }
    EXPECT_EQ(files, 2 + kLayers * kSamples + (kSamples - 1) * (2 * kLayers - 1));
    for (const std::string name :
         {"layer0_t0.pgm", "layer2_t1.pgm", "truth_layer1_step0.xaf", "truth_wvert1_step0.raw"})
        EXPECT_NE(file_bytes(dir / ("a/" + name)), file_bytes(dir / ("c/" + name))) << name;
}

namespace {

struct HorizontalLine {
    int layer, step;
    double epe, ae, zero_epe, zero_ae;
};
struct VerticalLine {
    int k, step;
    double rms;
    std::string corr;
    double zero_rms;
};

void parse_report(const std::string& text, std::vector<HorizontalLine>& h,
                  std::vector<VerticalLine>& v) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        HorizontalLine a;
        VerticalLine b;
        char corr[32];
        if (std::sscanf(line.c_str(),
                        "layer %d step %d: EPE %lf AE %lf | zero motion: EPE %lf AE %lf", &a.layer,
                        &a.step, &a.epe, &a.ae, &a.zero_epe, &a.zero_ae) == 6)
            h.push_back(a);
        if (std::sscanf(line.c_str(), "interface %d step %d: RMS %lf corr %31s | zero: RMS %lf",
                        &b.k, &b.step, &b.rms, corr, &b.zero_rms) == 5) {
            b.corr = corr;
            v.push_back(b);
        }
    }
}

// Copies the truth (or zero fields) to the names the estimator writes.
void fake_estimate(const std::string& s, bool zero) {
    const std::size_t n = kCols * kLines;
    for (int l = 0; l < kLayers; ++l)
        for (int i = 0; i < kSamples - 1; ++i) {
            const std::string t = s + numbered("layer", l, "_t", i, ".pgm");
            const auto copy = fs::copy_options::overwrite_existing;
            if (zero) {
                write_xaf(t + "_3D.xaf", constant(n, 0, 0), kCols, kLines);
                if (l > 0) write_raw(t + "_3D.motionUp", std::vector<float>(n, 0.0f));
            } else {
                fs::copy_file(s + numbered("truth_layer", l, "_step", i, ".xaf"), t + "_3D.xaf",
                              copy);
                if (l > 0)
                    fs::copy_file(s + numbered("truth_wvert", l, "_step", i, ".raw"),
                                  t + "_3D.motionUp", copy);
            }
        }
}

}  // namespace

TEST(CompareWinds, TruthScoresZeroAndZeroFieldsScoreTheZeroMotionFigures) {
    TempDir dir("cmp");
    make_sample(dir / "s", kSmall + " -seed 5", dir);
    const std::string s = dir / "s/";
    const int margin = 8;
    for (bool zero : {false, true}) {
        fake_estimate(s, zero);
        const ToolRun r = run(kBin + "/compare_winds -dir " + s, dir);
        ASSERT_EQ(r.status, 0) << r.out;
        std::vector<HorizontalLine> h;
        std::vector<VerticalLine> v;
        parse_report(r.out, h, v);
        ASSERT_EQ(h.size(), std::size_t(kLayers * (kSamples - 1))) << r.out;
        ASSERT_EQ(v.size(), std::size_t((kLayers - 1) * (kSamples - 1))) << r.out;
        for (const auto& e : h) {
            // Zero motion: the mean of |W| over the interior.
            const Field W = read_xaf(s + numbered("truth_layer", e.layer, "_step", e.step, ".xaf"),
                                     kCols, kLines);
            double epe = 0, count = 0;
            for (int y = margin; y < kLines - margin; ++y)
                for (int x = margin; x < kCols - margin; ++x, count += 1)
                    epe += std::hypot(W.u[y * kCols + x], W.v[y * kCols + x]);
            EXPECT_NEAR(e.zero_epe, epe / count, 1e-4);
            EXPECT_NEAR(e.epe, zero ? e.zero_epe : 0.0, 1e-4);
            EXPECT_NEAR(e.ae, zero ? e.zero_ae : 0.0, 1e-3);
        }
        for (const auto& e : v) {
            const std::vector<float> wt =
                read_raw(s + numbered("truth_wvert", e.k, "_step", e.step, ".raw"), kCols * kLines);
            double ss = 0, count = 0;
            for (int y = margin; y < kLines - margin; ++y)
                for (int x = margin; x < kCols - margin; ++x, count += 1)
                    ss += wt[y * kCols + x] * wt[y * kCols + x];
            EXPECT_NEAR(e.zero_rms, std::sqrt(ss / count), 1e-6);
            EXPECT_NEAR(e.rms, zero ? e.zero_rms : 0.0, 1e-6);
            EXPECT_EQ(e.corr, zero ? "n/a" : "1.0000");
        }
    }
}

// Hand-worked figures on a 4 x 3 folder with two layers and one step, margin 1 (interior: line
// 1, columns 1 and 2).
TEST(CompareWinds, ReportsHandWorkedErrors) {
    TempDir dir("hand");
    const int nc = 4, nl = 3;
    const std::size_t n = nc * nl;
    const std::string s = dir / "";
    std::ofstream(s + "list.txt") << "./a0\n./a1\n./b0\n./b1\n";
    write_xaf(s + "truth_layer0_step0.xaf", constant(n, 3, 4), nc, nl);
    write_xaf(s + "a0_3D.xaf", constant(n, 0, 0), nc, nl);
    write_xaf(s + "truth_layer1_step0.xaf", constant(n, 1, 0), nc, nl);
    write_xaf(s + "b0_3D.xaf", constant(n, 1, 1), nc, nl);
    std::vector<float> wt(n), w(n);
    for (std::size_t p = 0; p < n; ++p) {
        wt[p] = float(p % nc);  // the column index
        w[p] = 2.0f * wt[p] + 1.0f;
    }
    write_raw(s + "truth_wvert1_step0.raw", wt);
    write_raw(s + "b0_3D.motionUp", w);

    const ToolRun r = run(kBin + "/compare_winds -dir " + s +
                              " -inImage list.txt -nbTimeSample 2 -nbLayers 2 -margin 1",
                          dir);
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<HorizontalLine> h;
    std::vector<VerticalLine> v;
    parse_report(r.out, h, v);
    ASSERT_EQ(h.size(), 2u) << r.out;
    ASSERT_EQ(v.size(), 1u) << r.out;
    // (0, 0) against (3, 4): |e| = 5, angle acos(1 / sqrt(26)) = 78.690 deg, also zero motion.
    EXPECT_NEAR(h[0].epe, 5.0, 1e-4);
    EXPECT_NEAR(h[0].ae, 78.690, 1e-3);
    EXPECT_NEAR(h[0].zero_ae, 78.690, 1e-3);
    // (1, 1) against (1, 0): |e| = 1, angle acos(2 / sqrt(6)) = 35.264 deg; zero: 1 and 45 deg.
    EXPECT_NEAR(h[1].epe, 1.0, 1e-4);
    EXPECT_NEAR(h[1].ae, 35.264, 1e-3);
    EXPECT_NEAR(h[1].zero_epe, 1.0, 1e-4);
    EXPECT_NEAR(h[1].zero_ae, 45.0, 1e-3);
    // w = 2 wt + 1 with wt = 1, 2: errors 2 and 3, RMS sqrt(6.5); perfectly correlated.
    EXPECT_NEAR(v[0].rms, std::sqrt(6.5), 1e-5);
    EXPECT_EQ(v[0].corr, "1.0000");
    EXPECT_NEAR(v[0].zero_rms, std::sqrt(2.5), 1e-5);
}

TEST(CompareWinds, NamesTheFileAtFaultAndExitsWithStatusOne) {
    TempDir dir("fail");
    make_sample(dir / "s", kSmall + " -seed 5", dir);
    const std::string s = dir / "s/";
    fake_estimate(s, false);
    const struct {
        const char* what;
        std::string damaged;  // file removed or replaced
        bool remove;
        std::string content;
    } cases[] = {
        {"missing horizontal estimate", s + "layer1_t1.pgm_3D.xaf", true, ""},
        {"short vertical estimate", s + "layer1_t1.pgm_3D.motionUp", false, std::string(100, '\0')},
        {"estimate of another size", s + "layer0_t0.pgm_3D.xaf", false,
         file_bytes(s + "truth_layer0_step0.xaf")
             .substr(0, 4 + 4 * 40 * 40)
             .replace(0, 4, "\0\x28\0\x28", 4)},
        {"image list too short", s + "inImage_3D.txt", false, "./layer0_t0.pgm\n"},
    };
    for (const auto& c : cases) {
        const std::string keep = file_bytes(c.damaged);
        if (c.remove)
            fs::remove(c.damaged);
        else
            std::ofstream(c.damaged, std::ios::binary) << c.content;
        const ToolRun r = run(kBin + "/compare_winds -dir " + s, dir);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.out.find(fs::path(c.damaged).filename().string()), std::string::npos)
            << c.what << ": " << r.out;
        std::ofstream(c.damaged, std::ios::binary) << keep;
    }
    EXPECT_EQ(run(kBin + "/compare_winds -dir " + s, dir).status, 0);
}
