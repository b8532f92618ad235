#include "tests/support/dialog_template.h"

#include <utility>

#include "tests/support/have_want.h"

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

bool ParseDialogTemplate(const uint8_t* data, std::size_t size, DialogTemplate* out,
                         std::string* error) {
  *out = DialogTemplate{};
  if (size >= 4 && data[0] == 1 && data[1] == 0 && data[2] == 0xFF && data[3] == 0xFF) {
    *error = "an extended template";
    return false;
  }
  ByteReader r(data, size);
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

void ExpectConfigDialogHeader(const DialogTemplate& t) {
  // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
  // DS_SETFONT | DS_3DLOOK.
  EXPECT_TRUE(HaveWant(t.style, uint32_t{0x90C800C4})) << "style";
  EXPECT_TRUE(HaveWant(t.ex_style, uint32_t{0})) << "extended style";
  EXPECT_TRUE(HaveWant(t.control_count, uint16_t{6})) << "control count";
  EXPECT_TRUE(HaveWant(t.x, int16_t{0})) << "x";
  EXPECT_TRUE(HaveWant(t.y, int16_t{0})) << "y";
  EXPECT_TRUE(HaveWant(t.cx, int16_t{128})) << "width";
  EXPECT_TRUE(HaveWant(t.cy, int16_t{96})) << "height";
  EXPECT_TRUE(HaveWant(t.menu, Named(u""))) << "menu";
  EXPECT_TRUE(HaveWant(t.klass, Named(u""))) << "class";
  // "Zarn" + output + no + settings (kanji, hiragana).
  EXPECT_TRUE(HaveWant(t.caption, Named(u"Zarn\u51FA\u529B\u306E\u8A2D\u5B9A"))) << "caption";
  EXPECT_TRUE(HaveWant(t.font_size, uint16_t{9})) << "font size";
  // "MS P Gothic" in full-width Latin and katakana.
  EXPECT_TRUE(HaveWant(t.font, std::u16string(u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF")))
      << "font";
}

}  // namespace testing_support
