// CImg as an image container only: no display, no external tools, quiet.
#ifndef CIMG_CONFIG_H
#define CIMG_CONFIG_H

#ifndef cimg_display
#define cimg_display 0
#endif
#ifndef cimg_verbosity
#define cimg_verbosity 0
#endif
#include <CImg.h>

#endif
