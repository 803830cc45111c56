// The command line of the run: the option lookup (the first argument equal to the flag, the
// argument after it is its value; flags in any order; unknown arguments ignored, and named by
// unknown_options), the usage screen printed to standard error when "-h" is among the arguments
// (the run then proceeds), and the run parameters with their defaults.
#ifndef OPTIONS_H
#define OPTIONS_H

#include <string>
#include <vector>

struct RunParameters {
    std::string ifn1 = "./inImage_3D.txt";  // image list
    std::string ifn2 = "./inDensity.txt";   // layer densities
    short nb_seq = 3;                       // time samples per sequence
    short nb_layers = 3;                    // atmospheric layers
    short crop = 0;                         // 1: read the window (ofx, ofy, dx, dy) of each image
    short ofy = 0, ofx = 0;                 // top-left sample of the window
    short nb_lig_reel = 1024, nb_col_reel = 1024;  // window size
    short Coarse_resol = 0;                        // coarsest pyramid level, 0 .. 3
    short Coarse_scale = 5;  // coarsest grid level (blocks of 2^Coarse_scale px)
    // The flags "-alpha", "-lambda" and "-beta" set lambda, coef_regul and betaW.
    float lambda = 700;        // "-alpha": global div-curl regularisation
    float coef_regul = 150;    // "-lambda": regularisation inside the div-curl term
    float betaW = 5000;        // "-beta": vertical-wind regularisation
    float sigma1 = 9;          // robust data-term scale (squared after the list)
    float sigma_inter = 1000;  // robust div-curl regularisation scale
    float sigma_W = 1000;      // robust vertical-wind regularisation scale
    int Init3D = 0;            // nonzero: initial fields from "<t image>.xaf"

    // Opt-in refinements; their defaults leave every result as the plain estimator gives it.
    short fineGrid = 0;         // finest grid level: blocks of 2^fineGrid px at the last level
    bool warp_bspline = false;  // register the t + dt image with cubic B-splines
    float postSmooth = 0.0f;    // Gaussian std (px) applied to the written horizontal winds
    float postSmoothW = 0.0f;   // Gaussian std (px) applied to the written vertical winds
    // Gaussian std (px of the full-resolution images) applied to the divergence of the total
    // wind where it enters the mass-conservation term (exp(div) and its gradient); 0: none.
    float divSmooth = 0.0f;
    // Pyramid depth: "-coarseResol auto" chooses it from the displacement between the images;
    // a -coarseResol given as a number is checked against that displacement (a warning).
    bool coarse_resol_auto = false;
    bool coarse_resol_given = false;
    // Validity of the data term: the padded frame and the samples warped outside the image
    // drop out, images extended by their edge samples ("-border replicate"); masked samples drop
    // out ("-mask 1", a mask file per image).
    bool border_replicate = false;
    bool masks = false;
    // Pixel-level refinement after the finest grid level: warps (0: none) and its div-curl
    // weight (negative: the value of -alpha).
    int refine = 0;
    float refineAlpha = -1.0f;

    int threads = 0;  // worker threads, 0: one per core; no result depends on it
    // Fast mode: block sums in double instead of extended precision, horizontal repetitions and
    // alternations that end once the increments move by less than 0.001 px on average, and the
    // temporary files refreshed once per grid level. Results differ in their last digits.
    bool fast = false;

    // Where the files go and what the run says about itself; no result byte depends on them.
    std::string outDir;    // results and temporary files in this folder; empty: beside the images
    std::string record;    // run record (JSON); empty: outDir/run.json with outDir, else none
    bool summary = false;  // fit summary per step and layer on standard error
};

// The arguments with the options of "-preset NAME" (smooth, turbulent, radar) appended after
// them, so that an option given explicitly wins over the preset's; an unknown name ends the run
// through the error report.
std::vector<std::string> expand_preset(int argc, char** argv);

// Parses the options in their fixed order (the refinements after the others), printing the usage
// screen if "-h" is present. A numeric value that is not a number, or a flag given last without a
// value, ends the run through the error report; so do the out-of-range settings.
RunParameters parse_options(int argc, char** argv);

// The arguments that start with '-' and are neither a flag of the program, the value that follows
// one, "-h" nor a number, each once, in the order they first appear.
std::vector<std::string> unknown_options(int argc, char** argv);

// Settings the estimator cannot run with end the run through the error report: fewer than two
// time samples, -coarseResol outside 0 .. 3, a negative or too large -coarseGrid, no layer,
// robust scales that are not positive, a crop window without samples or with a negative
// offset, -fineGrid above -coarseGrid.
void check_parameters(const RunParameters& p);

#endif
