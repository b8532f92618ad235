#include "tests/support/dialog_template.h"

#include <utility>

namespace testing_support {

ResourceId Ordinal(uint16_t n) { return {true, n, {}}; }
ResourceId Named(std::u16string s) { return {false, 0, std::move(s)}; }

void PrintTo(const ResourceId& id, std::ostream* out) {
  if (id.is_ordinal) {
    *out << "#" << id.ordinal;
    return;
  }
  *out << "\"";
  for (char16_t c : id.name) {
    if (c >= 0x20 && c < 0x7F) {
      *out << static_cast<char>(c);
    } else {
      *out << "\\u" << std::hex << static_cast<unsigned>(c) << std::dec;
    }
  }
  *out << "\"";
}

namespace {

// Little-endian reads that stop at the end: a read past it sets `failed` and
// yields zeros.
class Reader {
 public:
  Reader(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

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
    // The padding after the last control may be missing.
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

}  // namespace

bool ParseDialogTemplate(const uint8_t* data, std::size_t size, DialogTemplate* out,
                         std::string* error) {
  *out = DialogTemplate{};
  if (size >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF) {
    *error = "an extended template";
    return false;
  }
  Reader r(data, size);
  out->style = r.Dword();
  out->ex_style = r.Dword();
  out->control_count = r.Word();
  out->x = static_cast<int16_t>(r.Word());
  out->y = static_cast<int16_t>(r.Word());
  out->cx = static_cast<int16_t>(r.Word());
  out->cy = static_cast<int16_t>(r.Word());
  out->menu = r.Id();
  out->klass = r.Id();
  out->caption = r.Id();
  if ((out->style & kDsSetFont) != 0) {
    out->font_size = r.Word();
    out->font = r.String();
  }
  if (r.failed()) {
    *error = "header cut short";
    return false;
  }
  std::size_t end = r.at();
  for (uint16_t i = 0; i < out->control_count; ++i) {
    r.AlignTo4();
    DialogControl c;
    c.style = r.Dword();
    c.ex_style = r.Dword();
    c.x = static_cast<int16_t>(r.Word());
    c.y = static_cast<int16_t>(r.Word());
    c.cx = static_cast<int16_t>(r.Word());
    c.cy = static_cast<int16_t>(r.Word());
    c.id = r.Word();
    c.klass = r.Id();
    c.text = r.Id();
    c.extra_bytes = r.Word();
    r.Skip(c.extra_bytes);
    if (r.failed()) {
      *error = "control " + std::to_string(i) + " cut short";
      return false;
    }
    out->controls.push_back(std::move(c));
    end = r.at();
  }
  out->used_bytes = end;
  return true;
}

}  // namespace testing_support
