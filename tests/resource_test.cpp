// The compiled resources: the dialog template "CONFIG" word for word and the
// manifest, read from the .res file the resource compiler made of the script.
//
// A .res file is a list of entries, each a header then the data, both padded
// to 4 bytes:
//   DWORD data size, DWORD header size,
//   type and name (each 0xFFFF + WORD ordinal, or a NUL-ended UTF-16 string),
//   pad to 4, DWORD data version, WORD memory flags, WORD language,
//   DWORD version, DWORD characteristics.
// The first entry is an empty one that marks the file as 32-bit.
#include <gtest/gtest.h>

#include "tests/support/have_want.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using testing_support::HaveWant;

constexpr uint16_t kDialogType = 5;     // RT_DIALOG
constexpr uint16_t kManifestType = 24;  // RT_MANIFEST
constexpr uint16_t kEnglishUs = 1033;

// A resource type, name or control class: a number or a string.
struct Id {
  bool is_ordinal = false;
  uint16_t ordinal = 0;
  std::u16string name;

  bool operator==(const Id& other) const {
    return is_ordinal == other.is_ordinal && ordinal == other.ordinal && name == other.name;
  }
};
Id Ordinal(uint16_t n) { return {true, n, {}}; }
Id Name(std::u16string s) { return {false, 0, std::move(s)}; }

void PrintTo(const Id& id, std::ostream* out) {
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

// Reads little-endian words, strings and ids; any read past the end sets
// `failed` and yields zeros, so a short file fails the checks, not the test run.
class Reader {
 public:
  Reader(const std::vector<uint8_t>& bytes, std::size_t begin, std::size_t end)
      : bytes_(bytes), at_(begin), end_(end) {}

  uint16_t Word() {
    if (at_ + 2 > end_) return Fail();
    const uint16_t value = static_cast<uint16_t>(bytes_[at_] | bytes_[at_ + 1] << 8);
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
  // 0xFFFF then an ordinal, or a string.
  Id ReadId() {
    if (at_ + 2 <= end_ && bytes_[at_] == 0xFF && bytes_[at_ + 1] == 0xFF) {
      Word();
      return Ordinal(Word());
    }
    return Name(String());
  }
  void AlignTo4(std::size_t base) {
    while ((at_ - base) % 4 != 0 && at_ < end_) ++at_;
  }
  std::size_t at() const { return at_; }
  bool failed() const { return failed_; }

 private:
  uint16_t Fail() {
    failed_ = true;
    at_ = end_;
    return 0;
  }
  const std::vector<uint8_t>& bytes_;
  std::size_t at_;
  std::size_t end_;
  bool failed_ = false;
};

struct Resource {
  Id type;
  Id name;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

// The entries of a .res file after the leading empty one; false if the file
// is cut short.
bool ReadResFile(const std::vector<uint8_t>& bytes, std::vector<Resource>* resources) {
  std::size_t at = 0;
  bool first = true;
  while (at < bytes.size()) {
    Reader header(bytes, at, bytes.size());
    const uint32_t data_size = header.Dword();
    const uint32_t header_size = header.Dword();
    if (header.failed() || header_size < 8 || header_size > bytes.size() - at ||
        data_size > bytes.size() - at - header_size) {
      return false;
    }
    Resource resource;
    resource.type = header.ReadId();
    resource.name = header.ReadId();
    header.AlignTo4(at);
    header.Dword();  // data version
    header.Word();   // memory flags
    resource.language = header.Word();
    if (header.failed()) return false;
    const std::size_t data_at = at + header_size;
    resource.data.assign(bytes.begin() + data_at, bytes.begin() + data_at + data_size);
    if (!first) resources->push_back(std::move(resource));
    first = false;
    at = data_at + data_size;
    at += (4 - at % 4) % 4;
  }
  return true;
}

class ResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream file(LODRA_RES_FILE, std::ios::binary);
    ASSERT_TRUE(file) << "cannot open " << LODRA_RES_FILE;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
    ASSERT_TRUE(ReadResFile(bytes, &resources_)) << "malformed " << LODRA_RES_FILE;
  }

  const Resource* Find(uint16_t type) const {
    for (const Resource& r : resources_) {
      if (r.type == Ordinal(type)) return &r;
    }
    return nullptr;
  }

  std::vector<Resource> resources_;
};

// ------------------------------------------------------------ the resource list

TEST_F(ResourceTest, OnlyTheDialogAndTheManifest) {
  struct Want {
    Id type;
    Id name;
    uint16_t language;
  };
  const Want kWant[] = {
      {Ordinal(kDialogType), Name(u"CONFIG"), kEnglishUs},
      {Ordinal(kManifestType), Ordinal(2), kEnglishUs},
  };
  ASSERT_TRUE(HaveWant(resources_.size(), std::size(kWant))) << "resource count";
  for (std::size_t i = 0; i < resources_.size(); ++i) {
    SCOPED_TRACE("resource " + std::to_string(i));
    EXPECT_TRUE(HaveWant(resources_[i].type, kWant[i].type)) << "type";
    EXPECT_TRUE(HaveWant(resources_[i].name, kWant[i].name)) << "name";
    EXPECT_TRUE(HaveWant(resources_[i].language, kWant[i].language)) << "language";
  }
}

// ----------------------------------------------------------- the dialog template

// A standard dialog template: DLGTEMPLATE, then menu, class and caption (ids),
// with DS_SETFONT the point size and face name; then each control, aligned to
// 4: DLGITEMTEMPLATE, class, text, a WORD count of creation data.
struct Control {
  uint32_t style;
  uint32_t ex_style;
  int16_t x, y, cx, cy;
  uint16_t id;
  Id klass;
  Id text;
  uint16_t extra_bytes;
};

constexpr uint16_t kButton = 0x0080;
constexpr uint16_t kEdit = 0x0081;
constexpr uint16_t kStatic = 0x0082;

TEST_F(ResourceTest, ConfigDialogTemplate) {
  const Resource* dialog = Find(kDialogType);
  ASSERT_NE(dialog, nullptr);
  Reader r(dialog->data, 0, dialog->data.size());

  // WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
  // DS_SETFONT | DS_3DLOOK. An extended template would start 1, 0xFFFF.
  EXPECT_TRUE(HaveWant(r.Dword(), uint32_t{0x90C800C4})) << "style";
  EXPECT_TRUE(HaveWant(r.Dword(), uint32_t{0})) << "extended style";
  const uint16_t count = r.Word();
  EXPECT_TRUE(HaveWant(count, uint16_t{6})) << "control count";
  EXPECT_TRUE(HaveWant(r.Word(), uint16_t{0})) << "x";
  EXPECT_TRUE(HaveWant(r.Word(), uint16_t{0})) << "y";
  EXPECT_TRUE(HaveWant(r.Word(), uint16_t{128})) << "width";
  EXPECT_TRUE(HaveWant(r.Word(), uint16_t{96})) << "height";
  EXPECT_TRUE(HaveWant(r.ReadId(), Name(u""))) << "menu";
  EXPECT_TRUE(HaveWant(r.ReadId(), Name(u""))) << "class";
  // "Zarn" + output + no + settings (kanji, hiragana).
  EXPECT_TRUE(HaveWant(r.ReadId(), Name(u"Zarn\u51FA\u529B\u306E\u8A2D\u5B9A"))) << "caption";
  EXPECT_TRUE(HaveWant(r.Word(), uint16_t{9})) << "font size";
  // "MS P Gothic" in full-width Latin and katakana.
  EXPECT_TRUE(HaveWant(r.String(), std::u16string(u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF")))
      << "font";

  const Control kWant[] = {
      {0x50010300, 0, 8, 56, 52, 16, 1, Ordinal(kButton), Name(u"OK"), 0},
      // "Cancel" in half-width katakana.
      {0x50010300, 0, 68, 56, 52, 16, 2, Ordinal(kButton),
       Name(u"\uFF77\uFF6C\uFF9D\uFF7E\uFF99"), 0},
      // "Repeat count".
      {0x50000000, 0, 8, 8, 76, 8, 0xFFFF, Ordinal(kStatic),
       Name(u"\u7E70\u308A\u8FD4\u3057\u56DE\u6570"), 0},
      // "(0 gives an endless loop)".
      {0x50000000, 0, 8, 20, 112, 8, 0xFFFF, Ordinal(kStatic),
       Name(u"(0 \u3092\u6307\u5B9A\u3059\u308B\u3068\u7121\u9650\u30EB\u30FC\u30D7)"), 0},
      {0x50810000, 0, 68, 32, 52, 16, 100, Ordinal(kEdit), Name(u""), 0},
      // "Treat the right half as transparency information".
      {0x50000003, 0, 8, 80, 112, 16, 101, Ordinal(kButton),
       Name(u"\u53F3\u534A\u5206\u3092\u900F\u904E\u60C5\u5831\u3068\u3057\u3066\u6271\u3046"),
       0},
  };
  ASSERT_EQ(count, std::size(kWant));
  for (std::size_t i = 0; i < std::size(kWant); ++i) {
    SCOPED_TRACE("control " + std::to_string(i));
    const Control& want = kWant[i];
    r.AlignTo4(0);
    EXPECT_TRUE(HaveWant(r.Dword(), want.style)) << "style";
    EXPECT_TRUE(HaveWant(r.Dword(), want.ex_style)) << "extended style";
    EXPECT_TRUE(HaveWant(static_cast<int16_t>(r.Word()), want.x)) << "x";
    EXPECT_TRUE(HaveWant(static_cast<int16_t>(r.Word()), want.y)) << "y";
    EXPECT_TRUE(HaveWant(static_cast<int16_t>(r.Word()), want.cx)) << "width";
    EXPECT_TRUE(HaveWant(static_cast<int16_t>(r.Word()), want.cy)) << "height";
    EXPECT_TRUE(HaveWant(r.Word(), want.id)) << "id";
    EXPECT_TRUE(HaveWant(r.ReadId(), want.klass)) << "class";
    EXPECT_TRUE(HaveWant(r.ReadId(), want.text)) << "text";
    EXPECT_TRUE(HaveWant(r.Word(), want.extra_bytes)) << "creation data";
  }
  EXPECT_FALSE(r.failed()) << "template cut short";
  r.AlignTo4(0);
  EXPECT_TRUE(HaveWant(r.at(), dialog->data.size())) << "bytes after the last control";
}

// ------------------------------------------------------------------ the manifest

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

TEST_F(ResourceTest, ManifestAsksForNothingButTheInvokersRights) {
  const Resource* manifest = Find(kManifestType);
  ASSERT_NE(manifest, nullptr);
  const std::string xml(manifest->data.begin(), manifest->data.end());
  EXPECT_EQ(xml.rfind("<?xml", 0), 0u) << "an XML document";

  struct Case {
    const char* what;
    std::size_t want_count;
  };
  const Case kCases[] = {
      {"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">", 1},
      {"<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">", 1},
      {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>", 1},
      {"<requestedExecutionLevel", 1},
      {"</assembly>", 1},
      {"dependency", 0},
      {"dependentAssembly", 0},
      {"assemblyIdentity", 0},
      {"compatibility", 0},
  };
  for (const Case& c : kCases) {
    EXPECT_TRUE(HaveWant(Count(xml, c.what), c.want_count)) << c.what;
  }
}

}  // namespace
