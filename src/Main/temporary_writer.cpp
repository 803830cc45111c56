#include "temporary_writer.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "optic_flow_3DMultilayers.h"
#include "output_paths.h"

using cimg_library::CImg;

namespace {

// Layer L's wind as a two-plane motion-field file; skipped for a missing layer.
void write_layer_field(PassSnapshot& s, int L, const std::string& name) {
    if (L >= s.nb_layers) return;
    write_motion_planes(name.c_str(), s.wU[L].data(), s.wV[L].data(), s.nc, s.nl);
}

// The text matrix of interface k's wind; skipped for a missing interface.
void write_interface_text(PassSnapshot& s, int k, const std::string& name) {
    if (k >= s.nb_layers) return;
    Cree_fichier_image(name.c_str(), CImg<float>(s.wind[k].data(), s.nc, s.nl, 1, 1, true));
}

}  // namespace

TemporaryWriter::TemporaryWriter(bool background, const std::string& out_dir)
    : background_(background),
      names_{temporary_path(out_dir, "temp2D_Lay01.xaf"),
             temporary_path(out_dir, "temp2D_Lay12.xaf"),
             temporary_path(out_dir, "tempUp_Lay1.matlab"),
             temporary_path(out_dir, "temp2D_Lay23.xaf"),
             temporary_path(out_dir, "tempUp_Lay2.matlab")} {
    if (background_) thread_ = std::thread([this] { loop(); });
}

void TemporaryWriter::write_pass(PassSnapshot& s) const {
    write_layer_field(s, 0, names_[0]);
    write_layer_field(s, 1, names_[1]);
    write_interface_text(s, 1, names_[2]);
    write_layer_field(s, 2, names_[3]);
    write_interface_text(s, 2, names_[4]);
}

TemporaryWriter::~TemporaryWriter() {
    if (!background_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

std::unique_ptr<PassSnapshot> TemporaryWriter::blank() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spares_.empty()) return std::make_unique<PassSnapshot>();
    std::unique_ptr<PassSnapshot> s = std::move(spares_.back());
    spares_.pop_back();
    return s;
}

void TemporaryWriter::recycle(std::unique_ptr<PassSnapshot>& s) {
    if (s && spares_.size() < 2) spares_.push_back(std::move(s));
}

void TemporaryWriter::write(std::unique_ptr<PassSnapshot> snap) {
    if (!background_) {
        write_pass(*snap);
        std::lock_guard<std::mutex> lock(mutex_);
        recycle(snap);
        return;
    }
    std::unique_ptr<PassSnapshot> superseded;  // released outside the lock when not kept
    {
        std::lock_guard<std::mutex> lock(mutex_);
        superseded = std::move(pending_);
        pending_ = std::move(snap);
        recycle(superseded);
    }
    changed_.notify_all();
}

void TemporaryWriter::flush() {
    if (!background_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !pending_ && !writing_; });
}

void TemporaryWriter::loop() {
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
        write_pass(*snap);
        lock.lock();
        recycle(snap);
        snap.reset();
        writing_ = false;
        changed_.notify_all();
    }
}
