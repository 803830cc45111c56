// Where a run's files go. By default the results of a layer and time step lie beside its image at
// time t (P_3D.xaf for the t image P) and the temporary files of the passes in the working folder;
// with -outDir DIR both go into DIR, the results under the t image's file name
// (DIR/<file name of P>_3D.xaf). The folder is created before the first step.
#ifndef OUTPUT_PATHS_H
#define OUTPUT_PATHS_H

#include <string>
#include <vector>

// The path the result names of t image P start with: P itself, or DIR/<file name of P>.
std::string result_base(const std::string& P, const std::string& out_dir);

// A temporary file of the passes: "./name", or DIR/name.
std::string temporary_path(const std::string& out_dir, const char* name);

// Creates DIR and its parents when missing; ends the run naming DIR and the reason when it
// cannot, or when DIR exists and is not a folder.
void make_output_folder(const std::string& out_dir);

// With an output folder, two different t images of the same file name (say a/t0.pgm and
// b/t0.pgm) would write the same result files: the run ends naming both before any step.
void check_distinct_result_names(const std::vector<std::vector<std::string>>& nom_seq,
                                 const std::string& out_dir);

#endif
