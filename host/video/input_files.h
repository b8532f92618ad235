// Which files the video input reads, and how. Internal to the video module
// (ffmpeg_input.cpp).
//
// FFmpeg's libraries read a name as a URL: "concat:a.mp4" is a protocol,
// "shot%d.png" a pattern for the image-sequence demuxer. Here a name that
// exists is opened as that file, whatever characters it has, through an
// AVIOContext of our own, so no protocol or pattern is read into it; a name
// that does not exist is a pattern when it holds '%' (frames/%04d.png), and
// otherwise no such file. Only local files are ever read.
//
// Some formats name other files for their pictures (an HLS playlist, an
// ffconcat list, a DASH manifest, a reference inside a container): a file
// of a few bytes saved as clip.mp4 would put any file the user can read
// into the GIF they publish. Such a file is refused unless --allow-references
// is given, and every open the demuxer asks for on its own is refused with
// it, except an image sequence's own pictures. With the option, a playlist is
// read as though it ended where its list ends: to its last listed segment,
// never waited on for more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

namespace lodra_gif {

// What the name given as INPUT is.
enum class InputName {
  kFile,     // exists (a file, a FIFO, a device): opened as it is
  kFolder,   // exists, but is a folder
  kPattern,  // does not exist and holds '%': an image sequence
  kMissing,  // does not exist
};
InputName ClassifyInput(const std::string& name);

// `name` as FFmpeg can only read it as a path: absolute, or after "./", so
// that nothing before a ':' is taken for a protocol. Names the image
// sequence's pictures are made from, and the base other names are found
// beside.
std::string PathUrl(const std::string& name);

// Which opens a demuxer may ask for (AVFormatContext::io_open) beyond the
// input itself, and what became of them. Its io_open and io_close2 are set
// on the context with it as the context's opaque.
class NestedOpens {
 public:
  enum class Allow {
    kNone,        // none: the input is one file
    kOwnPictures, // an image sequence's own pictures
    kLocalFiles,  // --allow-references: local files, playlists ended where their list ends
  };
  explicit NestedOpens(Allow allow) : allow_(allow) {}

  void Attach(AVFormatContext* format);
  // The first name refused, "" when none was.
  const std::string& refused() const { return refused_; }

 private:
  static int Open(AVFormatContext* format, AVIOContext** io, const char* url, int flags, AVDictionary** options);
  static int Close(AVFormatContext* format, AVIOContext* io);

  Allow allow_;
  std::string refused_;
};

// An AVIOContext of our own over the file `name`, opened as a path (the
// file protocol, which reads nothing into the name), waking on `interrupt`.
// FFmpeg's error code on failure.
int OpenFileIo(const std::string& name, const AVIOInterruptCB& interrupt, AVIOContext** io);

// An AVIOContext over `size` bytes at `data`, which stay the caller's (the
// fuzz target's input).
int OpenMemoryIo(const uint8_t* data, size_t size, AVIOContext** io);

// The rest of `io` (a playlist) read into memory with an end-of-list line
// after it, as a new AVIOContext in `*io` in its place (the old one closed).
int EndPlaylist(AVIOContext** io);

// Closes any AVIOContext these functions made.
void CloseIo(AVIOContext* io);
struct IoCloser {
  void operator()(AVIOContext* io) const { CloseIo(io); }
};

// What a format that names other files is ("an HLS playlist"), or null when
// `format` reads only its own bytes.
const char* ReferenceKind(const AVInputFormat* format);
// Whether it is a playlist that may be waiting for more (HLS).
bool IsPlaylist(const AVInputFormat* format);

}  // namespace lodra_gif
