#include "host/batch/batch.h"

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>

#include "host/cli/report.h"
#include "host/cli/values.h"
#include "host/sources/still_pictures.h"
#include "host/system.h"

namespace lodra_gif {
namespace {

static_assert(kMaxJobs <= kMaxCopies, "the system keeps as many runs going as --jobs asks for");

// -o names a folder: one that is there, or a name ending in a separator.
bool NamesFolder(const std::string& output) {
  if (output.empty() || output == "-") return false;
  if (BaseName(output).empty()) return true;
  PathKind kind = PathKind::kMissing;
  std::string reason;
  return ExaminePath(output, &kind, &reason) && kind == PathKind::kFolder;
}

// "clip" of "in/clip.mp4": the name without its last extension (a name
// that starts with its only dot keeps it).
std::string StemOf(const std::string& input) {
  const std::string name = BaseName(input);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

}  // namespace

bool ChooseExports(const Options& options, Exports* exports, std::string* error) {
  if (!options.inputs.empty() && NamesFolder(options.output)) {
    *exports = Exports::kEach;
    return true;
  }
  // One INPUT, or several still pictures: one GIF, the pictures in turn.
  if (options.inputs.size() <= 1 || AreStillPictures(options.inputs)) {
    *exports = Exports::kOne;
    return true;
  }
  *error = std::to_string(options.inputs.size()) + " INPUTs make a GIF each: give -o a folder for them (-o gifs/), not " +
           (options.output == "-" ? "-" : Quoted(options.output));
  return false;
}

bool PlanEachExport(const Options& options, std::vector<EachExport>* exports, std::string* error) {
  std::vector<EachExport> plan;
  std::map<std::string, std::string> by_name;  // lowercase GIF name -> the INPUT that has it
  for (const std::string& input : options.inputs) {
    const std::string stem = input == "-" ? std::string() : StemOf(input);
    if (stem.empty()) {
      *error = (input == "-" ? std::string("standard input (-)") : Quoted(input)) +
               " has no name to give its GIF in " + options.output + ": export it alone, with -o FILE.gif";
      return false;
    }
    const std::string output = JoinPath(options.output, stem + ".gif");
    const auto [same, added] = by_name.emplace(AsciiLowercase(stem), input);
    if (!added) {
      *error = Quoted(same->second) + " and " + Quoted(input) + " would both make " + output +
               ": export one of them apart";
      return false;
    }
    plan.push_back({input, output});
  }
  // A GIF written over another export's INPUT (through a link, say) would
  // spoil that export.
  std::map<std::tuple<uint64_t, uint64_t>, std::string> inputs;
  for (const EachExport& each : plan) {
    FileIdentity identity;
    if (IdentifyFile(each.input, &identity)) inputs.emplace(std::make_tuple(identity.volume, identity.index), each.input);
  }
  for (const EachExport& each : plan) {
    FileIdentity identity;
    if (!IdentifyFile(each.output, &identity)) continue;
    const auto found = inputs.find(std::make_tuple(identity.volume, identity.index));
    if (found != inputs.end()) {
      *error = each.output + " would be written over the INPUT " + Quoted(found->second);
      return false;
    }
  }
  *exports = std::move(plan);
  return true;
}

bool MakeOutputFolder(const std::string& folder, std::string* error) {
  std::string path = folder;
  while (path.size() > 1 && BaseName(path).empty()) path.pop_back();  // "gifs/" -> "gifs"
  PathKind kind = PathKind::kMissing;
  std::string reason;
  if (!ExaminePath(path, &kind, &reason)) {
    *error = "cannot make the folder " + folder + ": " + reason;
    return false;
  }
  if (kind == PathKind::kFolder) return true;
  if (kind != PathKind::kMissing) {
    *error = "cannot make the folder " + folder + ": a file is in its place";
    return false;
  }
  const std::string parent = FolderOf(path);
  if (parent != path && !MakeOutputFolder(parent, error)) return false;
  if (!MakeFolder(path, &reason)) {
    *error = "cannot make the folder " + folder + ": " + reason;
    return false;
  }
  return true;
}

int RunEachExport(const Options& options, const std::vector<EachExport>& exports) {
  const size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t workers = std::min(options.jobs ? static_cast<size_t>(*options.jobs) : cores, exports.size());
  std::vector<std::string> common = options.passed_on;
  // Bars of runs side by side would overwrite each other.
  if (workers > 1) common.push_back("--no-progress");

  InstallSignalHandlers();
  SetInterruptFarewell(LineOf("stopped by a second Ctrl-C"));
  constexpr int kNotStarted = -1, kRunning = -2;
  std::vector<int> status(exports.size(), kNotStarted);
  std::map<unsigned long, size_t> running;  // a run -> its export
  size_t next = 0;
  for (;;) {
    while (running.size() < workers && next < exports.size() && !InterruptRequested()) {
      std::vector<std::string> args = common;
      args.insert(args.end(), {"-o", exports[next].output, "--", exports[next].input});
      unsigned long copy = 0;
      std::string reason;
      if (StartCopy(args, &copy, &reason)) {
        running[copy] = next;
        status[next] = kRunning;
      } else {
        Error("cannot start the export of " + exports[next].input + ": " + reason);
        status[next] = kExitExportFailed;
      }
      ++next;
    }
    unsigned long copy = 0;
    int code = 0;
    if (running.empty() || !WaitForCopy(&copy, &code)) break;
    const auto done = running.find(copy);
    if (done == running.end()) continue;
    status[done->second] = code;
    running.erase(done);
  }

  int exit_status = kExitOk;
  size_t written = 0, failed = 0, stopped = 0, not_started = 0;
  for (int& code : status) {
    if (code == kNotStarted || code == kRunning) code = kExitInterrupted;  // left by Ctrl-C
    written += code == kExitOk;
    stopped += code == kExitInterrupted;
    failed += code != kExitOk && code != kExitInterrupted;
    if (exit_status == kExitOk) exit_status = code;
  }
  not_started = exports.size() - next;
  stopped -= not_started;
  if (!Quiet()) {
    std::string line = (written == exports.size() ? std::to_string(written)
                                                   : std::to_string(written) + " of " + std::to_string(exports.size())) +
                       (exports.size() == 1 ? " GIF" : " GIFs") + " written in " + options.output;
    std::string rest;
    for (const auto& [count, what] : {std::make_pair(failed, " failed"), std::make_pair(stopped, " stopped by Ctrl-C"),
                                      std::make_pair(not_started, " not started")}) {
      if (count > 0) rest += (rest.empty() ? "; " : ", ") + std::to_string(count) + what;
    }
    Say(line + rest);
  }
  return exit_status;
}

}  // namespace lodra_gif
