#include "host/cli/usage.h"

#include <algorithm>

#include "host/cli/options.h"

namespace lodra_gif {
namespace {

// Where an option's text starts: after two spaces and its names.
constexpr size_t kHelpColumn = 22;

const char kBeforeOptions[] = R"lodra_usage(Usage: lodra-gif [options] -o OUTPUT.gif [INPUT]
  or:  lodra-gif [options] -o FOLDER/ INPUT...

Writes an animated GIF through the lodra output plug-in (lodra_output.so, or
lodra_output.auo on Windows), which it loads the way the video editor does.

INPUT is a video file: anything FFmpeg's libraries open (mp4, mkv, webm,
mov, avi, an animated GIF, an image sequence such as frames/%04d.png). Its
size and rate come from the file: the picture as a player shows it (turned
upright, pixels made square) at the stream's rate; a source faster than
50 fps is brought to the largest whole fraction of its rate that is at most
50 (60 -> 30), with a note. A source with an alpha channel comes out
transparent. The Windows build (lodra-gif.exe) reads no video files, only
raw video and the demo.

A name that exists is read as that file, whatever characters it has (never
as an FFmpeg protocol or pattern); a missing name holding % is an image
sequence. A file that names other files for its pictures (an HLS playlist,
an ffconcat list) is refused unless --allow-references is given. A picture
whose buffers would take more than --max-memory is refused before the
export starts.

With --size and --rate, INPUT is raw video instead: frames of 3 bytes a
pixel in the order blue, green, red (ffmpeg's -pix_fmt bgr24), top row
first, no padding, one after another; INPUT - reads it from standard input.
Without INPUT a built-in demo is exported: 3 seconds of moving colour,
320x180 at 25 fps.

With several INPUTs, -o names a folder, and each INPUT becomes a GIF of its
name there (a.mp4 -> FOLDER/a.gif), with the same options, --jobs at a
time, each by a run of its own. Two INPUTs of one name (a.mp4, a.mkv) are
refused before anything starts; one that fails does not stop the others.
Several still pictures (frames/*.png) with -o FILE.gif are instead one
sequence in the order given, each shown 1/R s (--rate, 25 by default).

Options:
)lodra_usage";

const char kAfterOptions[] = R"lodra_usage(
The number of frames in a regular raw file follows from its size; a trailing
part-frame is left out, with a warning. From a pipe the frames are read
until the stream ends, so the progress bar (shown when standard error is a
terminal) counts frames without a total.

GIF frame delays are whole hundredths of a second, and browsers play a
delay of 0 or 1 as 10: above 50 fps the GIF plays too slowly. Lower the
rate first (--fps 25 for a video file; ffmpeg -r 25, or -vf fps=25).

The plug-in writes every frame whole; lodra-gif rewrites the GIF as it is
made, each frame only what changed since the one before (--no-optimize
keeps the plug-in's bytes). The GIF shows the same pictures for the same
times, and is never larger.

The GIF is made in a temporary file beside OUTPUT, which takes its place
only when complete; a link is followed (to a file not there yet, too) and
stays a link. A device, a FIFO, or a name for an open descriptor such as
/dev/stdout is written as the export goes.

Ctrl-C stops the export: the GIF is closed off with the frames done so
far (with several INPUTs, each running export's, and no more start). A
second Ctrl-C, or any other signal that ends the program (SIGTERM, SIGHUP,
...), ends it without the GIF, leaving an existing file as it was.

A GIF larger than 20 MiB, or ten times its input file, gets a warning: a
smaller --width or a lower --fps makes it smaller.

Exit status:
  0    the GIF was written
  1    the plug-in could not encode a frame, or the GIF could not be
       optimised; nothing written
  2    bad command line, a size or rate the plug-in cannot take, a
       picture above --max-memory, or --start at or past the end of
       the video
  3    the plug-in module cannot be found, loaded or used
  4    the output cannot be written (the reason is shown); nothing written
  5    the input cannot be read or decoded, or holds no whole frame
  130  stopped with Ctrl-C; the GIF holds the frames done before it
With several INPUTs, the status of the first that failed, in the order given.

Examples:
  # The demo, and in mask mode playing four times
  lodra-gif -o demo.gif
  lodra-gif --mask --loop 3 -o demo-masked.gif

  # A video file; 15 fps and 480 wide; 4 seconds from 1:05
  lodra-gif clip.mp4 -o clip.gif
  lodra-gif --fps 15 --width 480 clip.mp4 -o small.gif
  lodra-gif --start 1:05 --duration 4 clip.mp4 -o part.gif

  # Every clip to gifs/NAME.gif, two at a time, saying nothing but errors
  lodra-gif --jobs 2 --quiet *.mp4 -o gifs/

  # A side-by-side mask that went through a lossy codec
  lodra-gif --mask --mask-threshold 24 side-by-side.mp4 -o cutout.gif

  # Raw frames from any pipeline, through a pipe
  ffmpeg -i in.mp4 -f rawvideo -pix_fmt bgr24 - |
    lodra-gif --size 640x360 --rate 25 -o out.gif -

  # Made smaller and brought to 25 fps first, through a file
  ffmpeg -i in.mp4 -vf fps=25,scale=320:-2 -pix_fmt bgr24 -f rawvideo \
    clip.raw
  lodra-gif --size 320x180 --rate 25 --frames 100 clip.raw -o clip.gif
)lodra_usage";

// The option list: each option's names, then its text from kHelpColumn on.
std::string OptionsHelp() {
  std::string text;
  for (const OptionRow& row : AllOptions()) {
    // "  -o, --output FILE", then the text from kHelpColumn on: beside the
    // names when two spaces still fit between them (help2man reads a single
    // space as part of the names), else from the next line.
    std::string margin = std::string("  ") + (row.short_name != nullptr ? row.short_name + std::string(", ") : "") +
                         row.name + (row.value != nullptr ? std::string(" ") + row.value : "");
    if (margin.size() + 2 > kHelpColumn) {
      text += margin + "\n";
      margin.clear();
    }
    const std::string help = row.help;
    for (size_t at = 0; at < help.size();) {
      const size_t end = std::min(help.find('\n', at), help.size());
      margin.resize(kHelpColumn, ' ');
      text += margin + help.substr(at, end - at) + "\n";
      margin.clear();
      at = end + 1;
    }
  }
  return text;
}

}  // namespace

std::string UsageText() { return kBeforeOptions + OptionsHelp() + kAfterOptions; }

}  // namespace lodra_gif
