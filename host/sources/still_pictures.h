// Several still pictures as one sequence: `lodra-gif frames/*.png -o x.gif`,
// the names as the shell expands them.
//
// Which inputs those are is decided here, once, for the command line that
// names several: AreStillPictures. Any other set of several inputs (videos,
// or pictures mixed with videos) is a batch of separate exports.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// Whether every one of `inputs` (at least one) is a still picture, by its
// name's extension, in any case: .png .jpg .jpeg .bmp .tif .tiff .webp .ppm
// .pgm .pbm .pam .tga .qoi .jxl. By name rather than by what FFmpeg probes:
// the choice is made before anything is opened, costs nothing, holds in a
// build without the video input, and cannot change with the bytes of a
// file. An animated GIF (.gif) has a rate of its own: it is a video.
bool AreStillPictures(const std::vector<std::string>& inputs);

// Opens `pictures`, in the order given, as one sequence: each is shown for
// 1/R s (R: --rate, 25 by default) and the GIF's rate is --fps, or R brought
// to 50 fps or less, chosen among them as for a video. The first picture
// sets the size (--width, --height, --max-width, --max-height apply to it);
// a later one of another size is scaled to it. The first decides the alpha:
// without it, later pictures are opaque too; with it, a later picture
// without alpha ends the export with an error naming it. Each picture is
// opened only when its turn comes, through the video input, and held alone.
// The time options (--start, --duration, --speed, --max-gap) are refused,
// as is a picture that is the output. Null with the reason on failure.
std::unique_ptr<FrameSource> OpenStillPictures(const std::vector<std::string>& pictures, const Options& options,
                                               bool (*stop_requested)(), OpenFailure* failure, std::string* why);

}  // namespace lodra_gif
