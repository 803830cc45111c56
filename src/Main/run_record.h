// The run record: a JSON file beside the results (DIR/run.json with -outDir, or the file named by
// -record) that says how they were made: the command line and working folder, every setting in
// effect, the image, real and working sizes, the crop offset, the input files, the densities, the
// program version, the start and end times, and per time step and layer the result files, the fit
// summary and its warnings. It is written whole, under a temporary name renamed when complete,
// when the run starts, after every time step and when the run ends. A run ended by an error
// leaves the status "failed"; a run stopped by a signal leaves "running" with the steps done.
#ifndef RUN_RECORD_H
#define RUN_RECORD_H

#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "fit_summary.h"
#include "options.h"

// The record file of a run: -record FILE, else DIR/run.json with -outDir DIR, else none ("").
std::string record_path(const RunParameters& p);

struct RecordedLayer {
    std::string t_image, tdt_image;  // the input pair, as listed
    std::string results;             // P of the result files P_3D.xaf, ...
    bool fitted = false;             // the step is done and fit holds its summary
    FitSummary fit;
    std::vector<std::string> warnings;
};

class RunRecord {
  public:
    // settings: the options as given (sigmaData before squaring).
    RunRecord(const std::string& path, int argc, char** argv, const RunParameters& settings);
    ~RunRecord();
    RunRecord(const RunRecord&) = delete;
    RunRecord& operator=(const RunRecord&) = delete;

    // What the run fills in, under the lock, before it writes the record.
    std::recursive_mutex lock;
    RunParameters settings;
    int threads = 0;                                // worker threads in use
    int image_size[2] = {0, 0};                     // columns, lines of the first image
    int real_size[2] = {0, 0};                      // the estimated window
    int crop_offset[2] = {0, 0};                    // its top-left column, line in the images
    int working_size[2] = {0, 0};                   // the real size rounded up (pyramid and blocks)
    std::vector<float> densities;                   // per layer, lowest first
    std::vector<std::vector<RecordedLayer>> steps;  // [time step][layer]
    std::string status = "running";                 // running, complete, failed
    std::time_t start = 0, end = 0;                 // end 0: not ended

    // The record as JSON text.
    std::string json() const;
    // Writes the record (the caller holds the lock); the run ends naming the file when it cannot.
    void write() const;
    // The same, returning false instead of ending the run.
    bool try_write() const;

  private:
    std::string path_, working_directory_;
    std::vector<std::string> command_line_;
};

#endif
