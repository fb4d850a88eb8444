#pragma once
// Scales a 32-bit picture with the Mitchell-Netravali filter (B = C = 1/3),
// separably and in 16.16 fixed point.
#include "crash/codec/DibPixels.h"

namespace corvan::crash {

struct PictureSize {
  int width = 0;
  int height = 0;
};

// The size of a width x height picture scaled to fit maxWidth x maxHeight
// with its aspect ratio kept. Each dimension is at least 1, so extreme
// aspect ratios and empty boxes still give a picture.
PictureSize FitSize(int width, int height, int maxWidth, int maxHeight);

// Fills dst (any size of at least 1 x 1) from src; the fourth byte of every
// destination pixel is 0.
void ResizeMitchell(const DibPixels& src, const DibPixels& dst);

}  // namespace corvan::crash
