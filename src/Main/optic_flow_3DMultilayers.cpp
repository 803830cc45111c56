// The run driver: reads the image list and the densities, owns every buffer of the run, and for
// each pair of consecutive time samples estimates coarse to fine (image pyramid, then block
// hierarchy) the horizontal wind of every layer and the vertical wind of every interior
// interface, alternating horizontal ICM passes and vertical relaxation passes, then writes the
// results next to the layer's image at time t.
#include "optic_flow_3DMultilayers.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <condition_variable>
#include <deque>
#include <string>
#include <vector>

#include "affine.h"
#include "auxiliary_fit.h"
#include "bspline.h"
#include "gaussian.h"
#include "bib_LP_ansi.h"
#include "bib_ansi.h"
#include "fail.h"
#include "filter_masks.h"
#include "image_extras.h"
#include "image_list.h"
#include "io_field.h"
#include "layer_terms.h"
#include "lissage_3D.h"
#include "lissage_div_curl.h"
#include "operations_images.h"
#include "options.h"
#include "physical_constants.h"
#include "relax.h"
#include "run_checks.h"
#include "vertical_relaxation.h"
#include "worker_pool.h"

using cimg_library::CImg;

void error(const char* message) {
    fail(FailStyle::Banner, "%s", message);
}

namespace {

constexpr float kGmin = 0.0f;      // gradient threshold of the block activity test
constexpr float kCondConv = 3.0f;  // ICM convergence threshold, percent of blocks
constexpr int kPyramidSlots = 4;
constexpr int kMaxAlternations = 100;
constexpr int kMaxRepetitions = 500;
constexpr float kMedianThreshold = 300.0f;
constexpr int kMedianSize = 3;

const char* const kStarLine = "*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*-*- ";

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
    std::vector<float> residual_reg;   // 0.166 T2 * (exdiv Itdt_reg - It), of the vertical winds
    AuxiliaryFitScratch fit_scratch;   // work memory of the layer's auxiliary fits
    AffineSystemCache affine_systems;  // block matrices shared by the sweeps of one ICM call
    std::string messages;              // console text of the layer's ICM sweeps
    std::vector<short> It[kPyramidSlots], Itdt[kPyramidSlots];  // image pyramids at t, t + dt
    BlockList parcours;
    short it_HS = 0;
    int Conv_HS = 0;
};

// The temporary outputs of one pass at its nc x nl size: the winds (U + u, V + v) of layers 0
// .. 2 and the vertical winds of interfaces 1 and 2.
struct PassSnapshot {
    short nc = 0, nl = 0, nb_layers = 0;
    std::vector<float> wU[3], wV[3];
    std::vector<float> wind[3];  // entry 0 unused
};

// Layer L's wind as a two-plane motion-field file; skipped for a missing layer.
void write_layer_field(PassSnapshot& s, int L, const char* name) {
    if (L >= s.nb_layers) return;
    write_motion_planes(name, s.wU[L].data(), s.wV[L].data(), s.nc, s.nl);
}

// The text matrix of interface k's wind; skipped for a missing interface.
void write_interface_text(PassSnapshot& s, int k, const char* name) {
    if (k >= s.nb_layers) return;
    Cree_fichier_image(name, CImg<float>(s.wind[k].data(), s.nc, s.nl, 1, 1, true));
}

// "./temp2D_Lay01.xaf", "./temp2D_Lay12.xaf", "./tempUp_Lay1.matlab", "./temp2D_Lay23.xaf",
// "./tempUp_Lay2.matlab", in this order.
void write_pass_snapshot(PassSnapshot& s) {
    write_layer_field(s, 0, "./temp2D_Lay01.xaf");
    write_layer_field(s, 1, "./temp2D_Lay12.xaf");
    write_interface_text(s, 1, "./tempUp_Lay1.matlab");
    write_layer_field(s, 2, "./temp2D_Lay23.xaf");
    write_interface_text(s, 2, "./tempUp_Lay2.matlab");
}

// Writes the temporary outputs of the passes on a thread of its own, at the lowest
// priority, while the estimation goes on (runs with a single thread write every pass in place).
// A pass still waiting when the next one ends is superseded by it: the files always hold a
// whole pass, the passes in order, and after flush() the last one; the run holds at most two
// copies of the winds.
class TemporaryWriter {
  public:
    explicit TemporaryWriter(bool background) : background_(background) {
        if (background_) thread_ = std::thread([this] { loop(); });
    }
    ~TemporaryWriter() {
        if (!background_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    TemporaryWriter(const TemporaryWriter&) = delete;
    TemporaryWriter& operator=(const TemporaryWriter&) = delete;

    // Hands a snapshot to the writer thread; one still waiting is superseded by it.
    void post(std::unique_ptr<PassSnapshot> snap) {
        std::unique_ptr<PassSnapshot> superseded;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            superseded = std::move(pending_);
            pending_ = std::move(snap);
        }
        changed_.notify_all();
    }
    bool background() const { return background_; }
    // Returns once every posted snapshot is on disk.
    void flush() {
        if (!background_) return;
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return !pending_ && !writing_; });
    }

  private:
    void loop() {
        // The estimation has priority; the writer takes the time the estimation leaves.
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return stop_ || pending_; });
            if (!pending_) return;
            std::unique_ptr<PassSnapshot> snap = std::move(pending_);
            writing_ = true;
            changed_.notify_all();
            lock.unlock();
            write_pass_snapshot(*snap);
            lock.lock();
            snap.reset();
            writing_ = false;
            changed_.notify_all();
        }
    }

    bool background_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::unique_ptr<PassSnapshot> pending_;
    bool writing_ = false, stop_ = false;
};

class Run {
  public:
    Run(const RunParameters& p, int threads)
        : p_(p),
          warp_(p.warp_bspline ? Recal_bspline : Recal_fl),
          pool_(threads),
          temporary_writer_(pool_.threads() > 1) {}
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    int execute();

  private:
    void read_image_list();
    void read_densities();
    void set_sizes();
    void allocate();
    void read_layer_images(int step, int l);
    void build_pyramids();
    void set_initial_fields(int step);
    void estimate();
    void level_initialisation(short resol, short nc, short nl);
    void alternate(short resol, short nc, short nl);
    void end_of_grid_level(short resol, short scale, short nc, short nl);
    void end_of_resolution(short resol, short* nc, short* nl);
    void prepare_layer(int L, short resol, short nc, short nl);
    void fit_layer(int L, short nc, short nl);
    void icm_sweeps(int L, short resol, short nc, short nl);
    void queue_layer_tasks(bool icm, short resol, short nc, short nl);
    void derivative_update(int L, short resol, short nc, short nl);
    short interface_update(int k, short resol, short nc, short nl);
    void register_and_filter(Layer& layer, const short* Itdt, float* U, float* V, short nc,
                             short nl);
    void for_each_layer(const std::function<void(int)>& task);
    void write_temporary_outputs(short nc, short nl);
    void write_results(int step);
    const std::string& path(int l, int k) const { return nom_seq_[l][k]; }

    RunParameters p_;
    // Registration of the t + dt image on a wind: bilinear, or cubic B-spline with the same zeros.
    WarpFunction warp_ = Recal_fl;
    std::vector<std::vector<std::string>> nom_seq_;  // [layer][2 step + (0: t, 1: t + dt)]
    std::vector<float> densities_;
    short nb_col_reel_ = 0, nb_lig_reel_ = 0;  // real size
    short nb_col_ = 0, nb_lig_ = 0;            // working size
    std::size_t n_ = 0;                        // working sample count

    std::vector<short> pyr_, Im_reel_temp_;
    std::vector<float> Ureel_, Vreel_;
    std::vector<float> temp_, temp2_, aux_, aux2_;  // scratch of the input and the interfaces
    std::vector<Layer> layers_;
    std::vector<std::vector<float>> wVert_;               // interfaces 0 .. nb_layers
    std::vector<std::vector<float>> rho_[kPyramidSlots];  // [level][0 .. nb_layers]
    std::vector<short> convwVertLayer_;
    long N_ = 0;         // initial block count of the resolution
    long nb_decou_ = 0;  // block splits since the start of the resolution, all layers
    WorkerPool pool_;    // layers processed side by side
    TemporaryWriter temporary_writer_;
    WindRelaxationScratch wind_scratch_;  // work memory of the interface relaxation
    int coefficients_of_ = 0;  // interface whose coefficients aux_, temp_, aux2_, temp2_ hold
};

void Run::read_image_list() {
    const ImageList list = ::read_image_list(p_.ifn1, p_.nb_seq, p_.nb_layers);
    if (!list.problem.empty()) fail(FailStyle::Banner, "Error : %s", list.problem.c_str());
    const int per_layer = 2 * (p_.nb_seq - 1);
    nom_seq_.assign(p_.nb_layers, std::vector<std::string>(per_layer));
    for (int l = 0; l < p_.nb_layers; ++l)
        for (int k = 0; k < per_layer; ++k) nom_seq_[l][k] = list.paths[l * per_layer + k];
}

void Run::set_sizes() {
    if (p_.crop == 1) {
        short Dx = 0, Dy = 0;  // checks that the first image exists and holds the window
        entete_pgm(path(0, 0).c_str(), &Dx, &Dy);
        if (p_.ofx + p_.nb_col_reel > Dx || p_.ofy + p_.nb_lig_reel > Dy)
            fail(FailStyle::Banner,
                 "Error : the crop window of %d x %d at column %d, line %d (-dx -dy -ofx -ofy) "
                 "does not fit in the %d x %d image '%s'",
                 p_.nb_col_reel, p_.nb_lig_reel, p_.ofx, p_.ofy, Dx, Dy, path(0, 0).c_str());
    } else {
        entete_pgm(path(0, 0).c_str(), &nb_col_reel_, &nb_lig_reel_);
    }
    if (p_.crop == 1) {
        nb_col_reel_ = p_.nb_col_reel;
        nb_lig_reel_ = p_.nb_lig_reel;
    }
    check_working_size(nb_col_reel_, nb_lig_reel_, p_.Coarse_resol, p_.Coarse_scale);
    Modif_Taille_Image_2(nb_col_reel_, nb_lig_reel_, p_.Coarse_resol, p_.Coarse_scale, &nb_col_,
                         &nb_lig_);
    n_ = static_cast<std::size_t>(nb_col_) * static_cast<std::size_t>(nb_lig_);
}

void Run::allocate() {
    const std::size_t reel = static_cast<std::size_t>(nb_col_reel_) * nb_lig_reel_;
    pyr_.assign(n_, 0);
    Ureel_.assign(reel, 0.0f);
    Vreel_.assign(reel, 0.0f);
    for (auto* b : {&temp_, &temp2_, &aux_, &aux2_}) b->assign(n_, 0.0f);
    Im_reel_temp_.assign(reel, 0);
    layers_.reserve(p_.nb_layers);
    for (int l = 0; l < p_.nb_layers; ++l) layers_.emplace_back(n_);
    wVert_.assign(p_.nb_layers + 1, std::vector<float>(n_, 0.0f));
    convwVertLayer_.assign(p_.nb_layers + 1, 0);
    for (int k = 0; k <= p_.Coarse_resol; ++k) {
        const std::size_t nk = static_cast<std::size_t>(nb_col_ >> k) * (nb_lig_ >> k);
        for (Layer& layer : layers_) {
            layer.It[k].assign(nk, 0);
            layer.Itdt[k].assign(nk, 0);
        }
        rho_[k].assign(p_.nb_layers + 1, std::vector<float>(nk, 0.0f));
    }
}

void Run::read_densities() {
    std::cout << "\n\n\n*-*-*-*-*-* Reading density values*-*-*-*-*-*-*-*-*-*- " << std::endl;
    FILE* f = std::fopen(p_.ifn2.c_str(), "r");
    if (!f) fail(FailStyle::Banner, "Error : cannot open the density file '%s'", p_.ifn2.c_str());
    std::cout << "surface layer: " << 0 << " with density: " << kSurfaceDensity << std::endl;
    densities_.assign(p_.nb_layers, 0.0f);
    for (int l = 0; l < p_.nb_layers; ++l) {
        const float value = read_density(f, p_.ifn2.c_str(), l, p_.nb_layers);
        densities_[l] = value;
        std::cout << "surface layer: " << l + 1 << " with density: " << value << std::endl;
    }
    std::fclose(f);
}

// Reads the pair of images of layer l for time step `step` into the finest pyramid levels.
void Run::read_layer_images(int step, int l) {
    Layer& layer = layers_[l];
    for (int which = 0; which < 2; ++which) {
        const std::string& name = path(l, 2 * step + which);
        short* im = Im_reel_temp_.data();
        if (p_.crop == 1) {
            read_crop_pgm(name.c_str(), im, nb_col_reel_, nb_lig_reel_, p_.ofx, p_.ofy);
        } else {
            short c = 0, r = 0;
            entete_pgm(name.c_str(), &c, &r);
            if (c != nb_col_reel_ || r != nb_lig_reel_)
                fail("image %s is %d x %d; every image of the run must be %d x %d like the first",
                     name.c_str(), c, r, nb_col_reel_, nb_lig_reel_);
            read_pgm(name.c_str(), im, &nb_col_reel_, &nb_lig_reel_);
        }
        const int count = nb_col_reel_ * nb_lig_reel_;
        for (int k = 0; k < count; ++k) {
            const short x = im[k];
            if (which == 0 && x > 1021) {
                im[k] = 9999;  // saturated sample of the t image
            } else {
                im[k] = static_cast<short>(static_cast<long double>(x) * 100.0L *
                                           static_cast<long double>(0.01));
                if (which == 1) layer.O_Itdt[k] = static_cast<float>(im[k]);
            }
        }
        short* dst = which == 0 ? layer.It[0].data() : layer.Itdt[0].data();
        expand_ima(im, dst, nb_col_reel_, nb_lig_reel_, nb_col_, nb_lig_);
    }
}

void Run::build_pyramids() {
    for (int l = 0; l <= p_.nb_layers; ++l) {
        short nc = nb_col_, nl = nb_lig_;
        for (int k = 0; k < p_.Coarse_resol; ++k) {
            if (l < p_.nb_layers) {
                Layer& layer = layers_[l];
                for (std::vector<short>* pyramid : {layer.It, layer.Itdt}) {
                    Filtre_H(temp_.data(), pyramid[k].data(), filtre_PB_burt, 5, nc, nl);
                    Filtre_V_f(temp_.data(), temp_.data(), filtre_PB_burt, 5, nc, nl);
                    Float_to_short(temp_.data(), pyr_.data(), nc, nl);
                    Decimation(pyramid[k + 1].data(), pyr_.data(), nc, nl, 2);
                }
            }
            Filtre_H_f(temp_.data(), rho_[k][l].data(), filtre_PB_burt, 5, nc, nl);
            Filtre_V_f(temp_.data(), temp_.data(), filtre_PB_burt, 5, nc, nl);
            Decimation_f(rho_[k + 1][l].data(), temp_.data(), nc, nl, 2);
            nc = static_cast<short>(static_cast<unsigned short>(nc) >> 1);
            nl = static_cast<short>(static_cast<unsigned short>(nl) >> 1);
        }
        if (l < p_.nb_layers) {
            Layer& layer = layers_[l];
            Copy_sh2f(layer.O_Itdt.data(), layer.Itdt[p_.Coarse_resol].data(), nc, nl);
        }
    }
}

// O_Itdt = MedianOnGrad(Itdt registered on (U, V)), at the nc x nl size. Works in the
// layer's own scratch, so layers can be processed side by side.
void Run::register_and_filter(Layer& layer, const short* Itdt, float* U, float* V, short nc,
                              short nl) {
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    std::vector<float> temp_buffer(n), aux_buffer(n);
    float* temp = temp_buffer.data();
    float* aux = aux_buffer.data();
    Copy_sh2f(temp, const_cast<short*>(Itdt), nc, nl);
    warp_(U, V, aux, temp, nc, nl);
    const CImg<float> filtered =
        MedianOnGrad(CImg<float>(aux, nc, nl), kMedianSize, kMedianThreshold);
    std::copy(filtered.data(), filtered.data() + static_cast<std::size_t>(nc) * nl,
              layer.O_Itdt.begin());
}

void Run::for_each_layer(const std::function<void(int)>& task) {
    pool_.run(p_.nb_layers, task);
}

void Run::set_initial_fields(int step) {
    const short resol = p_.Coarse_resol;
    const short nc = nb_col_ >> resol, nl = nb_lig_ >> resol;
    if (p_.Init3D == 0) {
        for (Layer& layer : layers_)
            Copy_sh2f(layer.O_Itdt.data(), layer.Itdt[resol].data(), nc, nl);
    } else {
        for (int l = 0; l < p_.nb_layers; ++l) {
            Layer& layer = layers_[l];
            const std::string name = path(l, 2 * step) + ".xaf";
            short c = 0, r = 0, code = 0;
            read_entete_field(name.c_str(), &c, &r, &code);
            if (code != 0) fail("cannot read the initial motion-field file %s", name.c_str());
            if (c != nb_col_ || r != nb_lig_)
                fail("initial motion-field file %s is %d x %d; the working size is %d x %d",
                     name.c_str(), c, r, nb_col_, nb_lig_);
            const CImg<float> field =
                lire_XAmotionH(name.c_str(), nb_col_, nb_lig_, 0, 0, nb_col_, nb_lig_);
            for (int y = 0; y < nb_lig_; ++y)
                for (int x = 0; x < nb_col_; ++x) {
                    layer.U_temp[static_cast<std::size_t>(y) * nb_col_ + x] = field(x, y, 0);
                    layer.V_temp[static_cast<std::size_t>(y) * nb_col_ + x] = field(x, y, 1);
                }
        }
        for (Layer& layer : layers_)
            register_and_filter(layer, layer.Itdt[0].data(), layer.U_temp.data(),
                                layer.V_temp.data(), nb_col_, nb_lig_);
    }
    for (Layer& layer : layers_) {
        Copie_float(layer.U.data(), layer.U_temp.data(), nc, nl);
        Copie_float(layer.V.data(), layer.V_temp.data(), nc, nl);
    }
}

// Terms of layer L fixed for the grid level: divergence of (U, V), its exponential and
// derivatives, the t + dt image registered on (U, V) and the smoothed residual of the
// vertical-wind equation. U, V and the images do not change until the end of the level.
void Run::prepare_layer(int L, short resol, short nc, short nl) {
    Layer& layer = layers_[L];
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    std::vector<float> scratch_a(n);
    divergence_terms(layer.div.data(), layer.exdiv.data(), layer.fx_div.data(), layer.fy_div.data(),
                     layer.U.data(), layer.V.data(), nc, nl);
    registered_image(layer.Itdt_reg.data(), layer.Itdt[resol].data(), layer.U.data(),
                     layer.V.data(), nc, nl, scratch_a.data(), warp_);
    smoothed_residual(layer.residual_reg.data(), layer.exdiv.data(), layer.Itdt_reg.data(),
                      layer.It[resol].data(), filtre_T2, nc, nl, scratch_a.data());
}

// The auxiliary fits (Estim_Regulees_Rob) of layer L. They read U, V, u, v and write only
// Estim and Estim_rot.
void Run::fit_layer(int L, short nc, short nl) {
    Layer& layer = layers_[L];
    fit_auxiliary_fields(layer.Estim.data(), layer.Estim_rot.data(), layer.U.data(), layer.V.data(),
                         layer.u.data(), layer.v.data(), nc, nl, p_.coef_regul, p_.sigma_inter,
                         layer.fit_scratch);
}

// At most two ICM sweeps of layer L; its console text is kept in the layer.
void Run::icm_sweeps(int L, short resol, short nc, short nl) {
    Layer& layer = layers_[L];
    CapturedOutput capture(&layer.messages);
    layer.it_HS = 0;
    layer.Conv_HS = 1;
    layer.affine_systems.forget();  // the data term changed since the last call
    const LayerImages images{layer.U.data(),
                             layer.V.data(),
                             layer.u.data(),
                             layer.v.data(),
                             layer.fx.data(),
                             layer.fy.data(),
                             layer.ft.data(),
                             layer.Data_out.data(),
                             nc,
                             nl};
    SmoothingEnergy energy;
    energy.lambda = p_.lambda;
    energy.Estim = layer.Estim.data();
    energy.Estim_rot = layer.Estim_rot.data();
    energy.It = layer.It[resol].data();
    do {
        layer.Conv_HS = icm_sweep(images, energy, layer.parcours.get(), 4, kCondConv,
                                  &layer.affine_systems, pool_.threads() > 1 ? &pool_ : nullptr);
        layer.it_HS += 1;
    } while (layer.Conv_HS != 0 && layer.it_HS < 2);
}

// Queues, for every layer, its ICM sweeps (when icm is set) and then its auxiliary fits, at the
// nc x nl size, on the layer's chain of the pool: a layer's tasks run after the ones queued
// before them, the layers side by side, ICM sweeps first. Between the queueing and
// pool_.wait_chains(true), the caller may do anything that neither reads Estim, Estim_rot nor
// changes U, V, u, v, fx, fy, ft, Data_out (the derivative updates, once pool_.wait_chains(false)
// returned; the interface updates; the temporary outputs).
void Run::queue_layer_tasks(bool icm, short resol, short nc, short nl) {
    for (int L = 0; L < p_.nb_layers; ++L) {
        if (icm) pool_.chain(L, true, [this, L, resol, nc, nl] { icm_sweeps(L, resol, nc, nl); });
        pool_.chain(L, false, [this, L, nc, nl] { fit_layer(L, nc, nl); });
    }
}

// Linearised data term of layer L with the density flux through its two interfaces:
// (fx, fy) = grad(exp(div W) Itdt), ft = smoothed (exp(div W) Itdt - It), corrected by the flux
// difference F = 88.29 (rho_L w_L - rho_L+1 w_L+1), first order where |div W| <= 0.01.
// The smoothed residual 0.166 T2 * (exp(div) O_Itdt - It) goes first into ft (fx serving as
// scratch), then each pixel's ft is read before it is rewritten.
void Run::derivative_update(int L, short resol, short nc, short nl) {
    Layer& layer = layers_[L];
    smoothed_residual(layer.ft.data(), layer.exdiv.data(), layer.O_Itdt.data(),
                      layer.It[resol].data(), filtre_T2, nc, nl, layer.fx.data());
    const MassTermsView terms{layer.div.data(),
                              layer.exdiv.data(),
                              layer.fx_div.data(),
                              layer.fy_div.data(),
                              layer.O_Itdt.data(),
                              layer.ft.data(),
                              nullptr,
                              nullptr,
                              layer.tempfx.data(),
                              layer.tempfy.data()};
    data_term_update(layer.fx.data(), layer.fy.data(), layer.ft.data(), terms,
                     rho_[resol][L].data(), rho_[resol][L + 1].data(), wVert_[L].data(),
                     wVert_[L + 1].data(), kFluxScale, 0, nc * nl);
}

// What the vertical-wind equation of a layer reads, with its smoothed residual
// 0.166 T2 * (exp(div) Itdt_reg - It) in ft_mass.
MassTermsView mass_terms(const Layer& layer, const float* ft_mass) {
    return {layer.div.data(),    layer.exdiv.data(),    layer.fx_div.data(),
            layer.fy_div.data(), layer.Itdt_reg.data(), ft_mass,
            layer.u.data(),      layer.v.data(),        layer.tempfx.data(),
            layer.tempfy.data()};
}

// Vertical wind of interface k (between layers k - 1 and k); 0 when converged. The coefficients
// of the layer below (Up) and above (Down) come from the layers' increment terms.
short Run::interface_update(int k, short resol, short nc, short nl) {
    const Layer& below = layers_[k - 1];
    const Layer& above = layers_[k];
    const int n = nc * nl;
    // Each side's smoothed residual was computed with the layer's level terms. Two updates of
    // the same interface in a row (where the sweep turns) share their coefficients: only
    // wVert[k] changed in between, and the coefficients do not depend on it.
    if (coefficients_of_ != k)
        pool_.run(2, [&](int side) {
            if (side == 0)
                interface_coefficients_up(aux_.data(), temp_.data(),
                                          mass_terms(below, below.residual_reg.data()),
                                          rho_[resol][k].data(), rho_[resol][k - 1].data(),
                                          wVert_[k - 1].data(), kFluxScale, 0, n);
            else
                interface_coefficients_down(aux2_.data(), temp2_.data(),
                                            mass_terms(above, above.residual_reg.data()),
                                            rho_[resol][k].data(), rho_[resol][k + 1].data(),
                                            wVert_[k + 1].data(), kFluxScale, 0, n);
        });
    coefficients_of_ = k;
    return relax_interface_wind(wVert_[k].data(), below.Data_out.data(), above.Data_out.data(),
                                aux_.data(), temp_.data(), aux2_.data(), temp2_.data(), p_.betaW,
                                p_.sigma_W, nc, nl, wind_scratch_);
}

// The layers are prepared side by side: a layer's preparation reads only its own fields and
// the vertical winds, which the interface updates change only afterwards, in interface order.
void Run::level_initialisation(short resol, short nc, short nl) {
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        Maz_f(layer.u.data(), nb_col_, nb_lig_);
        Maz_f(layer.v.data(), nb_col_, nb_lig_);
        Maz_theta(layer.parcours.get());
        Filtre_f_2D_f(layer.tempfx.data(), layer.O_Itdt.data(), filtre_GX2, 5, 5, nc, nl);
        Norm_f(layer.tempfx.data(), layer.tempfx.data(), kDerivativeNorm, nc, nl);
        Filtre_f_2D_f(layer.tempfy.data(), layer.O_Itdt.data(), filtre_GY2, 5, 5, nc, nl);
        Norm_f(layer.tempfy.data(), layer.tempfy.data(), kDerivativeNorm, nc, nl);
        prepare_layer(L, resol, nc, nl);
        derivative_update(L, resol, nc, nl);
        Maz_Data_O(layer.Data_out.data(), nb_col_, nb_lig_);
        Maz_Data_O(layer.Gamma_out.data(), nb_col_, nb_lig_);
        Maz_Data_O(layer.Mu_out.data(), nb_col_, nb_lig_);
        Indic_Grad_Min(layer.parcours.get(), layer.fx.data(), layer.fy.data(),
                       layer.Data_out.data(), kGmin, nc, nl);
        layer.affine_systems.forget_blocks();  // a new block list or new active blocks
        Data_Out_Gen_f(layer.u.data(), layer.v.data(), layer.fx.data(), layer.fy.data(),
                       layer.ft.data(), p_.sigma1, nc, nl, layer.Data_out.data());
        BordMisAZero(layer.Data_out.data(), nc, nl);
    });
    queue_layer_tasks(false, resol, nc, nl);
    coefficients_of_ = 0;
    for (int L = 1; L < p_.nb_layers; ++L) interface_update(L, resol, nc, nl);
}

// The temporary outputs of the pass (write_pass_snapshot) at the current size; with several
// threads they are written by the writer thread while the estimation goes on.
void Run::write_temporary_outputs(short nc, short nl) {
    const std::size_t n = static_cast<std::size_t>(nc) * nl;
    auto snap = std::make_unique<PassSnapshot>();
    snap->nc = nc;
    snap->nl = nl;
    snap->nb_layers = p_.nb_layers;
    for (int L = 0; L < 3 && L < p_.nb_layers; ++L) {
        const Layer& layer = layers_[L];
        snap->wU[L].resize(n);
        snap->wV[L].resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            snap->wU[L][k] = layer.U[k] + layer.u[k];
            snap->wV[L][k] = layer.V[k] + layer.v[k];
        }
    }
    for (int k = 1; k < 3 && k < p_.nb_layers; ++k)
        snap->wind[k].assign(wVert_[k].begin(), wVert_[k].begin() + n);
    if (temporary_writer_.background())
        temporary_writer_.post(std::move(snap));
    else
        write_pass_snapshot(*snap);
}

void Run::alternate(short resol, short nc, short nl) {
    int Nb_it = 0;
    int Conv = 1;
    do {
        // Horizontal pass: at most two ICM sweeps per layer and repetition.
        int countV = 0;
        bool convVariable_UV = false;
        if (p_.nb_layers < 1) {
            countV = 1;
        } else {
            do {
                // The layers are independent here: each one's ICM sweeps, auxiliary fits and
                // derivative update read and write only its own fields.
                for (int L = 0; L < p_.nb_layers; ++L) convwVertLayer_[L] = 1;
                queue_layer_tasks(true, resol, nc, nl);
                pool_.wait_chains(false);
                for (Layer& layer : layers_) {
                    std::fputs(layer.messages.c_str(), stdout);
                    layer.messages.clear();
                }
                convVariable_UV = false;
                for (const Layer& layer : layers_)
                    if (layer.Conv_HS != 0) convVariable_UV = true;
                countV += 1;
                for_each_layer([&](int L) { derivative_update(L, resol, nc, nl); });
            } while (convVariable_UV && countV < kMaxRepetitions);
        }
        std::cout << "horizontale : " << countV;

        // Vertical pass: upward then downward sweep over the interior interfaces.
        int countW = 0;
        if (p_.nb_layers < 2) {
            countW = 1;
        } else {
            bool convVariable_wVert = false;
            coefficients_of_ = 0;  // the increments changed in the horizontal pass
            do {
                for (int k = 1; k <= p_.nb_layers - 1; ++k)
                    convwVertLayer_[k] = interface_update(k, resol, nc, nl);
                for (int k = p_.nb_layers - 1; k >= 1; --k)
                    convwVertLayer_[k] = interface_update(k, resol, nc, nl);
                convVariable_wVert = false;
                for (int k = 1; k <= p_.nb_layers - 1; ++k)
                    if (convwVertLayer_[k] != 0) convVariable_wVert = true;
                countW += 1;
            } while (convVariable_wVert && countW < kMaxRepetitions);
        }
        std::cout << ",\tvertical : " << countW << std::endl;

        for_each_layer([&](int L) {
            Layer& layer = layers_[L];
            derivative_update(L, resol, nc, nl);
            Data_Out_Gen_f(layer.u.data(), layer.v.data(), layer.fx.data(), layer.fy.data(),
                           layer.ft.data(), p_.sigma1, nc, nl, layer.Data_out.data());
            BordMisAZero(layer.Data_out.data(), nc, nl);
        });

        if (countV == 1 && countW == 1 && Nb_it > 0) {
            Conv = 0;
        } else {
            if (convVariable_UV)
                for (int L = 0; L < p_.nb_layers; ++L)
                    std::cout << L << " : " << layers_[L].Conv_HS << std::endl;
            Conv = 1;
        }
        Nb_it += 1;
        write_temporary_outputs(nc, nl);
    } while (Conv != 0 && Nb_it < kMaxAlternations);
    pool_.wait_chains(true);
    if (Conv == 0)
        std::cout << "convergence accomplish within " << Nb_it << " iterations " << std::endl;
    else
        std::cout << "convergence not reached within " << Nb_it << " iterations  " << std::endl;
}

// Layers side by side, as many at a time as there are threads (each registration holds a few
// images of work memory).
void Run::end_of_grid_level(short resol, short scale, short nc, short nl) {
    const bool last = scale == p_.fineGrid;  // the last grid level: no re-registration, no split
    std::vector<long> splits(static_cast<std::size_t>(p_.nb_layers), 0);
    for_each_layer([&](int L) {
        Layer& layer = layers_[L];
        Plus_fl(layer.U.data(), layer.U.data(), layer.u.data(), nc, nl);
        Plus_fl(layer.V.data(), layer.V.data(), layer.v.data(), nc, nl);
        if (last) return;
        register_and_filter(layer, layer.Itdt[resol].data(), layer.U.data(), layer.V.data(), nc,
                            nl);
        // Split every block that overlaps the image; continue past its four quarters.
        bloc* courant = layer.parcours.get();
        while (courant) {
            const int T = 1 << courant->taille;
            if (courant->abs + T > 0 && courant->abs < nl && courant->ord + T > 0 &&
                courant->ord < nc) {
                decoupe(courant, nl, nc);
                splits[static_cast<std::size_t>(L)] += 1;
                for (int q = 0; q < 4 && courant; ++q) courant = courant->suiv;
            } else {
                courant = courant->suiv;
            }
        }
    });
    for (long n : splits) nb_decou_ += n;
}

void Run::end_of_resolution(short resol, short* nc, short* nl) {
    for (int L = 0; L < p_.nb_layers; ++L) {
        Layer& layer = layers_[L];
        Maz_f(layer.u.data(), nb_col_, nb_lig_);
        Maz_f(layer.v.data(), nb_col_, nb_lig_);
        layer.parcours.reset();
        if (resol != 0) {
            Norm_f(layer.U.data(), layer.U.data(), 2.0f, *nc, *nl);
            Norm_f(layer.V.data(), layer.V.data(), 2.0f, *nc, *nl);
            Proj_Dup_fl(layer.fx.data(), layer.U.data(), *nc, *nl);
            Proj_Dup_fl(layer.fy.data(), layer.V.data(), *nc, *nl);
            Proj_Dup_fl(layer.ft.data(), wVert_[L].data(), *nc, *nl);
        }
    }
    if (resol == 0) return;
    *nc = static_cast<short>(*nc * 2);
    *nl = static_cast<short>(*nl * 2);
    for (int L = 0; L < p_.nb_layers; ++L) {
        Layer& layer = layers_[L];
        register_and_filter(layer, layer.Itdt[resol - 1].data(), layer.fx.data(), layer.fy.data(),
                            *nc, *nl);
        Copy_f(layer.U.data(), layer.fx.data(), *nc, *nl);
        Copy_f(layer.V.data(), layer.fy.data(), *nc, *nl);
        Copy_f(wVert_[L].data(), layer.ft.data(), *nc, *nl);
    }
}

void Run::estimate() {
    short nc = nb_col_ >> p_.Coarse_resol;
    short nl = nb_lig_ >> p_.Coarse_resol;
    for (short resol = p_.Coarse_resol; resol >= 0; --resol) {
        const short nb_blocs_col = nc >> p_.Coarse_scale;
        const short nb_blocs_lig = nl >> p_.Coarse_scale;
        N_ = static_cast<long>(nb_blocs_lig) * nb_blocs_col;
        for (Layer& layer : layers_) {
            bloc* head = nullptr;
            init_parc(&head, p_.Coarse_scale, resol, nb_col_, nb_lig_, N_, nb_blocs_col);
            layer.parcours.reset(head);
        }
        std::fprintf(stderr, "Initial grid: %hd X %hd blocks of size %hd X %hd\n", nb_blocs_col,
                     nb_blocs_lig, static_cast<short>(nl / nb_blocs_lig),
                     static_cast<short>(nc / nb_blocs_col));
        nb_decou_ = 0;
        for (short scale = p_.Coarse_scale; scale >= p_.fineGrid; --scale) {
            level_initialisation(resol, nc, nl);
            std::fprintf(stderr, "********************************* \n");
            std::fprintf(stderr, "**** Resolution %d grid level %d  **** \n", resol, scale);
            std::fprintf(stderr, "********************************* \n");
            alternate(resol, nc, nl);
            end_of_grid_level(resol, scale, nc, nl);
        }
        end_of_resolution(resol, &nc, &nl);
    }
}

void Run::write_results(int step) {
    std::cout << "\nwriting estimated fields ..." << std::endl;
    for (int l = 0; l < p_.nb_layers; ++l) {
        Layer& layer = layers_[l];
        const std::string& P = path(l, 2 * step);
        ajust_field(layer.U.data(), layer.V.data(), Ureel_.data(), Vreel_.data(), nb_col_,
                    nb_col_reel_, nb_lig_reel_);
        if (p_.postSmooth > 0.0f) {
            Gaussian_smooth_f(Ureel_.data(), Ureel_.data(), p_.postSmooth, nb_col_reel_,
                              nb_lig_reel_);
            Gaussian_smooth_f(Vreel_.data(), Vreel_.data(), p_.postSmooth, nb_col_reel_,
                              nb_lig_reel_);
        }
        const std::string xaf = P + "_3D.xaf";
        short coderr = 0;
        write_field(xaf.c_str(), Ureel_.data(), Vreel_.data(), nb_col_reel_, nb_lig_reel_, &coderr);
        if (coderr != 0) fail("cannot write the motion-field file %s", xaf.c_str());
        write_champ(Ureel_.data(), Vreel_.data(), nb_col_reel_, nb_lig_reel_,
                    (P + "_3D.motion").c_str());
        if (l >= 1) {
            CImg<float> w(nb_col_reel_, nb_lig_reel_);
            for (int y = 0; y < nb_lig_reel_; ++y)
                for (int x = 0; x < nb_col_reel_; ++x)
                    w(x, y) = wVert_[l][static_cast<std::size_t>(y) * nb_col_ + x];
            if (p_.postSmoothW > 0.0f)
                Gaussian_smooth_f(w.data(), w.data(), p_.postSmoothW, nb_col_reel_, nb_lig_reel_);
            write_rawF(w, (P + "_3D.motionUp").c_str());
            Cree_fichier_image((P + "_3D.motionUpMatlab").c_str(), w);
        }
    }
}

int Run::execute() {
    read_image_list();
    p_.sigma1 = p_.sigma1 * p_.sigma1;
    set_sizes();
    if (p_.Init3D != 0 && p_.Coarse_resol != 0) {
        std::fprintf(stderr, "\nNo multiresolution scheme with initialisation 3D\n");
        p_.Coarse_resol = 0;
    }
    check_run_memory(nb_col_reel_, nb_lig_reel_, p_.nb_layers, p_.Coarse_resol, p_.Coarse_scale,
                     available_memory());
    allocate();
    read_densities();
    std::cout << "\n\n\n" << kStarLine << std::endl;
    const std::time_t start = std::time(nullptr);

    for (int i = 0; i <= p_.nb_seq - 2; ++i) {
        std::cout << kStarLine << std::endl;
        std::printf("Processing time %hd\n", static_cast<short>(i + 1));
        std::printf("%s\n", kStarLine);
        std::cout << std::endl;
        for (int l = 0; l < p_.nb_layers; ++l) {
            MaVal_f(rho_[0][0].data(), nb_col_reel_, nb_lig_reel_, kSurfaceDensity);
            MaVal_f(temp_.data(), nb_col_reel_, nb_lig_reel_, densities_[l]);
            expand_ima_f(temp_.data(), rho_[0][l + 1].data(), nb_col_reel_, nb_lig_reel_, nb_col_,
                         nb_lig_);
            std::printf("Input files for layer % d \nImage t : %s\nImage t+dt : %s\n", l,
                        path(l, 2 * i).c_str(), path(l, 2 * i + 1).c_str());
            std::fflush(stdout);
            read_layer_images(i, l);
        }
        std::printf("\n");
        std::cout << std::endl;
        for (Layer& layer : layers_) {
            for (auto* b :
                 {&layer.V, &layer.U, &layer.Estim, &layer.Estim_rot, &layer.V_temp, &layer.U_temp})
                Maz_f(b->data(), nb_col_, nb_lig_);
        }
        for (auto& w : wVert_) Maz_f(w.data(), nb_col_, nb_lig_);
        build_pyramids();
        set_initial_fields(i);
        estimate();
        temporary_writer_.flush();
        write_results(i);
    }
    std::printf("Processing time duration (sec): %d\n",
                static_cast<int>(std::time(nullptr) - start));
    return 0;
}

// Settings the estimator cannot run with end the run through the error report.
void check_parameters(const RunParameters& p) {
    if (p.nb_seq <= 1) error("Error : two image sets are at least required");
    if (p.Coarse_resol < 0 || p.Coarse_resol > 3)
        fail(FailStyle::Banner, "Error : option -coarseResol must be between 0 and 3 (got %d)",
             p.Coarse_resol);
    if (p.Coarse_scale < 0)
        fail(FailStyle::Banner, "Error : option -coarseGrid must not be negative (got %d)",
             p.Coarse_scale);
    if (p.Coarse_resol + p.Coarse_scale > 14)
        fail(FailStyle::Banner,
             "Error : option -coarseGrid %d is too large: with -coarseResol %d the largest value "
             "is %d",
             p.Coarse_scale, p.Coarse_resol, 14 - p.Coarse_resol);
    if (p.nb_layers < 1)
        fail(FailStyle::Banner, "Error : option -nbLayers must be at least 1 (got %d)",
             p.nb_layers);
    if (!(p.sigma_inter > 0.0f))
        fail(FailStyle::Banner, "Error : option -SigmaReg must be greater than 0 (got %g)",
             static_cast<double>(p.sigma_inter));
    if (!(p.sigma_W > 0.0f))
        fail(FailStyle::Banner, "Error : option -SigmaRegW must be greater than 0 (got %g)",
             static_cast<double>(p.sigma_W));
    if (p.crop == 1) {
        if (p.nb_col_reel < 1)
            fail(FailStyle::Banner, "Error : option -dx must be at least 1 (got %d)",
                 p.nb_col_reel);
        if (p.nb_lig_reel < 1)
            fail(FailStyle::Banner, "Error : option -dy must be at least 1 (got %d)",
                 p.nb_lig_reel);
        if (p.ofx < 0)
            fail(FailStyle::Banner, "Error : option -ofx must not be negative (got %d)", p.ofx);
        if (p.ofy < 0)
            fail(FailStyle::Banner, "Error : option -ofy must not be negative (got %d)", p.ofy);
    }
    if (p.fineGrid > p.Coarse_scale)
        fail(FailStyle::Banner,
             "Error : option -fineGrid %d is above -coarseGrid %d; the largest value is %d",
             p.fineGrid, p.Coarse_scale, p.Coarse_scale);
}

// "-threads N": worker threads of the run (0, the default, means one per core); the results do
// not depend on it. Looked up like the other options; its usage line follows theirs.
int parse_threads(int argc, char** argv) {
    bool help = false;
    for (int k = 1; k < argc; ++k)
        if (std::strcmp(argv[k], "-h") == 0) help = true;
    const char* flag = "-threads";
    long value = 0;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], flag) != 0) continue;
        const char* text = k + 1 < argc ? argv[k + 1] : nullptr;
        char* end = nullptr;
        errno = 0;
        if (text) value = std::strtol(text, &end, 10);
        if (!text || end == text || *end != '\0' || errno == ERANGE || value < 0 || value > 1024)
            fail(FailStyle::Banner, "Error : invalid value '%s' for option %s", text ? text : flag,
                 flag);
        break;
    }
    if (help) {
        char text[32];
        std::snprintf(text, sizeof text, "%ld", value);
        std::fprintf(stderr, "    %s%-8s%s = %-12s : %s%s%s\n", "\x1b[1m", flag, "\x1b[0;0;0m",
                     text, "\x1b[0;35;59m", "number of threads (0 = all cores)", "\x1b[0;0;0m");
    }
    return static_cast<int>(value);
}

}  // namespace

int optic_flow_3DMultilayers(int argc, char** argv) {
    const RunParameters p = parse_options(argc, argv);
    const int threads = parse_threads(argc, argv);
    // One malloc arena for all threads: the work memory that threads free goes back to the
    // shared heap instead of staying in per-thread arenas (lower peak memory).
    mallopt(M_ARENA_MAX, 1);
    check_parameters(p);
    try {
        Run run(p, threads);
        return run.execute();
    } catch (const std::bad_alloc&) {
        fail(FailStyle::Banner,
             "Error : not enough memory for this run; use fewer layers (-nbLayers), a crop window "
             "(-crop 1 -dx -dy) or a smaller -coarseGrid");
    }
}
