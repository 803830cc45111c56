#include "output_paths.h"

#include <filesystem>
#include <map>

#include "fail.h"

namespace fs = std::filesystem;

std::string result_base(const std::string& P, const std::string& out_dir) {
    if (out_dir.empty()) return P;
    return (fs::path(out_dir) / fs::path(P).filename()).string();
}

std::string temporary_path(const std::string& out_dir, const char* name) {
    if (out_dir.empty()) return std::string("./") + name;
    return (fs::path(out_dir) / name).string();
}

void make_output_folder(const std::string& out_dir) {
    std::error_code ec;
    fs::create_directories(out_dir, ec);
    if (ec) fail("cannot create the output folder '%s': %s", out_dir.c_str(), ec.message().c_str());
    if (!fs::is_directory(out_dir, ec))
        fail("the output folder '%s' exists and is not a folder", out_dir.c_str());
}

void check_distinct_result_names(const std::vector<std::vector<std::string>>& nom_seq,
                                 const std::string& out_dir) {
    if (out_dir.empty()) return;
    std::map<std::string, std::string> owner;  // file name -> the t image that has it
    for (const auto& layer : nom_seq)
        for (std::size_t k = 0; k < layer.size(); k += 2) {
            const std::string name = fs::path(layer[k]).filename().string();
            const auto [it, fresh] = owner.emplace(name, layer[k]);
            if (!fresh &&
                fs::path(it->second).lexically_normal() != fs::path(layer[k]).lexically_normal())
                fail(
                    "the t images '%s' and '%s' have the same file name: their results would "
                    "overwrite each other in the output folder '%s'",
                    it->second.c_str(), layer[k].c_str(), out_dir.c_str());
        }
}
