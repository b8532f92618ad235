// Reading a standard (not extended) DIALOG template, wherever its bytes come
// from: a .res file or a resource of a loaded module; the reader beneath it
// also walks the entries of a .res file.
//
// The layout, every field little-endian:
//   DLGTEMPLATE: DWORD style, DWORD extended style, WORD control count,
//                WORD x, y, width, height (dialog units);
//   menu, class and caption: each 0xFFFF + WORD ordinal, or a NUL-ended
//   UTF-16 string (an empty string means none);
//   with DS_SETFONT: WORD point size and the face name as a UTF-16 string;
//   then each control, aligned to 4 bytes from the template's start:
//   DLGITEMTEMPLATE (DWORD style, DWORD extended style, WORD x, y, width,
//   height, WORD id), class and text as ids, WORD count of creation data
//   bytes, which follow.
// An extended template starts with the WORDs 1, 0xFFFF instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

// A resource type, name or control class: a number or a string.
struct ResourceId {
  bool is_ordinal = false;
  uint16_t ordinal = 0;
  std::u16string name;

  bool operator==(const ResourceId& other) const {
    return is_ordinal == other.is_ordinal && ordinal == other.ordinal && name == other.name;
  }
};
ResourceId Ordinal(uint16_t n);
ResourceId Named(std::u16string s);
// #5 or "CONFIG", with anything but printable ASCII as \uXXXX.
void PrintTo(const ResourceId& id, std::ostream* out);

// Little-endian reads of words, strings and ids that stop at the end: a read
// past it sets `failed` and yields zeros, so a short input fails the checks,
// not the test run. Offsets count from `data`.
class ByteReader {
 public:
  ByteReader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  uint16_t Word() {
    if (failed_ || size_ - at_ < 2) {
      failed_ = true;
      return 0;
    }
    const uint16_t value = static_cast<uint16_t>(data_[at_] | data_[at_ + 1] << 8);
    at_ += 2;
    return value;
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | static_cast<uint32_t>(Word()) << 16;
  }
  std::u16string String() {
    std::u16string s;
    for (uint16_t c = Word(); c != 0 && !failed_; c = Word()) s.push_back(static_cast<char16_t>(c));
    return s;
  }
  ResourceId Id() {
    if (size_ - at_ >= 2 && data_[at_] == 0xFF && data_[at_ + 1] == 0xFF) {
      Word();
      return Ordinal(Word());
    }
    return Named(String());
  }
  void Skip(std::size_t bytes) {
    if (size_ - at_ < bytes) {
      failed_ = true;
      return;
    }
    at_ += bytes;
  }
  void AlignTo4() {
    const std::size_t pad = (4 - at_ % 4) % 4;
    // The padding after the last control (or entry) may be missing.
    at_ = size_ - at_ < pad ? size_ : at_ + pad;
  }
  std::size_t at() const { return at_; }
  bool failed() const { return failed_; }

 private:
  const uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

constexpr uint32_t kDsSetFont = 0x40;

struct DialogControl {
  uint32_t style = 0;
  uint32_t ex_style = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  uint16_t id = 0;
  ResourceId klass;
  ResourceId text;
  uint16_t extra_bytes = 0;
};

struct DialogTemplate {
  uint32_t style = 0;
  uint32_t ex_style = 0;
  uint16_t control_count = 0;
  int16_t x = 0, y = 0, cx = 0, cy = 0;
  ResourceId menu;
  ResourceId klass;
  ResourceId caption;
  uint16_t font_size = 0;  // only with DS_SETFONT
  std::u16string font;
  std::vector<DialogControl> controls;
  // Bytes of the template used, the last control's creation data included.
  std::size_t used_bytes = 0;
};

// False, with the reason in `error`, when the template is an extended one or
// is cut short; `out` then holds what could be read.
bool ParseDialogTemplate(const uint8_t* data, std::size_t size, DialogTemplate* out,
                         std::string* error);

// The settings dialog CONFIG's header (all but its controls) as the resource
// script makes it: the .res file and the loaded module must both hold it.
void ExpectConfigDialogHeader(const DialogTemplate& t);

}  // namespace testing_support
