// Reading the image list of a run: one path per line, LF or CR LF, a UTF-8 byte-order mark before
// the first path dropped, empty lines refused.
#include "image_list.h"

#include <fstream>

ImageList read_image_list(const std::string& path, int nb_seq, int nb_layers) {
    const long needed = 2L * (nb_seq - 1) * nb_layers;
    ImageList list;
    std::ifstream in(path);
    if (!in) {
        list.problem = "cannot open the image list '" + path + "'";
        return list;
    }
    std::string line;
    while (static_cast<long>(list.paths.size()) < needed && std::getline(in, line)) {
        if (list.paths.empty() && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        if (line.empty()) {
            list.problem = "line " + std::to_string(list.paths.size() + 1) +
                           " of the image list '" + path + "' is empty; it must hold an image path";
            return list;
        }
        list.paths.push_back(line);
    }
    if (static_cast<long>(list.paths.size()) < needed)
        list.problem = "the image list '" + path + "' holds " + std::to_string(list.paths.size()) +
                       " paths; " + std::to_string(needed) + " are needed (2 x (" +
                       std::to_string(nb_seq) + " time samples - 1) x " +
                       std::to_string(nb_layers) + " layers)";
    return list;
}
