// The run driver: parses and checks the options, reads the image list and the densities, owns
// every buffer of the run, and for each pair of consecutive time samples estimates coarse to fine
// (image pyramid, then block hierarchy) the horizontal wind of every layer and the vertical wind
// of every interior interface, then writes the results next to the layer's image at time t.
#include "optic_flow_3DMultilayers.h"

#include <malloc.h>

#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <new>

#include "bib_ansi.h"
#include "bspline.h"
#include "fail.h"
#include "output_paths.h"
#include "run.h"
#include "run_checks.h"
#include "run_record.h"
#include "safe_output.h"

void error(const char* message) {
    fail(FailStyle::Banner, "%s", message);
}

namespace {
const char* const kStarLine = "*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*- ";
}  // namespace

Run::Run(const RunParameters& p, RunRecord* record)
    : p_(p),
      warp_(p.warp_bspline ? Recal_bspline : Recal_fl),
      pool_(p.threads),
      temporary_writer_(pool_.threads() > 1, p.outDir),
      record_(record),
      validity_(p.border_replicate || p.masks) {}

int Run::execute() {
    read_image_list();
    p_.sigma1 = p_.sigma1 * p_.sigma1;
    set_sizes();
    if (!p_.outDir.empty()) {
        check_distinct_result_names(nom_seq_, p_.outDir);
        make_output_folder(p_.outDir);
    }
    if (p_.Init3D != 0 && p_.Coarse_resol != 0) {
        std::fprintf(stderr, "\nNo multiresolution scheme with initialisation 3D\n");
        p_.Coarse_resol = 0;
    }
    check_run_memory(nb_col_reel_, nb_lig_reel_, p_.nb_layers, p_.Coarse_resol, p_.Coarse_scale,
                     available_memory());
    allocate();
    read_densities();
    if (record_) start_record();
    std::cout << "\n\n\n" << kStarLine << std::endl;
    const std::time_t start = std::time(nullptr);

    for (int i = 0; i <= p_.nb_seq - 2; ++i) {
        std::cout << kStarLine << std::endl;
        std::printf("Processing time %hd\n", static_cast<short>(i + 1));
        std::printf("%s\n", kStarLine);
        std::cout << std::endl;
        read_step_inputs(i);
        estimate();
        temporary_writer_.flush();
        write_results(i);
        report_fit(i);
    }
    std::printf("Processing time duration (sec): %d\n",
                static_cast<int>(std::time(nullptr) - start));
    if (record_) finish_record();
    return 0;
}

int optic_flow_3DMultilayers(int argc, char** argv) {
    remove_temporaries_on_signals();
    for (const std::string& flag : unknown_options(argc, argv))
        std::fprintf(stderr, "ignored unknown option %s\n", flag.c_str());
    const RunParameters p = parse_options(argc, argv);
    // One malloc arena for all threads: the work memory that threads free goes back to the
    // shared heap instead of staying in per-thread arenas (lower peak memory).
    mallopt(M_ARENA_MAX, 1);
    check_parameters(p);
    // The record outlives the run, so that a run ended by the lack of memory leaves it "failed".
    const std::string record_file = record_path(p);
    std::unique_ptr<RunRecord> record;
    if (!record_file.empty()) record = std::make_unique<RunRecord>(record_file, argc, argv, p);
    try {
        Run run(p, record.get());
        return run.execute();
    } catch (const std::bad_alloc&) {
        fail(FailStyle::Banner,
             "Error : not enough memory for this run; use fewer layers (-nbLayers), a crop window "
             "(-crop 1 -dx -dy) or a smaller -coarseGrid");
    }
}
