// The plug-in table: its texts byte for byte, its entries, and the module's
// export as the host finds it.
#include <gtest/gtest.h>

#include "tests/support/have_want.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/module_entries.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

using testing_support::HaveWant;

std::vector<uint8_t> Bytes(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

// "Zarn" and "output" in code page 932.
const std::vector<uint8_t> kWantName = {'Z', 'a', 'r', 'n', 0x8F, 0x6F, 0x97, 0xCD};

// The strings of a filter block up to (not including) the empty one that
// closes it; reads at most `limit` bytes.
std::vector<std::string> FilterStrings(const char* block, std::size_t limit) {
  std::vector<std::string> strings;
  std::size_t at = 0;
  while (at < limit && block[at] != '\0') {
    const std::string one(block + at);
    strings.push_back(one);
    at += one.size() + 1;
  }
  return strings;
}

// ------------------------------------------------------------------ the texts

TEST(PluginTableTest, NameIsZarnOutputInCp932) {
  EXPECT_TRUE(HaveWant(Bytes(GetOutputPluginTable()->name), kWantName));
}

TEST(PluginTableTest, InformationNamesThePluginIn29Bytes) {
  const std::vector<uint8_t> information = Bytes(GetOutputPluginTable()->information);
  EXPECT_TRUE(HaveWant(information.size(), std::size_t{29})) << "length";
  ASSERT_GE(information.size(), kWantName.size());
  EXPECT_TRUE(HaveWant(std::vector<uint8_t>(information.begin(), information.begin() + 8),
                       kWantName))
      << "starts with the name";
  // The rest is plain text: no control bytes, no lone lead byte at the end.
  for (std::size_t i = kWantName.size(); i < information.size(); ++i) {
    EXPECT_TRUE(information[i] >= 0x20 && information[i] < 0x7F) << "byte " << i;
  }
}

TEST(PluginTableTest, FilterIsTwoPairsThenAnEmptyString) {
  const char* block = GetOutputPluginTable()->file_filter;
  const std::vector<std::string> want = {"Zarn File (*.gif)", "*.gif", "AllFile (*.*)", "*.*"};
  std::size_t want_bytes = 1;  // the closing empty string
  for (const std::string& s : want) want_bytes += s.size() + 1;
  EXPECT_TRUE(HaveWant(FilterStrings(block, want_bytes), want));
  // Two NULs end the block.
  EXPECT_TRUE(HaveWant(block[want_bytes - 2], '\0'));
  EXPECT_TRUE(HaveWant(block[want_bytes - 1], '\0'));
}

// ---------------------------------------------------------------- the entries

TEST(PluginTableTest, SameTableOnEveryCall) {
  OutputPluginTable* first = GetOutputPluginTable();
  EXPECT_NE(first, nullptr);
  EXPECT_TRUE(HaveWant(GetOutputPluginTable(), first));
}

TEST(PluginTableTest, EntriesAreThePluginsOwn) {
  const OutputPluginTable* table = GetOutputPluginTable();
  EXPECT_TRUE(HaveWant(table->flag, int32_t{0})) << "flag";
  EXPECT_TRUE(HaveWant(table->unused_entry_16, static_cast<void*>(nullptr))) << "offset 16";
  EXPECT_TRUE(HaveWant(table->unused_entry_20, static_cast<void*>(nullptr))) << "offset 20";
  EXPECT_TRUE(table->output == &OutputAnimatedGif) << "output";
  EXPECT_TRUE(table->config == &ShowConfigDialog) << "config";
  EXPECT_TRUE(table->config_get == &GetConfig) << "config_get";
  EXPECT_TRUE(table->config_set == &SetConfig) << "config_set";
  for (std::size_t i = 0; i < sizeof table->reserved / sizeof table->reserved[0]; ++i) {
    EXPECT_TRUE(HaveWant(table->reserved[i], int32_t{0})) << "reserved word " << i;
  }
}

// ------------------------------------------------------ the module, as the host sees it

// Loads the built module and looks its export up by the plain name, as the
// host does.
class LoadedModule {
 public:
  explicit LoadedModule(const char* path) {
#ifdef _WIN32
    handle_ = LoadLibraryA(path);
#else
    handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
  }
  ~LoadedModule() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
  }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool loaded() const { return handle_ != nullptr; }

  using GetTable = OutputPluginTable*(LODRA_CDECL*)(void);
  GetTable Export(const char* name) const {
#ifdef _WIN32
    return reinterpret_cast<GetTable>(reinterpret_cast<void*>(GetProcAddress(handle_, name)));
#else
    return reinterpret_cast<GetTable>(dlsym(handle_, name));
#endif
  }

 private:
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
};

TEST(PluginModuleTest, ExportsTheTableByItsPlainName) {
  LoadedModule module(LODRA_MODULE_PATH);
  ASSERT_TRUE(module.loaded()) << LODRA_MODULE_PATH;
  const LoadedModule::GetTable get_table = module.Export("GetOutputPluginTable");
  ASSERT_NE(get_table, nullptr) << "no export named GetOutputPluginTable";

  OutputPluginTable* table = get_table();
  ASSERT_NE(table, nullptr);
  EXPECT_TRUE(HaveWant(get_table(), table)) << "same table twice";
  EXPECT_TRUE(HaveWant(Bytes(table->name), kWantName));
  EXPECT_NE(table->output, nullptr);
  EXPECT_NE(table->config, nullptr);

  // The settings entries work through the table: a block handed in comes
  // back out, and a wrong size is refused.
  const uint8_t kBlock[8] = {0xA0, 0x86, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00};
  ASSERT_NE(table->config_set, nullptr);
  ASSERT_NE(table->config_get, nullptr);
  EXPECT_TRUE(HaveWant(table->config_get(nullptr), int32_t{8}));
  EXPECT_TRUE(HaveWant(table->config_set(kBlock, 8), int32_t{8}));
  EXPECT_TRUE(HaveWant(table->config_set(kBlock, 7), int32_t{0}));
  uint8_t read_back[8] = {};
  EXPECT_TRUE(HaveWant(table->config_get(read_back), int32_t{8}));
  EXPECT_TRUE(HaveWant(std::vector<uint8_t>(read_back, read_back + 8),
                       std::vector<uint8_t>(kBlock, kBlock + 8)));
}

}  // namespace
