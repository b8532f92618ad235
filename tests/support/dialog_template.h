// Reading a standard (not extended) DIALOG template, wherever its bytes come
// from: a .res file or a resource of a loaded module.
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

}  // namespace testing_support
