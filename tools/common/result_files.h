// The result files of a run as the tools find them: paths seen from the run folder, the t image
// that names the files of each layer and time step, and the horizontal wind "<t image>_3D.xaf"
// read whole after its length is checked against its header.
#ifndef RESULT_FILES_H
#define RESULT_FILES_H

#include <string>
#include <vector>

// `path` seen from the run folder `dir`: unchanged when absolute or when dir is "."; otherwise
// dir / path without "." components.
std::string run_path(const std::string& dir, const std::string& path);

// The t image of layer l at time step i (both 0-based) in a run of `steps` time steps, from the
// layer-major image list: line 2 (steps l + i).
const std::string& t_image(const std::vector<std::string>& paths, int steps, int l, int i);

struct MotionField {
    int nb_col = 0, nb_lig = 0;
    std::vector<float> u, v;  // along the columns (to the right), along the lines (downwards)
};

// The size in an xaf file's header, after checking that the file holds exactly
// 4 + 4 columns x lines bytes; otherwise the run ends naming the file.
void motion_field_size(const std::string& path, int* nb_col, int* nb_lig);
// The whole field of such a file.
MotionField read_motion_field(const std::string& path);

#endif
