#include "host/video/input_files.h"

#include <sys/stat.h>

#include <cstring>
#include <new>

namespace lodra_gif {
namespace {

// Bytes in memory read through an AVIOContext: the fuzz target's input
// (the caller's), or a playlist read whole (`owned`).
struct MemoryBytes {
  std::string owned;
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t position = 0;

  static int Read(void* opaque, uint8_t* out, int size) {
    auto* bytes = static_cast<MemoryBytes*>(opaque);
    if (bytes->position >= bytes->size) return AVERROR_EOF;
    const size_t left = bytes->size - bytes->position;
    const size_t n = size < 0 ? 0 : (static_cast<size_t>(size) < left ? static_cast<size_t>(size) : left);
    std::memcpy(out, bytes->data + bytes->position, n);
    bytes->position += n;
    return static_cast<int>(n);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* bytes = static_cast<MemoryBytes*>(opaque);
    const int64_t size = static_cast<int64_t>(bytes->size);
    if (whence & AVSEEK_SIZE) return size;
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: base = 0; break;
      case SEEK_CUR: base = static_cast<int64_t>(bytes->position); break;
      case SEEK_END: base = size; break;
      default: return AVERROR(EINVAL);
    }
    if (offset < -base || offset > size - base) return AVERROR(EINVAL);
    bytes->position = static_cast<size_t>(base + offset);
    return base + offset;
  }
};

// `bytes` (now the context's) behind a new AVIOContext.
int MemoryIo(MemoryBytes* bytes, AVIOContext** io) {
  constexpr int kBufferSize = 4096;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
  *io = buffer == nullptr ? nullptr
                          : avio_alloc_context(buffer, kBufferSize, 0, bytes, MemoryBytes::Read, nullptr,
                                               MemoryBytes::Seek);
  if (*io == nullptr) {
    av_free(buffer);
    delete bytes;
    return AVERROR(ENOMEM);
  }
  return 0;
}

// The most of a playlist read into memory: a list of segments, not video.
constexpr int64_t kMaxPlaylistBytes = 16 << 20;
constexpr char kPlaylistSignature[] = "#EXTM3U";
// An HLS playlist without this line may gain segments: the demuxer reloads
// it, waiting as long as the list says, and starts a few segments from its
// end.
constexpr char kEndOfList[] = "\n#EXT-X-ENDLIST\n";

// Whether `io` starts with the playlist signature; it is read from the start
// again after.
bool StartsAsPlaylist(AVIOContext* io) {
  char head[sizeof kPlaylistSignature - 1];
  const int got = avio_read(io, reinterpret_cast<unsigned char*>(head), sizeof head);
  // Within the buffer, so this works on a pipe too.
  avio_seek(io, 0, SEEK_SET);
  return got == static_cast<int>(sizeof head) && std::memcmp(head, kPlaylistSignature, sizeof head) == 0;
}

}  // namespace

InputName ClassifyInput(const std::string& name) {
  struct stat info;
  if (stat(name.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? InputName::kFolder : InputName::kFile;
  return name.find('%') != std::string::npos ? InputName::kPattern : InputName::kMissing;
}

std::string PathUrl(const std::string& name) { return !name.empty() && name[0] == '/' ? name : "./" + name; }

void NestedOpens::Attach(AVFormatContext* format) {
  format->opaque = this;
  format->io_open = Open;
  format->io_close2 = Close;
}

int NestedOpens::Open(AVFormatContext* format, AVIOContext** io, const char* url, int flags, AVDictionary**) {
  auto* self = static_cast<NestedOpens*>(format->opaque);
  if (self->allow_ == Allow::kNone || (flags & AVIO_FLAG_WRITE) != 0) {
    if (self->refused_.empty()) {
      try {
        self->refused_ = url;
      } catch (...) {
      }
    }
    return AVERROR(EPERM);
  }
  // The name as a path: "http://host/x.ts" names no local file.
  int status = OpenFileIo(url, format->interrupt_callback, io);
  if (status >= 0 && self->allow_ == Allow::kLocalFiles && StartsAsPlaylist(*io)) status = EndPlaylist(io);
  return status;
}

int NestedOpens::Close(AVFormatContext*, AVIOContext* io) {
  CloseIo(io);
  return 0;
}

int OpenFileIo(const std::string& name, const AVIOInterruptCB& interrupt, AVIOContext** io) {
  // The file protocol takes off this prefix and nothing else.
  return avio_open2(io, ("file:" + name).c_str(), AVIO_FLAG_READ, &interrupt, nullptr);
}

int OpenMemoryIo(const uint8_t* data, size_t size, AVIOContext** io) {
  auto* bytes = new (std::nothrow) MemoryBytes;
  if (bytes == nullptr) return AVERROR(ENOMEM);
  bytes->data = data;
  bytes->size = size;
  return MemoryIo(bytes, io);
}

int EndPlaylist(AVIOContext** io) {
  auto* bytes = new (std::nothrow) MemoryBytes;
  if (bytes == nullptr) {
    CloseIo(*io);
    *io = nullptr;
    return AVERROR(ENOMEM);
  }
  int status = 0;
  try {
    unsigned char chunk[4096];
    int got = 0;
    while ((got = avio_read(*io, chunk, sizeof chunk)) > 0) {
      if (static_cast<int64_t>(bytes->owned.size()) + got > kMaxPlaylistBytes) {
        status = AVERROR_INVALIDDATA;
        break;
      }
      bytes->owned.append(reinterpret_cast<const char*>(chunk), static_cast<size_t>(got));
    }
    if (got < 0 && got != AVERROR_EOF) status = got;
    bytes->owned += kEndOfList;
  } catch (const std::bad_alloc&) {
    status = AVERROR(ENOMEM);
  }
  CloseIo(*io);
  *io = nullptr;
  if (status < 0) {
    delete bytes;
    return status;
  }
  bytes->data = reinterpret_cast<const uint8_t*>(bytes->owned.data());
  bytes->size = bytes->owned.size();
  return MemoryIo(bytes, io);
}

void CloseIo(AVIOContext* io) {
  if (io == nullptr) return;
  if (io->read_packet != MemoryBytes::Read) {
    avio_close(io);
    return;
  }
  delete static_cast<MemoryBytes*>(io->opaque);
  av_freep(&io->buffer);
  avio_context_free(&io);
}

const char* ReferenceKind(const AVInputFormat* format) {
  static const struct {
    const char* name;
    const char* kind;
  } kReferences[] = {
      {"hls", "an HLS playlist"},
      {"concat", "an ffconcat list"},
      {"dash", "a DASH manifest"},
      {"imf", "an IMF composition"},
      {"sdp", "an SDP session description"},
      {"rtp", "an RTP stream description"},
      {"rtsp", "an RTSP stream description"},
      {"vobsub", "a VobSub index"},
  };
  if (format == nullptr) return nullptr;
  for (const auto& reference : kReferences)
    if (std::strcmp(format->name, reference.name) == 0) return reference.kind;
  return nullptr;
}

bool IsPlaylist(const AVInputFormat* format) { return format != nullptr && std::strcmp(format->name, "hls") == 0; }

}  // namespace lodra_gif
