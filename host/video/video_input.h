// lodra-gif's video input: any file FFmpeg's libraries open (mp4, mkv, webm,
// mov, avi, an animated GIF, an image sequence such as frames/%04d.png),
// decoded on a second thread a frame ahead of the export and converted with
// libswscale straight into the plug-in's frame layout, where the plug-in
// reads it.
//
// The GIF shows the picture as a player would: turned as the stream's
// display matrix says (quarter turns), pixels made square, then cut to
// --crop and scaled to --width/--height (bounded by --max-width and
// --max-height). --speed divides every time by its factor first. Frames
// are chosen by timestamp at the output rate, the
// way FFmpeg's fps filter chooses them: output frame n shows the last
// decoded frame whose time, rounded to the nearest output tick, is at most n;
// a frame that no tick falls on is dropped, one that spans several is
// repeated. So a variable-rate source comes out evenly timed.
//
// A source with an alpha channel (unless --no-alpha, or --mask frames) is
// handed over in mask mode: the frame is twice the picture's width, the
// picture on the left and on the right a mask, white where the alpha is at
// least the threshold and pure black (transparent) elsewhere. A --mask
// input's two halves are cut, scaled and turned alike.
//
// FFmpeg's libraries bring a hundred more shared libraries with them, whose
// loading takes longer than a short export: so the native lodra-gif does not
// link them. The video input is a module of its own, lodra_video.so, which
// OpenVideoFile loads on first use (video_loader.cpp) from beside the
// program or where an install puts the plug-in module. A build without
// FFmpeg's libraries (the Windows one) opens no video file
// (video_none.cpp): OpenVideoFile says why.
#pragma once

#include <memory>
#include <string>

#include "host/cli/options.h"
#include "host/sources/frame_source.h"

namespace lodra_gif {

// Opens the video file `path` and plans its export from `options` (--fps,
// --width, --height, --max-width, --max-height, --crop, --speed, --rate for
// a format without a rate of its own, --start, --duration, --no-alpha,
// --alpha-threshold, --mask), decodes the first frame to be exported and starts decoding
// ahead. `stop_requested` is asked while the input is read (true stops it)
// and while Next waits for the decoder. Null with the reason on failure.
//
// The source's plan has a note when the rate is brought down; its Finish
// stops the decoding (which may be ahead of the export), notes an alpha
// channel that made some pixel transparent, and warns in one line of what
// went wrong on the way: frames lost to corrupt data, an input that ended
// before its stated length or could not be read to its end (which fails the
// export's status), alpha that never reached the threshold.
std::unique_ptr<FrameSource> OpenVideoFile(const std::string& path, const Options& options,
                                           bool (*stop_requested)(), OpenFailure* failure, std::string* why);

}  // namespace lodra_gif
