// The built module as the host meets it on Windows: loaded by its path, its
// table read as the raw 32-bit words the host reads, its entries called
// through those words with records laid out byte by byte, and its resources
// found by the system's loader. Nothing here goes through our own headers'
// structure layouts, so a layout that only agrees with itself is caught.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/dialog_template.h"
#include "tests/support/gif_decode.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/temp_path.h"
#include "tests/support/windows_host.h"

namespace {

using testing_support::DialogTemplate;
using testing_support::HaveWant;
using namespace testing_support::host_table;

void Put32(uint8_t* bytes, std::size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t AddressOf(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// "Zarn" and "output" in code page 932.
const std::string kWantName = "Zarn\x8F\x6F\x97\xCD";

// The module, loaded for one test and freed after it, so each test starts
// from the settings a fresh load gives.
class WineModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(plugin_.Load(LODRA_MODULE_PATH, &error)) << error;
    module_ = plugin_.module.get();
    table_ = plugin_.table;
  }

  // True when [p, p + bytes) lies inside the module's image.
  bool InImage(uint32_t p, uint32_t bytes = 1) const {
    const auto* base = reinterpret_cast<const uint8_t*>(module_);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const uint32_t start = AddressOf(base);
    const uint32_t size = nt->OptionalHeader.SizeOfImage;
    return p >= start && p - start <= size && bytes <= size - (p - start);
  }

  int32_t ConfigGet(void* data) const { return EntryAt<ConfigGetFn>(table_, kConfigGet)(data); }
  int32_t ConfigSet(const void* data, int32_t size) const {
    return EntryAt<ConfigSetFn>(table_, kConfigSet)(data, size);
  }
  std::vector<uint8_t> SettingsBlock() const {
    std::vector<uint8_t> block(8, 0xEE);
    ConfigGet(block.data());
    return block;
  }

  testing_support::PluginModule plugin_;
  HMODULE module_ = nullptr;
  const uint8_t* table_ = nullptr;
};

std::vector<uint8_t> Block(int32_t loop_count, int32_t use_mask) {
  std::vector<uint8_t> block(8);
  Put32(block.data(), 0, static_cast<uint32_t>(loop_count));
  Put32(block.data(), 4, static_cast<uint32_t>(use_mask));
  return block;
}

// ------------------------------------------------------------------ the table

TEST_F(WineModuleTest, TableWordsAtTheHostsOffsets) {
  EXPECT_TRUE(InImage(AddressOf(table_), kTableBytes)) << "the table lies in the module";
  EXPECT_TRUE(HaveWant(Get32(table_, kFlag), 0u)) << "flag";
  EXPECT_TRUE(HaveWant(Get32(table_, kUnused16), 0u)) << "offset 16";
  EXPECT_TRUE(HaveWant(Get32(table_, kUnused20), 0u)) << "offset 20";
  const std::size_t kEntries[] = {kOutput, kConfig, kConfigGet, kConfigSet};
  for (std::size_t offset : kEntries) {
    EXPECT_TRUE(InImage(Get32(table_, offset)))
        << "entry at " << offset << " points into the module";
  }
  for (std::size_t i = 0; i < kReservedWords; ++i) {
    EXPECT_TRUE(HaveWant(Get32(table_, kReserved + 4 * i), 0u)) << "reserved word " << i;
  }
}

TEST_F(WineModuleTest, TextsThroughTheTablesPointers) {
  const std::size_t kTexts[] = {kName, kFilter, kInformation};
  for (std::size_t offset : kTexts) {
    ASSERT_TRUE(InImage(Get32(table_, offset)))
        << "text at " << offset << " points into the module";
  }
  const auto text = [this](std::size_t offset) {
    return reinterpret_cast<const char*>(static_cast<uintptr_t>(Get32(table_, offset)));
  };
  EXPECT_TRUE(HaveWant(std::string(text(kName)), kWantName)) << "name";
  const std::string information = text(kInformation);
  EXPECT_TRUE(HaveWant(information.size(), std::size_t{29})) << "information length";
  EXPECT_TRUE(HaveWant(information.substr(0, kWantName.size()), kWantName))
      << "information starts with the name";

  // Label/pattern pairs, closed by an empty string.
  const std::vector<std::string> want_filter = {"Zarn File (*.gif)", "*.gif", "AllFile (*.*)",
                                                "*.*", ""};
  std::vector<std::string> filter;
  for (const char* s = text(kFilter); filter.size() < want_filter.size(); s += std::strlen(s) + 1) {
    filter.emplace_back(s);
    if (filter.back().empty()) break;
  }
  EXPECT_TRUE(HaveWant(filter, want_filter)) << "filter";
}

// ------------------------------------------------------------- the settings block

TEST_F(WineModuleTest, SettingsBlockThroughTheTable) {
  EXPECT_TRUE(HaveWant(ConfigGet(nullptr), int32_t{8})) << "config_get(null)";
  EXPECT_TRUE(HaveWant(SettingsBlock(), Block(0, 0))) << "after loading";

  const std::vector<uint8_t> stored = Block(100000, 1);
  EXPECT_TRUE(HaveWant(ConfigSet(stored.data(), 8), int32_t{8}));
  EXPECT_TRUE(HaveWant(SettingsBlock(), stored)) << "taken as it is";

  // A block of the wrong size is refused and changes nothing.
  const std::vector<uint8_t> other(16, 0x5A);
  const int32_t kWrongSizes[] = {7, 9, 0};
  for (int32_t size : kWrongSizes) {
    EXPECT_TRUE(HaveWant(ConfigSet(other.data(), size), int32_t{0})) << "size " << size;
    EXPECT_TRUE(HaveWant(SettingsBlock(), stored)) << "after size " << size;
  }
}

// --------------------------------------------------------------------- the export

// The host's side of one export, reached from the __cdecl callbacks.
struct HostState {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<int32_t> fetched;
  std::vector<std::string> progress;
  int refreshes = 0;
};
HostState* g_host = nullptr;

void* __cdecl GetFrame(int32_t n) {
  g_host->fetched.push_back(n);
  if (n < 0 || static_cast<std::size_t>(n) >= g_host->frames.size()) return nullptr;
  return g_host->frames[static_cast<std::size_t>(n)].data();
}
int32_t __cdecl IsAborted() { return 0; }
int32_t __cdecl ReportProgress(int32_t current, int32_t total) {
  g_host->progress.push_back(std::to_string(current) + "/" + std::to_string(total));
  return 0;
}
int32_t __cdecl HostRefresh() {
  ++g_host->refreshes;
  return 0;
}

// A frame whose right half is a mask: black where (x + y + n) % 3 is 0.
std::vector<uint8_t> MaskedFrame(int width, int height, int n) {
  const std::vector<uint8_t> pattern = testing_support::PatternFrame(width, height, n);
  const std::size_t stride = static_cast<std::size_t>(HostFrameStride(width));
  return testing_support::MakeHostFrame(width, height, [&](int x, int y) -> uint32_t {
    if (x >= width / 2) return (x + y + n) % 3 == 0 ? 0x000000 : 0xFFFFFF;
    const uint8_t* p = pattern.data() + static_cast<std::size_t>(height - 1 - y) * stride + 3 * x;
    return static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[0];
  });
}

TEST_F(WineModuleTest, ExportThroughTheTableDecodes) {
  struct Case {
    const char* name;
    int width, height, frame_count;
    int32_t rate, scale;
    int32_t loop_count, use_mask;
    int want_width;
    int want_loop;
    std::vector<int> want_delays;
  };
  const Case kCases[] = {
      {"plain", 24, 10, 3, 30, 1, 3, 0, 24, 3, {3, 3, 4}},
      // A stored 100000 loops as often as the field can say, 65535 (not its
      // low 16 bits); the mask halves the width.
      {"masked", 20, 8, 2, 30000, 1001, 100000, 1, 10, 65535, {3, 3}},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> block = Block(c.loop_count, c.use_mask);
    ASSERT_TRUE(HaveWant(ConfigSet(block.data(), 8), int32_t{8}));

    HostState host;
    for (int n = 0; n < c.frame_count; ++n) {
      host.frames.push_back(c.use_mask != 0 ? MaskedFrame(c.width, c.height, n)
                                            : testing_support::PatternFrame(c.width, c.height, n));
    }
    const std::string path = testing_support::TempPath(std::string(c.name) + ".gif");
    std::remove(path.c_str());

    // The host's record, byte by byte; what the plug-in does not read is
    // filled with garbage.
    uint8_t info[72];
    std::memset(info, 0xCC, sizeof info);
    Put32(info, 4, static_cast<uint32_t>(c.width));
    Put32(info, 8, static_cast<uint32_t>(c.height));
    Put32(info, 12, static_cast<uint32_t>(c.rate));
    Put32(info, 16, static_cast<uint32_t>(c.scale));
    Put32(info, 20, static_cast<uint32_t>(c.frame_count));
    Put32(info, 44, AddressOf(path.c_str()));
    Put32(info, 48, AddressOf(reinterpret_cast<void*>(&GetFrame)));
    Put32(info, 56, AddressOf(reinterpret_cast<void*>(&IsAborted)));
    Put32(info, 60, AddressOf(reinterpret_cast<void*>(&ReportProgress)));
    Put32(info, 68, AddressOf(reinterpret_cast<void*>(&HostRefresh)));

    g_host = &host;
    const int32_t result = EntryAt<OutputFn>(table_, kOutput)(info);
    g_host = nullptr;
    EXPECT_TRUE(HaveWant(result, int32_t{1})) << "result";

    std::vector<int32_t> want_fetched;
    std::vector<std::string> want_progress;
    for (int n = 0; n < c.frame_count; ++n) {
      want_fetched.push_back(n);
      want_progress.push_back(std::to_string(n) + "/" + std::to_string(c.frame_count));
    }
    EXPECT_TRUE(HaveWant(host.fetched, want_fetched)) << "frames fetched";
    EXPECT_TRUE(HaveWant(host.progress, want_progress)) << "progress reports";
    EXPECT_TRUE(HaveWant(host.refreshes, c.frame_count)) << "refreshes";

    testing_support::DecodedGif gif;
    std::string error;
    ASSERT_TRUE(testing_support::DecodeGif(testing_support::ReadFile(path), &gif, &error))
        << path << ": " << error;
    std::remove(path.c_str());
    EXPECT_TRUE(HaveWant(gif.version, std::string("GIF89a")));
    EXPECT_TRUE(HaveWant(gif.width, c.want_width)) << "width";
    EXPECT_TRUE(HaveWant(gif.height, c.height)) << "height";
    EXPECT_TRUE(HaveWant(gif.loop_count, c.want_loop)) << "loop count";
    ASSERT_TRUE(HaveWant(gif.frames.size(), static_cast<std::size_t>(c.frame_count)))
        << "frame count";
    for (int n = 0; n < c.frame_count; ++n) {
      SCOPED_TRACE("frame " + std::to_string(n));
      const testing_support::DecodedFrame& frame = gif.frames[static_cast<std::size_t>(n)];
      EXPECT_TRUE(HaveWant(frame.width, c.want_width)) << "width";
      EXPECT_TRUE(HaveWant(frame.height, c.height)) << "height";
      EXPECT_TRUE(HaveWant(frame.delay, c.want_delays[static_cast<std::size_t>(n)])) << "delay";
      EXPECT_TRUE(frame.indices ==
                  testing_support::ExpectedIndices(host.frames[static_cast<std::size_t>(n)],
                                                   c.width, c.height, c.use_mask != 0))
          << "indices differ from the quantiser's";
    }
  }
}

// ------------------------------------------------------------------ the resources

struct Resource {
  const uint8_t* data = nullptr;
  std::size_t size = 0;
};

Resource FindResourceData(HMODULE module, LPCSTR type, LPCSTR name, WORD language) {
  HRSRC found = FindResourceExA(module, type, name, language);
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) return {};
  return {static_cast<const uint8_t*>(LockResource(loaded)), SizeofResource(module, found)};
}

BOOL CALLBACK AddType(HMODULE, LPSTR type, LONG_PTR list) {
  // Every type of ours is a number; a named one shows as 0xFFFF.
  reinterpret_cast<std::vector<unsigned>*>(list)->push_back(
      IS_INTRESOURCE(type) ? static_cast<unsigned>(reinterpret_cast<uintptr_t>(type)) : 0xFFFFu);
  return TRUE;
}

BOOL CALLBACK AddLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR list) {
  reinterpret_cast<std::vector<unsigned>*>(list)->push_back(language);
  return TRUE;
}

constexpr WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

TEST_F(WineModuleTest, OnlyTheDialogAndTheManifestInEnglishUs) {
  std::vector<unsigned> types;
  EnumResourceTypesA(module_, AddType, reinterpret_cast<LONG_PTR>(&types));
  EXPECT_TRUE(HaveWant(types, std::vector<unsigned>{5, 24})) << "types (RT_DIALOG, RT_MANIFEST)";

  struct Case {
    const char* what;
    LPCSTR type;
    LPCSTR name;
  };
  const Case kCases[] = {
      {"dialog CONFIG", RT_DIALOG, "CONFIG"},
      {"manifest 2", RT_MANIFEST, MAKEINTRESOURCEA(2)},
  };
  for (const Case& c : kCases) {
    std::vector<unsigned> languages;
    EnumResourceLanguagesA(module_, c.type, c.name, AddLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_TRUE(HaveWant(languages, std::vector<unsigned>{kEnglishUs})) << c.what;
  }

  const Resource manifest = FindResourceData(module_, RT_MANIFEST, MAKEINTRESOURCEA(2), kEnglishUs);
  ASSERT_NE(manifest.data, nullptr) << "no manifest 2 in English (United States)";
  const std::string xml(reinterpret_cast<const char*>(manifest.data), manifest.size);
  EXPECT_NE(xml.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
            std::string::npos)
      << xml;
}

TEST_F(WineModuleTest, ConfigDialogAsTheLoaderFindsIt) {
  const Resource dialog = FindResourceData(module_, RT_DIALOG, "CONFIG", kEnglishUs);
  ASSERT_NE(dialog.data, nullptr) << "no dialog CONFIG in English (United States)";
  DialogTemplate t;
  std::string error;
  ASSERT_TRUE(testing_support::ParseDialogTemplate(dialog.data, dialog.size, &t, &error)) << error;

  testing_support::ExpectConfigDialogHeader(t);

  // The controls by id and class, in tab order (their texts and styles are
  // the resource test's business; here: the loader hands out the whole
  // template, nothing less and nothing else).
  const std::vector<std::pair<uint16_t, uint16_t>> want_controls = {
      {1, 0x80}, {2, 0x80}, {0xFFFF, 0x82}, {0xFFFF, 0x82}, {100, 0x81}, {101, 0x80}};
  std::vector<std::pair<uint16_t, uint16_t>> controls;
  for (const testing_support::DialogControl& control : t.controls) {
    controls.emplace_back(control.id, control.klass.is_ordinal ? control.klass.ordinal : 0);
  }
  EXPECT_TRUE(HaveWant(controls, want_controls)) << "(id, class) of each control";
  EXPECT_TRUE(HaveWant((dialog.size - t.used_bytes) < 4, true))
      << "used " << t.used_bytes << " of " << dialog.size << " bytes";
}

}  // namespace
