// The levels of the fixed palette's regular parts: its 6x6x6 colour cube
// and its grey ramp. The palette is built from them, and a host that
// prepares frames for it (the ordered dither, whose pattern spans one
// step) reads them here: the boundary header passes this on, so it
// depends on nothing.
#pragma once

// The cube: every channel at one of 6 levels, 0, 51, .., 255.
constexpr int kCubeLevels = 6;
constexpr int kCubeStep = 51;

// The grey ramp: 21 greys 6, 18, .., 246.
constexpr int kGreyRampFirst = 6;
constexpr int kGreyRampStep = 12;
constexpr int kGreyRampLevels = 21;
