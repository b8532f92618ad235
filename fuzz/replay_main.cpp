// The main of a fuzz target where libFuzzer is absent (g++, MinGW): runs the
// target once on every file named on the command line, and on every file
// under every folder named there, in name order. The suite runs it over the
// target's corpus and regression folders, so inputs that once broke something
// are tried on every build, the Windows one under Wine included.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

// The files to run for one argument; false when it names nothing readable.
bool Collect(const fs::path& path, std::vector<fs::path>* files) {
  std::error_code error;
  if (fs::is_regular_file(path, error)) {
    files->push_back(path);
    return true;
  }
  if (!fs::is_directory(path, error)) return false;
  std::vector<fs::path> found;
  for (fs::recursive_directory_iterator it(path, error), end; !error && it != end; it.increment(error)) {
    if (it->is_regular_file(error)) found.push_back(it->path());
  }
  if (error) return false;
  std::sort(found.begin(), found.end());
  files->insert(files->end(), found.begin(), found.end());
  return true;
}

bool Read(const fs::path& path, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER...\n", argv[0]);
    return 2;
  }
  int status = 0;
  size_t total = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    if (!Collect(argv[i], &files)) {
      std::fprintf(stderr, "%s: cannot read\n", argv[i]);
      status = 1;
      continue;
    }
    for (const fs::path& file : files) {
      std::vector<uint8_t> bytes;
      if (!Read(file, &bytes)) {
        std::fprintf(stderr, "%s: cannot read\n", file.string().c_str());
        status = 1;
        continue;
      }
      // Named first, so that a failing check points at its input.
      std::printf("running %s (%lu bytes)\n", file.string().c_str(), static_cast<unsigned long>(bytes.size()));
      std::fflush(stdout);
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%s: %lu inputs\n", argv[i], static_cast<unsigned long>(files.size()));
    total += files.size();
  }
  std::printf("%lu inputs replayed\n", static_cast<unsigned long>(total));
  return status;
}
