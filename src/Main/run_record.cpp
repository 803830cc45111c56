#include "run_record.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "fail.h"
#include "output_paths.h"
#include "operations_images.h"
#include "run.h"
#include "safe_output.h"

namespace {

// The record of the running program, saved with the status "failed" when the process exits
// before the run ended (fail() from any thread ends it through exit()).
std::atomic<RunRecord*> g_open_record{nullptr};

void save_failed_record() {
    RunRecord* record = g_open_record.exchange(nullptr);
    if (!record || !record->lock.try_lock()) return;
    record->status = "failed";
    record->end = std::time(nullptr);
    record->try_write();
    record->lock.unlock();
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(c));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// A float setting in the fewest digits that read back as the same float; null when not finite.
std::string number(float x) {
    if (!std::isfinite(x)) return "null";
    char text[40];
    for (int digits = 6; digits <= 9; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(x));
        if (std::strtof(text, nullptr) == x) break;
    }
    return text;
}

// A measure in six significant digits; null when not finite.
std::string measure(double x) {
    if (!std::isfinite(x)) return "null";
    char text[40];
    std::snprintf(text, sizeof text, "%.6g", x);
    return text;
}

std::string pair(const int v[2]) {
    return "[" + std::to_string(v[0]) + ", " + std::to_string(v[1]) + "]";
}

// ISO 8601 UTC, or null for 0.
std::string utc_time(std::time_t t) {
    if (t == 0) return "null";
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "\"%Y-%m-%dT%H:%M:%SZ\"", &tm);
    return text;
}

std::string settings_json(const RunParameters& p, int threads) {
    const std::pair<const char*, std::string> fields[] = {
        {"inImage", quoted(p.ifn1)},
        {"inDensity", quoted(p.ifn2)},
        {"nbTimeSample", std::to_string(p.nb_seq)},
        {"nbLayers", std::to_string(p.nb_layers)},
        {"crop", std::to_string(p.crop)},
        {"ofy", std::to_string(p.ofy)},
        {"ofx", std::to_string(p.ofx)},
        {"dy", std::to_string(p.nb_lig_reel)},
        {"dx", std::to_string(p.nb_col_reel)},
        {"coarseResol", std::to_string(p.Coarse_resol)},
        {"coarseGrid", std::to_string(p.Coarse_scale)},
        {"alpha", number(p.lambda)},
        {"lambda", number(p.coef_regul)},
        {"beta", number(p.betaW)},
        {"sigmaData", number(p.sigma1)},
        {"SigmaReg", number(p.sigma_inter)},
        {"SigmaRegW", number(p.sigma_W)},
        {"init", std::to_string(p.Init3D)},
        {"fineGrid", std::to_string(p.fineGrid)},
        {"warp", quoted(p.warp_bspline ? "bspline" : "bilinear")},
        {"postSmooth", number(p.postSmooth)},
        {"postSmoothW", number(p.postSmoothW)},
        {"divSmooth", number(p.divSmooth)},
        {"coarseResolAuto", std::to_string(p.coarse_resol_auto ? 1 : 0)},
        {"border", quoted(p.border_replicate ? "replicate" : "zero")},
        {"mask", std::to_string(p.masks ? 1 : 0)},
        {"refine", std::to_string(p.refine)},
        {"refineAlpha", number(p.refineAlpha)},
        {"fast", std::to_string(p.fast ? 1 : 0)},
        {"threads", std::to_string(p.threads)},
        {"threads_in_use", std::to_string(threads)},
        {"outDir", quoted(p.outDir)},
        {"record", quoted(p.record)},
        {"summary", std::to_string(p.summary ? 1 : 0)},
    };
    std::string out = "{";
    for (const auto& [name, value] : fields)
        out += std::string(out.size() > 1 ? ",\n    " : "\n    ") + quoted(name) + ": " + value;
    return out + "\n  }";
}

std::string fit_json(const RecordedLayer& r) {
    if (!r.fitted) return "null";
    const FitSummary& s = r.fit;
    return "{\"mean_speed\": " + measure(s.mean_speed) +
           ", \"max_speed\": " + measure(s.max_speed) +
           ", \"residual_rms\": " + measure(s.residual_rms) +
           ", \"motionless_rms\": " + measure(s.motionless_rms) +
           ", \"ratio\": " + measure(s.ratio()) +
           ", \"low_weight_share\": " + measure(s.low_weight_share) +
           ", \"low_weight_below\": " + measure(kLowDataWeight) +
           ", \"valid_pixels\": " + std::to_string(s.valid_pixels) + "}";
}

std::string list_json(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t k = 0; k < items.size(); ++k) out += (k ? ", " : "") + quoted(items[k]);
    return out + "]";
}

}  // namespace

std::string record_path(const RunParameters& p) {
    if (!p.record.empty()) return p.record;
    if (!p.outDir.empty()) return (std::filesystem::path(p.outDir) / "run.json").string();
    return "";
}

RunRecord::RunRecord(const std::string& path, int argc, char** argv, const RunParameters& given)
    : settings(given), path_(path) {
    for (int k = 0; k < argc; ++k) command_line_.push_back(argv[k]);
    std::error_code ec;
    working_directory_ = std::filesystem::current_path(ec).string();
    start = std::time(nullptr);
    static const bool hooked = std::atexit(save_failed_record) == 0;
    (void)hooked;
    g_open_record = this;
}

RunRecord::~RunRecord() {
    RunRecord* self = this;
    g_open_record.compare_exchange_strong(self, nullptr);
}

std::string RunRecord::json() const {
    std::string out = "{\n";
    out += "  \"program\": \"optic_flow_3DMultilayers\",\n";
    out += "  \"version\": " + quoted(OF3D_VERSION) + ",\n";
    out += "  \"status\": " + quoted(status) + ",\n";
    out += "  \"start_time\": " + utc_time(start) + ",\n";
    out += "  \"end_time\": " + utc_time(end) + ",\n";
    out += "  \"command_line\": " + list_json(command_line_) + ",\n";
    out += "  \"working_directory\": " + quoted(working_directory_) + ",\n";
    out += "  \"settings\": " + settings_json(settings, threads) + ",\n";
    out += "  \"image_size\": " + pair(image_size) + ",\n";
    out += "  \"real_size\": " + pair(real_size) + ",\n";
    out += "  \"crop_offset\": " + pair(crop_offset) + ",\n";
    out += "  \"working_size\": " + pair(working_size) + ",\n";
    out += "  \"densities\": [";
    for (std::size_t l = 0; l < densities.size(); ++l)
        out += (l ? ", " : "") + number(densities[l]);
    out += "],\n  \"steps\": [";
    for (std::size_t i = 0; i < steps.size(); ++i) {
        out += std::string(i ? "," : "") + "\n    {\"step\": " + std::to_string(i + 1) +
               ", \"layers\": [";
        for (std::size_t l = 0; l < steps[i].size(); ++l) {
            const RecordedLayer& r = steps[i][l];
            out += std::string(l ? "," : "") + "\n      {\"layer\": " + std::to_string(l) +
                   ", \"t_image\": " + quoted(r.t_image) +
                   ", \"tdt_image\": " + quoted(r.tdt_image) +
                   ", \"results\": " + quoted(r.results) + ",\n       \"fit\": " + fit_json(r) +
                   ",\n       \"warnings\": " + list_json(r.warnings) + "}";
        }
        out += "]}";
    }
    return out + "\n  ]\n}\n";
}

bool RunRecord::try_write() const {
    const std::string text = json();
    SafeOutput out;
    std::FILE* f = out.open(path_.c_str(), "w");
    if (!f) return false;
    std::fwrite(text.data(), 1, text.size(), f);
    return out.commit();
}

void RunRecord::write() const {
    if (!try_write())
        fail("cannot write the run record '%s': %s", path_.c_str(), std::strerror(errno));
}

// The sizes, inputs and result names of every step and layer, written before the first step.
void Run::start_record() {
    std::lock_guard<std::recursive_mutex> hold(record_->lock);
    RunRecord& r = *record_;
    r.settings.Coarse_resol = p_.Coarse_resol;  // 0 with -init
    r.threads = pool_.threads();
    short nc = 0, nl = 0;
    entete_pgm(path(0, 0).c_str(), &nc, &nl);
    r.image_size[0] = nc;
    r.image_size[1] = nl;
    r.real_size[0] = nb_col_reel_;
    r.real_size[1] = nb_lig_reel_;
    r.crop_offset[0] = p_.crop == 1 ? p_.ofx : 0;
    r.crop_offset[1] = p_.crop == 1 ? p_.ofy : 0;
    r.working_size[0] = nb_col_;
    r.working_size[1] = nb_lig_;
    r.densities = densities_;
    r.steps.assign(p_.nb_seq - 1, std::vector<RecordedLayer>(p_.nb_layers));
    for (int i = 0; i < p_.nb_seq - 1; ++i)
        for (int l = 0; l < p_.nb_layers; ++l) {
            RecordedLayer& layer = r.steps[i][l];
            layer.t_image = path(l, 2 * i);
            layer.tdt_image = path(l, 2 * i + 1);
            layer.results = result_base(layer.t_image, p_.outDir);
        }
    r.write();
}

// The fit summary of every layer of time step `step` (on standard error with -summary, the
// warnings also with a record), and the record brought up to date.
void Run::report_fit(int step) {
    if (!p_.summary && !record_) return;
    for (int l = 0; l < p_.nb_layers; ++l) {
        const Layer& layer = layers_[l];
        const FitSummary s =
            fit_summary(layer.U.data(), layer.V.data(), layer.It[0].data(), layer.Itdt[0].data(),
                        layer.Data_out.data(), nb_col_, nb_lig_, nb_col_reel_, nb_lig_reel_, warp_,
                        layer.data_valid.empty() ? nullptr : layer.data_valid.data());
        const std::vector<std::string> warnings = fit_warnings(s, p_.Coarse_resol);
        if (p_.summary) std::fprintf(stderr, "%s\n", fit_line(step, l, s).c_str());
        for (const std::string& w : warnings)
            std::fprintf(stderr, "warning: step %d layer %d: %s\n", step + 1, l, w.c_str());
        if (record_) {
            std::lock_guard<std::recursive_mutex> hold(record_->lock);
            RecordedLayer& r = record_->steps[step][l];
            r.fitted = true;
            r.fit = s;
            r.warnings = warnings;
        }
    }
    if (record_) {
        std::lock_guard<std::recursive_mutex> hold(record_->lock);
        record_->write();
    }
}

void Run::finish_record() {
    std::lock_guard<std::recursive_mutex> hold(record_->lock);
    record_->status = "complete";
    record_->end = std::time(nullptr);
    record_->write();
}
