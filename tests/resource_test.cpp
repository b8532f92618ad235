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

#include "tests/support/dialog_template.h"
#include "tests/support/have_want.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using testing_support::ByteReader;
using testing_support::DialogControl;
using testing_support::DialogTemplate;
using testing_support::HaveWant;
using testing_support::Named;
using testing_support::Ordinal;
using testing_support::ResourceId;

constexpr uint16_t kDialogType = 5;     // RT_DIALOG
constexpr uint16_t kManifestType = 24;  // RT_MANIFEST
constexpr uint16_t kEnglishUs = 1033;

struct Resource {
  ResourceId type;
  ResourceId name;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

// The entries of a .res file after the leading empty one; false if the file
// is cut short.
bool ReadResFile(const std::vector<uint8_t>& bytes, std::vector<Resource>* resources) {
  std::size_t at = 0;
  bool first = true;
  while (at < bytes.size()) {
    ByteReader header(bytes.data() + at, bytes.size() - at);
    const uint32_t data_size = header.Dword();
    const uint32_t header_size = header.Dword();
    if (header.failed() || header_size < 8 || header_size > bytes.size() - at ||
        data_size > bytes.size() - at - header_size) {
      return false;
    }
    Resource resource;
    resource.type = header.Id();
    resource.name = header.Id();
    header.AlignTo4();
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
    ResourceId type;
    ResourceId name;
    uint16_t language;
  };
  const Want kWant[] = {
      {Ordinal(kDialogType), Named(u"CONFIG"), kEnglishUs},
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

constexpr uint16_t kButton = 0x0080;
constexpr uint16_t kEdit = 0x0081;
constexpr uint16_t kStatic = 0x0082;

TEST_F(ResourceTest, ConfigDialogTemplate) {
  const Resource* dialog = Find(kDialogType);
  ASSERT_NE(dialog, nullptr);
  DialogTemplate t;
  std::string error;
  // An extended template, or one cut short, is refused.
  ASSERT_TRUE(testing_support::ParseDialogTemplate(dialog->data.data(), dialog->data.size(), &t,
                                                   &error))
      << error;

  testing_support::ExpectConfigDialogHeader(t);

  const DialogControl kWant[] = {
      {0x50010300, 0, 8, 56, 52, 16, 1, Ordinal(kButton), Named(u"OK"), 0},
      // "Cancel" in half-width katakana.
      {0x50010300, 0, 68, 56, 52, 16, 2, Ordinal(kButton),
       Named(u"\uFF77\uFF6C\uFF9D\uFF7E\uFF99"), 0},
      // "Repeat count".
      {0x50000000, 0, 8, 8, 76, 8, 0xFFFF, Ordinal(kStatic),
       Named(u"\u7E70\u308A\u8FD4\u3057\u56DE\u6570"), 0},
      // "(0 gives an endless loop)".
      {0x50000000, 0, 8, 20, 112, 8, 0xFFFF, Ordinal(kStatic),
       Named(u"(0 \u3092\u6307\u5B9A\u3059\u308B\u3068\u7121\u9650\u30EB\u30FC\u30D7)"), 0},
      {0x50810000, 0, 68, 32, 52, 16, 100, Ordinal(kEdit), Named(u""), 0},
      // "Treat the right half as transparency information".
      {0x50000003, 0, 8, 80, 112, 16, 101, Ordinal(kButton),
       Named(u"\u53F3\u534A\u5206\u3092\u900F\u904E\u60C5\u5831\u3068\u3057\u3066\u6271\u3046"),
       0},
  };
  ASSERT_EQ(t.controls.size(), std::size(kWant));
  for (std::size_t i = 0; i < std::size(kWant); ++i) {
    SCOPED_TRACE("control " + std::to_string(i));
    const DialogControl& have = t.controls[i];
    const DialogControl& want = kWant[i];
    EXPECT_TRUE(HaveWant(have.style, want.style)) << "style";
    EXPECT_TRUE(HaveWant(have.ex_style, want.ex_style)) << "extended style";
    EXPECT_TRUE(HaveWant(have.x, want.x)) << "x";
    EXPECT_TRUE(HaveWant(have.y, want.y)) << "y";
    EXPECT_TRUE(HaveWant(have.cx, want.cx)) << "width";
    EXPECT_TRUE(HaveWant(have.cy, want.cy)) << "height";
    EXPECT_TRUE(HaveWant(have.id, want.id)) << "id";
    EXPECT_TRUE(HaveWant(have.klass, want.klass)) << "class";
    EXPECT_TRUE(HaveWant(have.text, want.text)) << "text";
    EXPECT_TRUE(HaveWant(have.extra_bytes, want.extra_bytes)) << "creation data";
  }
  // Nothing after the last control but its padding to 4.
  const std::size_t padded = std::min((t.used_bytes + 3) / 4 * 4, dialog->data.size());
  EXPECT_TRUE(HaveWant(padded, dialog->data.size())) << "bytes after the last control";
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
