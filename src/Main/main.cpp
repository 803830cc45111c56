#include "optic_flow_3DMultilayers.h"

int main(int argc, char** argv) {
    return optic_flow_3DMultilayers(argc, argv);
}
