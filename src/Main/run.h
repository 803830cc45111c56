// The run driver's state: one record per layer (its images, fields and work memory) and the run
// itself, which owns every buffer from the start of the run to its end. Its steps live in
// run_input.cpp (image list, densities, sizes, allocation, images, pyramids, initial fields),
// coarse_to_fine.cpp (resolutions, grid levels, alternation of horizontal and vertical passes),
// layer_updates.cpp (the layer tasks, derivative and interface updates), refinement.cpp (the
// opt-in pixel-level refinement at the finest level), run_results.cpp, run_record.cpp (the fit
// summaries and the run record), border_mask.cpp (validity of the data term) and
// pyramid_depth.cpp (-coarseResol auto).
#ifndef RUN_H
#define RUN_H

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "auxiliary_fit.h"
#include "icm_chunks.h"
#include "layer_terms.h"
#include "options.h"
#include "relax.h"
#include "temporary_writer.h"
#include "vertical_relaxation.h"
#include "worker_pool.h"

constexpr int kPyramidSlots = 4;  // levels 0 .. 3 of every pyramid

struct BlockListDeleter {
    void operator()(bloc* head) const { Free_parc(head); }
};
using BlockList = std::unique_ptr<bloc, BlockListDeleter>;

// One layer's images and fields; every float image has the working size.
struct Layer {
    explicit Layer(std::size_t n)
        : fx(n),
          fy(n),
          ft(n),
          U(n),
          V(n),
          U_temp(n),
          V_temp(n),
          O_Itdt(n),
          Data_out(n),
          u(n),
          v(n),
          tempfx(n),
          tempfy(n),
          Estim(n),
          Estim_rot(n),
          Gamma_out(n),
          Mu_out(n),
          div(n),
          exdiv(n),
          fx_div(n),
          fy_div(n),
          Itdt_reg(n),
          residual_reg(n) {}
    std::vector<float> fx, fy, ft;        // linearised data term
    std::vector<float> U, V;              // total wind (columns, lines), pixels of the level
    std::vector<float> U_temp, V_temp;    // initial wind
    std::vector<float> O_Itdt;            // t + dt image registered on the total wind
    std::vector<float> Data_out;          // robust data weights
    std::vector<float> u, v;              // increment of the current grid level
    std::vector<float> tempfx, tempfy;    // derivatives of O_Itdt
    std::vector<float> Estim, Estim_rot;  // auxiliary divergence and vorticity
    std::vector<float> Gamma_out, Mu_out;
    // Terms fixed for a grid level (functions of U and V): divergence of (U, V), its exponential
    // and derivatives, and the t + dt image registered on (U, V).
    std::vector<float> div, exdiv, fx_div, fy_div, Itdt_reg;
    // Itdt_reg holds the registration of register_and_filter, on the U, V of the next
    // prepare_layer, which takes it instead of registering again.
    bool registered = false;
    std::vector<float> residual_reg;   // 0.166 T2 * (exdiv Itdt_reg - It), of the vertical winds
    AuxiliaryFitScratch fit_scratch;   // work memory of the layer's auxiliary fits
    AffineSystemCache affine_systems;  // block matrices shared by the sweeps of one ICM call
    std::string messages;              // console text of the layer's ICM sweeps
    // The data term (fx, fy, ft, Data_out) changed since the layer's last ICM sweeps: their
    // block matrices no longer hold.
    bool data_changed = true;
    // Fast mode only (empty otherwise): the increments before the layer's last ICM sweeps and at
    // the start of the alternation, and the larger mean change of u or v in those sweeps (px).
    std::vector<float> u_before, v_before, u_alternation, v_alternation;
    float move = 0.0f;
    std::vector<short> It[kPyramidSlots], Itdt[kPyramidSlots];  // image pyramids at t, t + dt
    BlockList parcours;
    short it_HS = 0;
    int Conv_HS = 0;
    // With -border replicate or -mask only (empty otherwise): the known samples of the images at
    // t and t + dt per pyramid level, and the pixels whose data term counts at the grid level.
    std::vector<unsigned char> valid_t[kPyramidSlots], valid_tdt[kPyramidSlots];
    std::vector<unsigned char> data_valid;
};

// The mean of |a[k] - b[k]| over k < n, summed in double in index order (0 for n = 0).
float mean_change(const float* a, const float* b, std::size_t n);

// The pyramid level being estimated and its size: nc x nl samples, row stride nc.
struct Level {
    short resol;
    short nc, nl;
};

class RunRecord;

class Run {
  public:
    // record: the run record to keep up to date, or null.
    explicit Run(const RunParameters& p, RunRecord* record = nullptr);
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    // Every time step: inputs, coarse-to-fine estimation, results. Returns the exit status.
    int execute();

  private:
    // run_input.cpp
    void read_image_list();
    void set_sizes();
    void allocate();
    void read_densities();
    void read_step_inputs(int step);
    void read_layer_images(int step, int l);
    void read_real_image(const std::string& name, short* im);
    void build_pyramids();
    void set_initial_fields(int step);
    void register_and_filter(Layer& layer, const short* Itdt, float* U, float* V, short nc,
                             short nl);
    // border_mask.cpp (with -border replicate or -mask)
    void read_mask(const std::string& name, unsigned char* known);
    void extend_image(int step, int l, int which, short* im, short* dst);
    void extend_densities();
    void build_validity_pyramids();
    void update_data_validity(int L, const Level& lv);
    void drop_invalid_data(int L, const Level& lv);
    void write_validity_map(int l, const std::string& name);
    // pyramid_depth.cpp (with -coarseResol given)
    void check_pyramid_depth();
    // coarse_to_fine.cpp
    void estimate();
    void level_initialisation(const Level& lv);
    void alternate(const Level& lv, short scale);
    int vertical_pass(const Level& lv);
    void write_temporary_outputs(const Level& lv);
    void keep_alternation_start(const Level& lv);
    bool alternation_moved(const Level& lv);
    void data_weights(int L, const Level& lv);
    void end_of_grid_level(const Level& lv, short scale);
    void end_of_resolution(Level& lv);
    // layer_updates.cpp
    void prepare_layer(int L, const Level& lv);
    void fit_layer(int L, const Level& lv);
    void icm_sweeps(int L, const Level& lv);
    void queue_layer_tasks(bool icm, const Level& lv);
    void derivative_update(int L, const Level& lv);
    short interface_update(int k, const Level& lv);
    void forget_coefficients();
    // refinement.cpp
    void refine(const Level& lv);
    // run_results.cpp
    void write_results(int step);
    // run_record.cpp
    void start_record();
    void report_fit(int step);
    void finish_record();

    void for_each_layer(const std::function<void(int)>& task) { pool_.run(p_.nb_layers, task); }
    // Where a kernel offers work to idle threads; none with one thread.
    WorkSharing* sharing() { return pool_.threads() > 1 ? &pool_ : nullptr; }
    const std::string& path(int l, int k) const { return nom_seq_[l][k]; }

    RunParameters p_;
    // Registration of the t + dt image on a wind: bilinear, or cubic B-spline with the same zeros.
    WarpFunction warp_;
    std::vector<std::vector<std::string>> nom_seq_;  // [layer][2 step + (0: t, 1: t + dt)]
    std::vector<float> densities_;
    short nb_col_reel_ = 0, nb_lig_reel_ = 0;  // real size
    short nb_col_ = 0, nb_lig_ = 0;            // working size
    std::size_t n_ = 0;                        // working sample count

    std::vector<short> pyr_, Im_reel_temp_;
    std::vector<float> temp_, temp2_, aux_, aux2_;  // scratch of the input and the interfaces
    // The coefficients of the outer sides of the outermost interfaces: the up side of interface
    // 1 (layer 0 and the fixed wind of interface 0) and the down side of interface
    // nb_layers - 1 (the top layer and the fixed wind of interface nb_layers). Nothing that
    // they read changes within a vertical pass.
    std::vector<float> outer_up_a_, outer_up_b_, outer_down_a_, outer_down_b_;
    std::vector<Layer> layers_;
    std::vector<std::vector<float>> wVert_;               // interfaces 0 .. nb_layers
    std::vector<std::vector<float>> rho_[kPyramidSlots];  // [level][0 .. nb_layers]
    std::vector<short> convwVertLayer_;
    long N_ = 0;          // initial block count of the resolution
    long nb_decou_ = 0;   // block splits since the start of the resolution, all layers
    int icm_sweeps_ = 2;  // at most this many ICM sweeps per layer and horizontal repetition
    // The layers side by side: batches of layer work, and each layer's chain of ICM sweeps and
    // auxiliary fits (queue_layer_tasks).
    WorkerPool pool_;
    TemporaryWriter temporary_writer_;
    WindRelaxationScratch wind_scratch_;  // work memory of the interface relaxation
    int coefficients_of_ = 0;  // interface whose coefficients aux_, temp_, aux2_, temp2_ hold
    RunRecord* record_;        // null: no record
    bool validity_ = false;    // -border replicate or -mask: the data term honours validity
    // Whether outer_up_* and outer_down_* hold the coefficients of the current vertical pass.
    bool outer_up_current_ = false, outer_down_current_ = false;
};

#endif
