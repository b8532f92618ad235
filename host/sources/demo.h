// The built-in demo: a rainbow that scrolls sideways under a bouncing white
// ball, in motion by the clock (frame n shows time n * scale / rate), so
// every rate plays at the same speed. In mask mode the frame is twice the
// picture's width and its right half, the mask, is white inside the ball
// and black outside it: the GIF shows the scrolling rainbow through a
// bouncing round window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

constexpr FrameSize kDemoPictureSize = {320, 180};
constexpr FrameRate kDemoRate = {25, 1};
constexpr int32_t kDemoSeconds = 3;

// The frame handed to the plug-in for a demo picture of `picture` pixels.
FrameSize DemoFrameSize(FrameSize picture, bool mask);
// Frames in kDemoSeconds at `rate`, at least 1.
int32_t DemoFrameCount(FrameRate rate);
// Draws demo frame `n` into `frame` (HostFrameBytes(DemoFrameSize(...)) bytes).
void DrawDemoFrame(FrameSize picture, bool mask, FrameRate rate, int32_t n, uint8_t* frame) noexcept;

// The demo of --size's picture (kDemoPictureSize) at --rate (kDemoRate),
// --mask or not: frames 0, 1, 2, ... for as long as they are asked for,
// kDemoSeconds of them unless --frames says otherwise. Null with the reason
// when the plug-in cannot take its frames.
std::unique_ptr<FrameSource> OpenDemo(const Options& options, OpenFailure* failure, std::string* why);

}  // namespace lodra_gif
