// lodra-gif's rooms one by one: its command line and the option table that
// drives it, the checks against what the plug-in takes, the sources and
// their counts, the video arithmetic, the GIF read back after the export and
// the figures and progress line it shows. Plain functions only: these run
// natively and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/batch/batch.h"
#include "host/cli/options.h"
#include "host/cli/progress.h"
#include "host/cli/usage.h"
#include "host/cli/values.h"
#include "host/output/gif_optimiser.h"
#include "host/output/gif_timing.h"
#include "host/sources/demo.h"
#include "host/sources/frame_source.h"
#include "host/sources/mask_threshold.h"
#include "host/sources/memory_budget.h"
#include "host/sources/open_source.h"
#include "host/sources/raw.h"
#include "host/sources/still_pictures.h"
#include "host/video/video_plan.h"
#include "plugin/plugin_interface.h"
#include "tests/support/have_want.h"
#include "tests/support/host_fixture.h"
#include "tests/support/host_run.h"
#include "tests/support/temp_path.h"

namespace {

using lodra_gif::FrameRate;
using lodra_gif::FrameSize;
using testing_support::HaveWant;
using Bytes = std::vector<uint8_t>;

::testing::AssertionResult ErrorSays(bool ok, const std::string& error, const std::string& want_part) {
  if (ok) return ::testing::AssertionFailure() << "have success, want an error with \"" << want_part << "\"";
  if (error.find(want_part) == std::string::npos)
    return ::testing::AssertionFailure() << "have \"" << error << "\", want it to contain \"" << want_part << "\"";
  if (error.find('\n') != std::string::npos) return ::testing::AssertionFailure() << "more than one line";
  return ::testing::AssertionSuccess();
}

// --------------------------------------------------------------- --size

TEST(ParseFrameSize, Good) {
  struct Case {
    const char* text;
    int32_t want_width, want_height;
  } const cases[] = {
      {"640x360", 640, 360},
      {"1x1", 1, 1},
      {"65535x65535", 65535, 65535},
      {"0640x0360", 640, 360},  // leading zeros are still decimal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FrameSize size;
    std::string error;
    ASSERT_TRUE(lodra_gif::ParseFrameSize(c.text, &size, &error)) << error;
    EXPECT_TRUE(HaveWant(size.width, c.want_width));
    EXPECT_TRUE(HaveWant(size.height, c.want_height));
  }
}

TEST(ParseFrameSize, Bad) {
  struct Case {
    const char* text;
    const char* want_error;
  } const cases[] = {
      {"", "malformed size"},
      {"640", "malformed size"},
      {"640x", "malformed size"},
      {"x360", "malformed size"},
      {"640X360", "malformed size"},
      {"640x360x2", "malformed size"},
      {" 640x360", "malformed size"},
      {"640x360 ", "malformed size"},
      {"+640x360", "malformed size"},
      {"640x-360", "malformed size"},
      {"6.4x3", "malformed size"},
      {"0x360", "must be 1 to 65535"},
      {"640x0", "must be 1 to 65535"},
      {"65536x1", "must be 1 to 65535"},
      {"1x65536", "must be 1 to 65535"},
      {"99999999999999999999999x1", "must be 1 to 65535"},  // no wrap-around to a small width
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FrameSize size{7, 9};
    std::string error;
    EXPECT_TRUE(ErrorSays(lodra_gif::ParseFrameSize(c.text, &size, &error), error, c.want_error));
    EXPECT_TRUE(HaveWant(size.width, 7)) << "untouched on failure";
  }
}

// --------------------------------------------------------------- --rate

TEST(ParseFrameRate, GoodInLowestTerms) {
  struct Case {
    const char* text;
    int32_t want_rate, want_scale;
  } const cases[] = {
      {"25", 25, 1},
      {"30000/1001", 30000, 1001},
      {"60000/1001", 60000, 1001},
      {"50/2", 25, 1},
      {"29.97", 2997, 100},
      {"23.976", 2997, 125},
      {"25.0", 25, 1},
      {"0.5", 1, 2},
      {"2147483647", 2147483647, 1},
      {"1/2147483647", 1, 2147483647},
      {"4294967294/2", 2147483647, 1},  // too large as given, fits once reduced
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FrameRate rate;
    std::string error;
    ASSERT_TRUE(lodra_gif::ParseFrameRate(c.text, &rate, &error)) << error;
    EXPECT_TRUE(HaveWant(rate.rate, c.want_rate));
    EXPECT_TRUE(HaveWant(rate.scale, c.want_scale));
  }
}

TEST(ParseFrameRate, Bad) {
  struct Case {
    const char* text;
    const char* want_error;
  } const cases[] = {
      {"", "malformed rate"},
      {"fast", "malformed rate"},
      {"25fps", "malformed rate"},
      {"/", "malformed rate"},
      {"25/", "malformed rate"},
      {"/1001", "malformed rate"},
      {"1/2/3", "malformed rate"},
      {"25.", "malformed rate"},
      {".5", "malformed rate"},
      {"2.5.1", "malformed rate"},
      {"-25", "malformed rate"},
      {"+25", "malformed rate"},
      {" 25", "malformed rate"},
      {"25/-1", "malformed rate"},
      {"0", "must be above 0"},
      {"0/1", "must be above 0"},
      {"0.0", "must be above 0"},
      {"25/0", "must be above 0"},
      {"2147483648", "31 bits"},
      {"1/2147483648", "31 bits"},
      {"2147483647.999999999", "31 bits"},
      {"2147483648.5", "too many digits"},
      {"1.0000000001", "too many digits"},
      {"99999999999999999999", "too many digits"},
      {"1/99999999999999999999", "too many digits"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    FrameRate rate{3, 4};
    std::string error;
    EXPECT_TRUE(ErrorSays(lodra_gif::ParseFrameRate(c.text, &rate, &error), error, c.want_error));
    EXPECT_TRUE(HaveWant(rate.rate, 3)) << "untouched on failure";
  }
}

TEST(RateTooHighForBrowsers, AboveFiftyFramesPerSecond) {
  struct Case {
    int32_t rate, scale;
    bool want;
  } const cases[] = {
      {50, 1, false},        {51, 1, true},       {60000, 1001, true}, {50000, 1001, false},
      {101, 2, true},        {100, 2, false},     {2147483647, 1, true},
      {2147483647, 2147483646, false},  // 50 * scale does not fit in 32 bits
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(HaveWant(lodra_gif::RateTooHighForBrowsers({c.rate, c.scale}), c.want)) << c.rate << "/" << c.scale;
  }
}

// ------------------------------------------------------ sizes the plug-in takes

TEST(CheckFrameSize, WhatThePluginTakes) {
  struct Case {
    int32_t width, height;
    bool mask;
    const char* want_error;  // null: accepted
  } const cases[] = {
      {1, 1, false, nullptr},
      {2, 1, true, nullptr},
      {1, 1, true, "mask mode needs frames at least 2 pixels wide"},
      {0, 5, false, "must be 1 to 65535"},
      {5, -1, false, "must be 1 to 65535"},
      {65536, 1, false, "must be 1 to 65535"},
      {65535, 10922, false, nullptr},                 // 196608 * 10922 bytes: just fits in 31 bits
      {65535, 10923, false, "bytes, more than the"},  // one row more does not
      {65535, 65535, true, "bytes, more than the"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.mask ? " mask" : ""));
    std::string error;
    const bool ok = lodra_gif::CheckFrameSize({c.width, c.height}, c.mask, &error);
    if (c.want_error == nullptr) {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_TRUE(ErrorSays(ok, error, c.want_error));
    }
  }
}

TEST(FrameBytes, PaddedAndRawLayouts) {
  struct Case {
    int32_t width, height;
    uint64_t want_host, want_raw;
  } const cases[] = {
      {1, 1, 4, 3},
      {4, 3, 36, 36},  // 12-byte rows need no padding
      {5, 2, 32, 30},  // 15-byte rows padded to 16
      {65535, 65535, 196608ull * 65535, 3ull * 65535 * 65535},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    EXPECT_TRUE(HaveWant(lodra_gif::HostFrameBytes({c.width, c.height}), c.want_host));
    EXPECT_TRUE(HaveWant(lodra_gif::RawFrameBytes({c.width, c.height}), c.want_raw));
  }
}

// ---------------------------------------------------------- the command line

struct Parsed {
  bool ok = false;
  lodra_gif::Options options;
  std::string error;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "lodra-gif");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  Parsed parsed;
  parsed.ok = lodra_gif::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed.options, &parsed.error);
  return parsed;
}

TEST(ParseCommandLine, Good) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    std::string want_output;
    std::optional<std::string> want_input;
  } const cases[] = {
      {"the demo", {"-o", "a.gif"}, "a.gif", std::nullopt},
      {"stdin", {"-o", "a.gif", "-"}, "a.gif", "-"},
      {"stdin to stdout", {"-o", "-", "-"}, "-", "-"},
      {"options after INPUT", {"in.raw", "--size", "4x4", "--rate", "25", "-o", "a.gif"}, "a.gif", "in.raw"},
      {"-o glued to its value", {"-oa.gif"}, "a.gif", std::nullopt},
      {"--output=", {"--output=b.gif"}, "b.gif", std::nullopt},
      {"-- before a name with a dash", {"-o", "a.gif", "--", "-odd.raw"}, "a.gif", "-odd.raw"},
      {"the last -o wins", {"-o", "a.gif", "--output", "c.gif"}, "c.gif", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Parsed parsed = Parse(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(HaveWant(parsed.options.output, c.want_output));
    EXPECT_TRUE(HaveWant(parsed.options.input, c.want_input));
    EXPECT_FALSE(parsed.options.help || parsed.options.version);
  }
}

TEST(ParseCommandLine, EveryOptionReachesItsField) {
  for (const bool with_equals : {false, true}) {
    SCOPED_TRACE(with_equals ? "--name=value" : "--name value");
    const std::vector<std::string> named = {"size",   "640x360", "rate",   "30000/1001", "loop",       "3",
                                            "frames", "99",      "module", "m.so",       "max-memory", "2G",
                                            "dither", "ordered"};
    std::vector<std::string> args = {"--mask", "-o", "out.gif", "-"};
    for (size_t i = 0; i < named.size(); i += 2) {
      if (with_equals) {
        args.push_back("--" + named[i] + "=" + named[i + 1]);
      } else {
        args.insert(args.end(), {"--" + named[i], named[i + 1]});
      }
    }
    const Parsed parsed = Parse(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    const lodra_gif::Options& o = parsed.options;
    EXPECT_TRUE(o.mask);
    ASSERT_TRUE(o.size && o.rate);
    EXPECT_TRUE(HaveWant(o.size->width, 640));
    EXPECT_TRUE(HaveWant(o.size->height, 360));
    EXPECT_TRUE(HaveWant(o.rate->rate, 30000));
    EXPECT_TRUE(HaveWant(o.rate->scale, 1001));
    EXPECT_TRUE(HaveWant(o.loop_count, 3));
    EXPECT_TRUE(HaveWant(o.max_frames, std::optional<int32_t>(99)));
    EXPECT_TRUE(HaveWant(o.module, std::optional<std::string>("m.so")));
    EXPECT_TRUE(HaveWant(o.max_memory, uint64_t{2} << 30));
    EXPECT_TRUE(o.dither == lodra_gif::Dither::kOrdered);
  }
}

TEST(ParseCommandLine, HelpWinsAndVersionNeedsNoOutput) {
  struct Case {
    std::vector<std::string> args;
    bool want_help, want_version;
  } const cases[] = {
      {{"--help"}, true, false},
      {{"-h"}, true, false},
      {{"--bogus", "--help"}, true, false},  // nothing else is checked
      {{"--help", "--size", "nonsense"}, true, false},
      {{"-o", "a.gif", "--", "-h"}, false, false},  // a file named -h
      {{"--module", "m.so", "--version"}, false, true},  // needs no -o
      {{"--version", "--help"}, true, false},
      {{"-o", "a.gif", "--", "--version"}, false, false},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(HaveWant(parsed.options.help, c.want_help)) << c.args.back();
    EXPECT_TRUE(HaveWant(parsed.options.version, c.want_version)) << c.args.back();
  }
}

TEST(ParseCommandLine, Bad) {
  struct Case {
    std::vector<std::string> args;
    const char* want_error;
  } const cases[] = {
      {{}, "no output file: give -o OUTPUT.gif"},
      {{"in.raw"}, "no output file"},
      {{"-o"}, "-o needs a value"},
      {{"-o", "a.gif", "--size"}, "--size needs a value"},
      {{"--output="}, "--output needs a file name, or - for standard output"},
      {{"--module=", "-o", "a.gif"}, "--module needs a file name"},
      {{"--mask=1", "-o", "a.gif"}, "--mask takes no value"},
      {{"--version", "--size", "4y4"}, "malformed size"},
      {{"-x", "-o", "a.gif"}, "unknown option -x"},
      {{"--sizes", "4x4", "-o", "a.gif"}, "unknown option --sizes"},
      {{"-o", "a.gif", "--size", "4x"}, "malformed size \"4x\""},
      {{"-o", "a.gif", "--rate", "1/0"}, "must be above 0"},
      {{"-o", "a.gif", "--loop", "65536"}, "--loop needs a whole number from 0 to 65535, not \"65536\""},
      {{"-o", "a.gif", "--loop", "-1"}, "--loop needs a whole number"},
      {{"-o", "a.gif", "--loop", ""}, "--loop needs a whole number"},
      {{"-o", "a.gif", "--frames", "0"}, "--frames needs a whole number from 1 to 2147483647"},
      {{"-o", "a.gif", "--frames", "2147483648"}, "--frames needs a whole number"},
      {{"-o", "a.gif", "--frames", "1e3"}, "--frames needs a whole number"},
      {{"-o", "a.gif", "--frames", "18446744073709551617"}, "--frames needs a whole number"},
      {{"-o", "a.gif", "--dither", "Ordered"}, "--dither takes ordered or none, not \"Ordered\""},
      {{"-o", "a.gif", "--dither", ""}, "--dither takes ordered or none"},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.args);
    EXPECT_TRUE(ErrorSays(parsed.ok, parsed.error, c.want_error))
        << (c.args.empty() ? std::string("(no arguments)") : c.args.back());
  }
}

TEST(ParseByteSize, UnitsOfPowersOf1024UpTo1024T) {
  struct Case {
    const char* text;
    uint64_t want;            // 0: refused
    const char* want_error;
  } const cases[] = {
      {"1073741824", uint64_t{1} << 30, ""},
      {"512M", uint64_t{512} << 20, ""},
      {"2G", uint64_t{2} << 30, ""},
      {"2GiB", uint64_t{2} << 30, ""},
      {"2gb", uint64_t{2} << 30, ""},
      {"64k", 64 << 10, ""},
      {"1.5G", uint64_t{3} << 29, ""},
      {"0.000001K", 0, "must be at least 1 byte"},  // 0.001 bytes
      {"1.9", 1, ""},                               // a fraction of a byte is dropped
      {"1024T", uint64_t{1} << 50, ""},
      {"1125899906842625", 0, "is more than 1024T"},  // 2^50 + 1
      {"1024.000001T", 0, "is more than 1024T"},
      {"99999999999999999999999G", 0, "is more than 1024T"},
      {"0", 0, "must be at least 1 byte"},
      {"1.1234567G", 0, "more than 6 decimals"},
      {"5P", 0, "malformed size \"5P\""},
      {"G", 0, "malformed size"},
      {"1.G", 0, "malformed size"},
      {"-1M", 0, "malformed size"},
      {"1 M", 0, "malformed size"},
      {"1Mbit", 0, "malformed size"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint64_t bytes = 7;
    std::string error;
    const bool ok = lodra_gif::ParseByteSize(c.text, &bytes, &error);
    if (c.want != 0) {
      ASSERT_TRUE(ok) << error;
      EXPECT_TRUE(HaveWant(bytes, c.want));
    } else {
      EXPECT_TRUE(ErrorSays(ok, error, c.want_error));
      EXPECT_TRUE(HaveWant(bytes, uint64_t{7})) << "untouched";
    }
  }
}

TEST(ParseCount, WithinItsRange) {
  struct Case {
    const char* text;
    int64_t min, max;
    int64_t want;  // -1: refused
  } const cases[] = {
      {"3", 0, 3, 3}, {"4", 0, 3, -1}, {"5", 0, 3, -1},  // a single digit above a small limit
      {"0", 0, 0, 0}, {"9", 0, 0, -1}, {"10", 0, 9, -1}, {"0", 1, 9, -1},
      {"9223372036854775807", 0, INT64_MAX, INT64_MAX}, {"9223372036854775808", 0, INT64_MAX, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " in " + std::to_string(c.min) + ".." + std::to_string(c.max));
    int64_t value = -1;
    std::string error;
    const bool ok = lodra_gif::ParseCount(c.text, c.min, c.max, "--n", &value, &error);
    if (c.want < 0) {
      EXPECT_TRUE(ErrorSays(ok, error, "--n needs a whole number"));
    } else {
      EXPECT_TRUE(ok) << error;
    }
    EXPECT_TRUE(HaveWant(value, c.want));
  }
}

TEST(ParseCommandLine, LoopAndFramesAtTheirLimits) {
  struct Case {
    std::vector<std::string> args;
    int32_t want_loop;
    std::optional<int32_t> want_frames;
  } const cases[] = {
      {{"--loop", "0"}, 0, std::nullopt},
      {{"--loop", "65535"}, 65535, std::nullopt},
      {{"--loop", "007"}, 7, std::nullopt},
      {{"--frames", "1"}, 0, 1},
      {{"--frames", "2147483647"}, 0, 2147483647},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "a.gif"});
    const Parsed parsed = Parse(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(HaveWant(parsed.options.loop_count, c.want_loop)) << c.args[1];
    EXPECT_TRUE(HaveWant(parsed.options.max_frames, c.want_frames)) << c.args[1];
  }
}

TEST(ParseCommandLine, UnknownOptionNamesTheNearestKnownOne) {
  struct Case {
    const char* typed;
    const char* want_nearest;  // null: none is near enough
  } const cases[] = {
      {"--widht", "--width"},      // two letters swapped
      {"--heigth=90", "--height"},
      {"-width", "--width"},       // a dash short
      {"--fsp", "--fps"},
      {"--qiet", "--quiet"},       // a letter left out
      {"--loops", "--loop"},       // one too many
      {"--dur", "--duration"},     // the start of one name
      {"--mas", "--mask"},         // the start of two: the nearer
      {"--ma", nullptr},           // too short to say
      {"--wdht", nullptr},         // two slips in four letters
      {"--colours", nullptr},
      {"-x", nullptr},
  };
  for (const Case& c : cases) {
    const std::string name = std::string(c.typed).substr(0, std::string(c.typed).find('='));
    const Parsed parsed = Parse({c.typed, "-o", "a.gif"});
    EXPECT_FALSE(parsed.ok);
    EXPECT_TRUE(HaveWant(parsed.error, "unknown option " + name +
                                           (c.want_nearest ? "; did you mean " + std::string(c.want_nearest) + "?" : "")));
  }
}

TEST(ParseCommandLine, SeveralInputsAndWhatEachRunIsGiven) {
  const Parsed parsed = Parse({"--fps", "10", "a.mp4", "-o", "gifs/", "--width=80", "-q", "b.mkv", "--", "-c.mp4"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_TRUE(HaveWant(parsed.options.inputs, std::vector<std::string>{"a.mp4", "b.mkv", "-c.mp4"}));
  EXPECT_TRUE(HaveWant(parsed.options.input, std::optional<std::string>("a.mp4")));
  // Every option as typed but -o, which each run gets its own of.
  EXPECT_TRUE(HaveWant(parsed.options.passed_on, std::vector<std::string>{"--fps", "10", "--width=80", "-q"}));
}

// ------------------------------------------------------- several inputs

TEST(SeveralInputs, EachGetsAGifOfItsNameInTheFolder) {
  const std::string folder = testing_support::TempPath("gifs");
  std::remove(folder.c_str());
  const std::string file = testing_support::TempPath("in.gif");
  ASSERT_TRUE(testing_support::WriteBytes(file, {'G', 'I', 'F'}));
  struct Case {
    const char* what;
    std::vector<std::string> inputs;
    std::string output;
    std::vector<std::string> want_outputs;  // empty: refused
    std::string want_error;
  } const cases[] = {
      {"a folder to be made", {"a.mp4", "in/b.tar.mkv", ".hidden"}, folder + "/",
       {folder + "/a.gif", folder + "/b.tar.gif", folder + "/.hidden.gif"}, ""},
      {"one input to a folder", {"x/clip.mp4"}, folder + "/", {folder + "/clip.gif"}, ""},
      {"a folder that is there", {"a.mp4", "b.mp4"}, testing_support::TempFolder(), {}, ""},
      {"one name twice", {"a.mp4", "x/a.mkv"}, folder + "/", {}, "\"a.mp4\" and \"x/a.mkv\" would both make"},
      {"names differing in case", {"A.mp4", "a.mkv"}, folder + "/", {}, "would both make"},
      {"standard input", {"a.mp4", "-"}, folder + "/", {}, "standard input (-) has no name to give its GIF"},
      {"several to one file", {"a.mp4", "b.mp4"}, "all.gif", {}, "2 INPUTs make a GIF each: give -o a folder"},
      {"several to standard output", {"a.mp4", "b.mp4"}, "-", {}, "give -o a folder"},
      {"a GIF over an input", {"a.mp4", file}, testing_support::TempFolder() + "/", {}, "would be written over the INPUT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::Options options;
    options.inputs = c.inputs;
    options.output = c.output;
    lodra_gif::Exports exports = lodra_gif::Exports::kOne;
    std::vector<lodra_gif::EachExport> each;
    std::string error;
    bool ok = lodra_gif::ChooseExports(options, &exports, &error);
    ok = ok && exports == lodra_gif::Exports::kEach && lodra_gif::PlanEachExport(options, &each, &error);
    if (c.want_error.empty()) {
      ASSERT_TRUE(ok) << error;
      std::vector<std::string> outputs;
      for (const lodra_gif::EachExport& e : each) outputs.push_back(e.output);
      if (!c.want_outputs.empty()) {
        EXPECT_TRUE(HaveWant(outputs, c.want_outputs));
      }
    } else {
      EXPECT_TRUE(ErrorSays(ok, error, c.want_error));
    }
  }
}

// ------------------------------------------------------- the option table

// The names of `row` as --help and the docs spell them: "-o, --output FILE".
std::string NamesOf(const lodra_gif::OptionRow& row) {
  return (row.short_name != nullptr ? row.short_name + std::string(", ") : std::string()) + row.name +
         (row.value != nullptr ? std::string(" ") + row.value : std::string());
}

// The option list as help2man reads it into the man page: an option's line
// is indented 1 to 10 spaces and starts with a dash; its names end at the
// first two spaces, after which its text begins, or at the line's end, when
// the text starts on the next line, indented 20 spaces or more. Lines
// indented 20 or more continue the text.
std::vector<std::string> Help2manTerms(const std::string& list, std::string* fault) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < list.size();) {
    const size_t end = std::min(list.find('\n', at), list.size());
    lines.push_back(list.substr(at, end - at));
    at = end + 1;
  }
  std::vector<std::string> terms;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const size_t indent = line.find_first_not_of(' ');
    if (line.size() > 79) *fault += "wider than 79 columns: \"" + line + "\"\n";
    if (indent >= 20 && indent != std::string::npos) continue;
    if (indent < 1 || indent > 10 || line[indent] != '-') {
      *fault += "neither an option nor its text: \"" + line + "\"\n";
      continue;
    }
    const size_t gap = line.find("  ", indent);
    const bool text_below = i + 1 < lines.size() && lines[i + 1].find_first_not_of(' ') >= 20;
    if (gap == std::string::npos && !text_below) *fault += "no text for \"" + line + "\"\n";
    terms.push_back(line.substr(indent, gap == std::string::npos ? std::string::npos : gap - indent));
  }
  return terms;
}

TEST(OptionTable, HelpListsEveryOptionAsHelp2manReadsIt) {
  const std::string usage = lodra_gif::UsageText();
  const size_t from = usage.find("\nOptions:\n");
  ASSERT_NE(from, std::string::npos) << usage;
  const std::string list = usage.substr(from + 10, usage.find("\n\n", from) + 1 - (from + 10));
  std::string fault;
  const std::vector<std::string> terms = Help2manTerms(list, &fault);
  EXPECT_TRUE(fault.empty()) << fault;
  std::vector<std::string> want;
  for (const lodra_gif::OptionRow& row : lodra_gif::AllOptions()) want.push_back(NamesOf(row));
  EXPECT_TRUE(HaveWant(terms, want));
}

TEST(OptionTable, EachRowIsWhole) {
  std::vector<std::string> names;
  for (const lodra_gif::OptionRow& row : lodra_gif::AllOptions()) {
    SCOPED_TRACE(row.name);
    names.push_back(row.name);
    if (row.short_name != nullptr) names.push_back(row.short_name);
    EXPECT_TRUE(row.take != nullptr && row.help != nullptr && *row.help != '\0');
    EXPECT_NE(row.inputs & lodra_gif::kAnyInput, 0u) << "works on some input";
    if (row.needs != nullptr) {
      const auto rows = lodra_gif::AllOptions();
      EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const lodra_gif::OptionRow& other) {
        return other.name == std::string(row.needs);
      })) << "needs " << row.needs << ", which is no option";
      EXPECT_TRUE(row.works_on != nullptr);
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_TRUE(std::adjacent_find(names.begin(), names.end()) == names.end()) << "a name used twice";
}

// The docs' option tables list exactly the table's options, spelled the
// same way: each row's first cell, "| `-o`, `--output FILE` |", names them.
TEST(OptionTable, TheDocsListEveryOptionAndNoOther) {
  std::vector<std::string> want;
  for (const lodra_gif::OptionRow& row : lodra_gif::AllOptions()) {
    if (row.short_name != nullptr) want.push_back(row.short_name);
    want.push_back(NamesOf(row).substr(row.short_name != nullptr ? std::string(row.short_name).size() + 2 : 0));
  }
  std::sort(want.begin(), want.end());
  for (const char* doc : {"docs/lodra-gif.md", "docs/lodra-gif.ja.md"}) {
    SCOPED_TRACE(doc);
    const Bytes bytes = testing_support::ReadFile(std::string(LODRA_SOURCE_DIR) + "/" + doc);
    ASSERT_FALSE(bytes.empty());
    const std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> have;
    for (size_t at = text.find("\n| `-"); at != std::string::npos; at = text.find("\n| `-", at + 1)) {
      const std::string cell = text.substr(at + 2, text.find(" |", at + 2) - (at + 2));
      for (size_t tick = cell.find('`'); tick != std::string::npos; tick = cell.find('`', cell.find('`', tick + 1) + 1))
        have.push_back(cell.substr(tick + 1, cell.find('`', tick + 1) - tick - 1));
    }
    std::sort(have.begin(), have.end());
    EXPECT_TRUE(HaveWant(have, want));
  }
}

// ---------------------------------------------------- how many frames

TEST(CountFrames, ThePluginIsToldTheMostItCanGet) {
  struct Case {
    const char* what;
    std::optional<int64_t> length;
    bool endless;
    std::optional<int64_t> expected;
    std::optional<int32_t> max_frames;
    int32_t want_told;
    std::optional<int64_t> want_total;
  } const cases[] = {
      {"the demo", 75, true, {}, {}, 75, 75},
      {"the demo, --frames past its length", 75, true, {}, 200, 200, 200},
      {"a regular file", 50, false, {}, {}, 50, 50},
      {"a regular file, --frames before its end", 50, false, {}, 10, 10, 10},
      {"a regular file, --frames past its end", 50, false, {}, 99, 50, 50},
      {"a file of more frames than 31 bits count", int64_t{1} << 40, false, {}, {}, INT32_MAX, INT32_MAX},
      {"a pipe", {}, false, {}, {}, INT32_MAX, {}},
      {"a pipe, --frames", {}, false, {}, 10, 10, 10},
      {"a video of stated length", {}, false, 40, {}, INT32_MAX, 40},
      {"a video, --duration within its length", 30, false, 40, {}, 30, 30},
      {"a video, --duration past its length", 30, false, 20, {}, 30, 20},
      {"a video, --frames within its length", {}, false, 40, 10, 10, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::SourcePlan plan;
    plan.length = c.length;
    plan.endless = c.endless;
    plan.expected = c.expected;
    const lodra_gif::FrameCounts have = lodra_gif::CountFrames(plan, c.max_frames);
    EXPECT_TRUE(HaveWant(have.told, c.want_told));
    EXPECT_TRUE(HaveWant(have.progress_total, c.want_total));
  }
}

// ------------------------------------------------------------ raw frames

// A raw 5x2 frame (15-byte rows, padded to 16 in the plug-in's layout) read
// from a file: rows reversed, padding left as it was, the tail reported.
TEST(RawFrameReader, ReversesRowsAndReportsTheTail) {
  const FrameSize size = {5, 2};
  Bytes raw;
  for (int i = 0; i < 2 * 30 + 7; ++i) raw.push_back(static_cast<uint8_t>(i + 1));  // two frames and 7 bytes
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(std::fwrite(raw.data(), 1, raw.size(), file), raw.size());
  std::rewind(file);

  lodra_gif::RawFrameReader reader(file, size, nullptr);
  for (int n = 0; n < 2; ++n) {
    SCOPED_TRACE("frame " + std::to_string(n));
    Bytes frame(lodra_gif::HostFrameBytes(size), 0);
    uint8_t* pixels = frame.data();
    ASSERT_TRUE(HaveWant(reader.Next(&pixels), lodra_gif::ReadResult::kFrame));
    const uint8_t* top = raw.data() + 30 * n;  // the raw stream's first row is the top
    Bytes want(top + 15, top + 30);            // bottom row first in memory
    want.push_back(0);
    want.insert(want.end(), top, top + 15);
    want.push_back(0);
    EXPECT_TRUE(HaveWant(frame, want));
  }
  Bytes frame(lodra_gif::HostFrameBytes(size), 0);
  uint8_t* pixels = frame.data();
  EXPECT_TRUE(HaveWant(reader.Next(&pixels), lodra_gif::ReadResult::kPartial));
  EXPECT_TRUE(HaveWant(reader.partial_bytes(), uint64_t{7}));
  std::fclose(file);
}

// ------------------------------------------------------- video files

TEST(ParseTime, SecondsAndClockForms) {
  struct Case {
    const char* text;
    int64_t want_us;  // -1: refused
    const char* want_error;
  } const cases[] = {
      {"0", 0, ""},
      {"90", 90000000, ""},
      {"2.5", 2500000, ""},
      {"0.000001", 1, ""},
      {"1:30", 90000000, ""},
      {"1:02:03.25", 3723250000, ""},
      {"100:00", 6000000000, ""},          // minutes first may exceed 59
      {"3600000000", 3600000000000000, ""},  // a million hours, the most
      {"3600000001", -1, "more than 1000000 hours"},
      {"1:60", -1, "below 60"},
      {"1:2:3:4", -1, "malformed time"},
      {"1:5", 65000000, ""},
      {"1:005", -1, "malformed time"},
      {"0.0000001", -1, "more than 6 decimals"},
      {"-1", -1, "malformed time"},
      {"1.", -1, "malformed time"},
      {".5", -1, "malformed time"},
      {"1e3", -1, "malformed time"},
      {"", -1, "malformed time"},
      {"1::2", -1, "malformed time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int64_t us = -7;
    std::string error;
    const bool ok = lodra_gif::ParseTime(c.text, &us, &error);
    if (c.want_us >= 0) {
      ASSERT_TRUE(ok) << error;
      EXPECT_TRUE(HaveWant(us, c.want_us));
    } else {
      EXPECT_TRUE(ErrorSays(ok, error, c.want_error));
      EXPECT_TRUE(HaveWant(us, int64_t{-7})) << "untouched";
    }
  }
}

TEST(ParseCommandLine, VideoOptions) {
  const Parsed parsed = Parse({"--fps=30000/1001", "--width", "480", "--height=200", "--start", "1:02.5",
                               "--duration", "4", "--no-alpha", "--alpha-threshold", "64", "--mask",
                               "--mask-threshold", "20", "--max-gap", "2.5", "--allow-references", "--max-width",
                               "320", "--max-height=240", "--speed", "1.5", "--crop", "64x48+3+4", "-o", "a.gif",
                               "clip.mp4"});
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const lodra_gif::Options& o = parsed.options;
  EXPECT_TRUE(o.fps && o.fps->rate == 30000 && o.fps->scale == 1001);
  EXPECT_TRUE(HaveWant(o.width, std::optional<int32_t>(480)));
  EXPECT_TRUE(HaveWant(o.height, std::optional<int32_t>(200)));
  EXPECT_TRUE(HaveWant(o.start_us, std::optional<int64_t>(62500000)));
  EXPECT_TRUE(HaveWant(o.duration_us, std::optional<int64_t>(4000000)));
  EXPECT_TRUE(o.no_alpha);
  EXPECT_TRUE(HaveWant(o.alpha_threshold, std::optional<int32_t>(64)));
  EXPECT_TRUE(HaveWant(o.mask_threshold, std::optional<int32_t>(20)));
  EXPECT_TRUE(HaveWant(o.max_gap_us, std::optional<int64_t>(2500000)));
  EXPECT_TRUE(o.allow_references);
  EXPECT_TRUE(HaveWant(o.max_width, std::optional<int32_t>(320)));
  EXPECT_TRUE(HaveWant(o.max_height, std::optional<int32_t>(240)));
  EXPECT_TRUE(o.speed && o.speed->rate == 3 && o.speed->scale == 2);
  EXPECT_TRUE(o.crop && HaveWant(o.crop->size, FrameSize{64, 48}) && o.crop->x == 3 && o.crop->y == 4);
  const Parsed defaults = Parse({"-o", "a.gif", "clip.mp4"});
  EXPECT_FALSE(defaults.options.max_gap_us);
  EXPECT_TRUE(HaveWant(defaults.options.max_memory, uint64_t{1} << 30));
  EXPECT_FALSE(defaults.options.allow_references);

  struct Case {
    std::vector<std::string> args;
    const char* want_error;
  } const bad[] = {
      {{"--fps", "0"}, "must be above 0"},
      {{"--width", "0"}, "--width needs a whole number from 1 to 65535"},
      {{"--height", "65536"}, "--height needs a whole number from 1 to 65535"},
      {{"--start", "soon"}, "--start: malformed time"},
      {{"--duration", "0"}, "--duration must be above 0"},
      {{"--alpha-threshold", "0"}, "from 1 to 255"},
      {{"--mask-threshold", "255"}, "from 0 to 254"},
      {{"--no-alpha=1"}, "--no-alpha takes no value"},
      {{"--fps"}, "--fps needs a value"},
      {{"--max-gap", "soon"}, "--max-gap: malformed time"},
      {{"--max-memory", "0"}, "--max-memory: size \"0\" must be at least 1 byte"},
      {{"--allow-references=yes"}, "--allow-references takes no value"},
      {{"--max-width", "0"}, "--max-width needs a whole number from 1 to 65535"},
      {{"--speed", "101"}, "--speed wants a factor from 0.01 to 100"},
      {{"--speed", "1/101"}, "--speed wants a factor from 0.01 to 100"},
      {{"--speed", "fast"}, "--speed wants a factor"},
      {{"--crop", "10x10+5"}, "--crop wants WxH+X+Y"},
      {{"--crop", "0x10+5+5"}, "--crop wants WxH+X+Y"},
      {{"--crop", "10x10+65535+0"}, "--crop wants WxH+X+Y"},
  };
  for (const Case& c : bad) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = {"-o", "a.gif"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Parsed refused = Parse(args);
    EXPECT_TRUE(ErrorSays(refused.ok, refused.error, c.want_error));
  }
}

TEST(ChooseInput, SizeOrStandardInputMeanRawFrames) {
  using lodra_gif::InputKind;
  struct Case {
    std::vector<std::string> args;
    InputKind want;
  } const cases[] = {
      {{}, InputKind::kDemo},
      {{"--size", "4x4", "--rate", "10"}, InputKind::kDemo},
      {{"-"}, InputKind::kRaw},
      {{"clip.raw", "--size", "4x4"}, InputKind::kRaw},
      {{"-", "--rate", "25"}, InputKind::kRaw},
      {{"frames/%04d.png", "--rate", "10"}, InputKind::kVideo},  // --rate alone: the sequence's rate
      {{"clip.mp4"}, InputKind::kVideo},
      {{"clip.mp4", "--fps", "10", "--mask"}, InputKind::kVideo},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "a.gif"});
    const Parsed parsed = Parse(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_TRUE(HaveWant(lodra_gif::ChooseInput(parsed.options), c.want)) << ::testing::PrintToString(c.args);
  }
}

TEST(AreStillPictures, EveryNameAStillPicturesExtension) {
  struct Case {
    std::vector<std::string> inputs;
    bool want;
  } const cases[] = {
      {{"frames/0001.png", "frames/0002.PNG", "a.jpeg", "b.JPG", "c.webp", "d.tiff"}, true},
      {{"one.bmp"}, true},
      {{}, false},
      {{"a.png", "clip.mp4"}, false},
      {{"a.png", "anim.gif"}, false},  // an animated GIF has its own rate
      {{"a.png", "png"}, false},
      {{"a.png", "folder.png/clip"}, false},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(HaveWant(lodra_gif::AreStillPictures(c.inputs), c.want)) << ::testing::PrintToString(c.inputs);
  }
}

TEST(CheckOptionsApply, EachOptionOnTheInputsItWorksOn) {
  using lodra_gif::InputKind;
  struct Case {
    std::vector<std::string> args;
    InputKind input;
    const char* want_error;  // "" = taken
  } const cases[] = {
      {{"--fps", "10"}, InputKind::kVideo, ""},
      {{"--fps", "10"}, InputKind::kRaw,
       "--fps works on video files, not on raw frames or the demo (raw frames take --rate)"},
      {{"--width", "10"}, InputKind::kDemo, "--width works on video files, not on raw frames or the demo"},
      {{"--start", "1"}, InputKind::kRaw, "--start works on video files"},
      {{"--no-alpha"}, InputKind::kRaw, "--no-alpha works on video files"},
      {{"--size", "4x4", "--rate", "10"}, InputKind::kDemo, ""},
      {{"--mask", "--mask-threshold", "9"}, InputKind::kRaw, ""},  // raw frames and the demo have masks too
      {{"--mask-threshold", "9"}, InputKind::kVideo,
       "--mask-threshold works on the mask of --mask frames; give --mask too"},
      {{"--mask-threshold", "9", "--fps", "10"}, InputKind::kRaw, "give --mask too"},  // that one first
      {{"--allow-references"}, InputKind::kRaw, "--allow-references works on video files"},
      {{"--max-gap", "1"}, InputKind::kDemo, "--max-gap works on video files"},
      {{"--max-memory", "1G"}, InputKind::kDemo, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + " for input kind " + std::to_string(static_cast<int>(c.input)));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", "a.gif"});
    const Parsed parsed = Parse(args);
    ASSERT_TRUE(parsed.ok) << parsed.error;
    std::string error;
    const bool ok = lodra_gif::CheckOptionsApply(parsed.options, c.input, &error);
    if (*c.want_error == '\0') {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_TRUE(ErrorSays(ok, error, c.want_error));
    }
  }
}

TEST(BrowserRate, LargestWholeFractionAtMostFifty) {
  struct Case {
    FrameRate rate;
    FrameRate want;
    int32_t want_divisor;
  } const cases[] = {
      {{25, 1}, {25, 1}, 1},
      {{50, 1}, {50, 1}, 1},
      {{51, 1}, {51, 2}, 2},
      {{60, 1}, {30, 1}, 2},
      {{60000, 1001}, {30000, 1001}, 2},
      {{120, 1}, {40, 1}, 3},
      {{240, 1}, {48, 1}, 5},
      {{2147483647, 1}, {2147483647, 42949673}, 42949673},
      {{2147483647, 2147483646}, {2147483647, 2147483646}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate.rate) + "/" + std::to_string(c.rate.scale));
    int32_t divisor = 0;
    const FrameRate have = lodra_gif::BrowserRate(c.rate, &divisor);
    EXPECT_TRUE(HaveWant(have.rate, c.want.rate));
    EXPECT_TRUE(HaveWant(have.scale, c.want.scale));
    EXPECT_TRUE(HaveWant(divisor, c.want_divisor));
    EXPECT_FALSE(lodra_gif::RateTooHighForBrowsers(have));
  }
}

TEST(PlanPictures, UprightSquarePixelsThenScaled) {
  struct Case {
    const char* what;
    int64_t width, height, sar_num, sar_den;
    int turns;
    std::optional<int32_t> ask_width, ask_height;
    int32_t want_width, want_height;
    std::optional<int32_t> max_width = {}, max_height = {};
  } const cases[] = {
      {"as coded", 1280, 720, 1, 1, 0, {}, {}, 1280, 720},
      {"no aspect ratio stated", 1280, 720, 0, 1, 0, {}, {}, 1280, 720},
      {"PAL widescreen", 720, 576, 64, 45, 0, {}, {}, 1024, 576},
      {"NTSC 4:3", 720, 480, 8, 9, 0, {}, {}, 640, 480},
      {"a quarter turn", 1920, 1080, 1, 1, 1, {}, {}, 1080, 1920},
      {"half a turn", 1920, 1080, 1, 1, 2, {}, {}, 1920, 1080},
      {"three quarters", 1920, 1080, 1, 1, 3, {}, {}, 1080, 1920},
      {"wide pixels, then turned", 720, 576, 64, 45, 1, {}, {}, 576, 1024},
      {"--width", 1280, 720, 1, 1, 0, 480, {}, 480, 270},
      {"--height", 1280, 720, 1, 1, 0, {}, 100, 178, 100},  // 177.8 rounded
      {"both", 1280, 720, 1, 1, 0, 100, 100, 100, 100},
      {"--width on a turned picture", 1920, 1080, 1, 1, 1, 540, {}, 540, 960},
      {"never below 1", 10000, 2, 1, 1, 0, 100, {}, 100, 1},
      {"huge aspect ratio", 65535, 1, 65535, 1, 0, {}, {}, 2147483647, 1},
      {"--max-width shrinks, keeping the shape", 1280, 720, 1, 1, 0, {}, {}, 640, 360, 640},
      {"--max-height on a turned picture", 1920, 1080, 1, 1, 1, {}, {}, 360, 640, {}, 640},
      {"both bounds: the tighter one wins", 1280, 720, 1, 1, 0, {}, {}, 320, 180, 640, 180},
      {"a bound never enlarges", 320, 180, 1, 1, 0, {}, {}, 320, 180, 640, 640},
      {"--width, then bounded", 1280, 720, 1, 1, 0, 800, {}, 400, 225, 400},
      {"bounds after the pixel aspect", 720, 576, 64, 45, 0, {}, {}, 512, 288, 512},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::PictureRequest request;
    request.width = c.ask_width;
    request.height = c.ask_height;
    request.max_width = c.max_width;
    request.max_height = c.max_height;
    const lodra_gif::VideoPictures have =
        lodra_gif::PlanPictures(c.width, c.height, c.sar_num, c.sar_den, c.turns, request);
    EXPECT_TRUE(HaveWant(have.picture.width, c.want_width));
    EXPECT_TRUE(HaveWant(have.picture.height, c.want_height));
    EXPECT_TRUE(HaveWant(have.frame.width, c.want_width)) << "no alpha: the frame is the picture";
  }
}

TEST(PlanPictures, TheFrameCarriesTheMaskAndTheScalerWorksBeforeTheTurn) {
  struct Case {
    const char* what;
    int64_t width, height, sar_num;
    int turns;
    bool alpha;
    FrameSize want_frame, want_scaled;
    bool mask_input = false;
    std::optional<int32_t> ask_width = {};
  } const cases[] = {
      {"alpha: the mask beside the picture", 640, 360, 1, 0, true, {1280, 360}, {640, 360}},
      {"a quarter turn: scaled on its side", 640, 360, 1, 1, false, {360, 640}, {640, 360}},
      {"both", 640, 360, 1, 3, true, {720, 640}, {640, 360}},
      {"too wide to double: held at 31 bits", 65535, 1, 65535, 0, true, {2147483647, 1}, {2147483647, 1}},
      {"--mask: the picture is the left half", 640, 180, 1, 0, false, {640, 180}, {640, 180}, true},
      {"--mask --width: the picture's width", 640, 180, 1, 0, false, {640, 180}, {640, 180}, true, 320},
      {"--mask --width 1: a pixel and its mask", 640, 180, 1, 0, false, {2, 1}, {2, 1}, true, 1},
      {"--mask, an odd width: the last column is dropped", 641, 180, 1, 0, false, {640, 180}, {640, 180}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::PictureRequest request;
    request.alpha = c.alpha;
    request.mask_input = c.mask_input;
    request.width = c.ask_width;
    const lodra_gif::VideoPictures have = lodra_gif::PlanPictures(c.width, c.height, c.sar_num, 1, c.turns, request);
    EXPECT_TRUE(HaveWant(have.frame, c.want_frame));
    EXPECT_TRUE(HaveWant(have.scaled, c.want_scaled));
  }
}

// --crop's rectangle, given in the picture as shown, in the coded picture:
// the turn undone, the pixel aspect taken back, and in mask mode the halves.
TEST(PlanPictures, CropIsMappedThroughTheTurnAndThePixelAspect) {
  struct Case {
    const char* what;
    int64_t width, height, sar_num;
    int turns;
    bool mask_input;
    lodra_gif::CropRect crop;
    lodra_gif::PixelRect want_source;
    FrameSize want_picture, want_scaled;
    bool want_halves;
  } const cases[] = {
      {"as coded", 640, 360, 45, 0, false, {{100, 50}, 10, 20}, {10, 20, 100, 50}, {100, 50}, {100, 50}, false},
      // 640x360 turned clockwise shows 360x640: shown (x, y) is coded (y, 359 - x).
      {"a quarter turn", 640, 360, 45, 1, false, {{100, 50}, 10, 20}, {20, 250, 50, 100}, {100, 50}, {50, 100}, false},
      {"half a turn", 640, 360, 45, 2, false, {{100, 50}, 10, 20}, {530, 290, 100, 50}, {100, 50}, {100, 50}, false},
      {"three quarters", 640, 360, 45, 3, false, {{100, 50}, 10, 20}, {570, 10, 50, 100}, {100, 50}, {50, 100}, false},
      // 720x576 at 64:45 shows 1024x576: shown widths are 45/64 of coded ones.
      {"wide pixels", 720, 576, 64, 0, false, {{512, 288}, 256, 144}, {180, 144, 360, 288}, {512, 288}, {512, 288},
       false},
      {"wide pixels, turned", 720, 576, 64, 1, false, {{288, 512}, 144, 256}, {180, 144, 360, 288}, {288, 512},
       {512, 288}, false},
      {"--mask: the picture half", 640, 180, 45, 0, true, {{100, 50}, 10, 20}, {10, 20, 100, 50}, {100, 50},
       {100, 50}, true},
      {"--mask turned: half by half", 640, 180, 45, 1, true, {{180, 320}, 0, 0}, {0, 0, 320, 180}, {180, 320},
       {320, 180}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::PictureRequest request;
    request.mask_input = c.mask_input;
    request.crop = c.crop;
    const lodra_gif::VideoPictures have = lodra_gif::PlanPictures(c.width, c.height, c.sar_num, 45, c.turns, request);
    const lodra_gif::PixelRect& s = have.source;
    EXPECT_TRUE(HaveWant(std::vector<int64_t>{s.x, s.y, s.width, s.height},
                         std::vector<int64_t>{c.want_source.x, c.want_source.y, c.want_source.width,
                                              c.want_source.height}));
    EXPECT_TRUE(HaveWant(have.picture, c.want_picture));
    EXPECT_TRUE(HaveWant(have.scaled, c.want_scaled));
    EXPECT_TRUE(HaveWant(have.halves, c.want_halves));
    if (c.mask_input) {
      EXPECT_TRUE(HaveWant(have.mask_offset, c.width / 2));
    }
  }
}

TEST(PlanRange, FromStartForDurationToTheStatedEnd) {
  struct Case {
    const char* what;
    int64_t first_frame_slot;
    bool from_start;
    std::optional<int64_t> duration, stated_end;
    int64_t want_first, want_end;
    std::optional<int64_t> want_length, want_expected;
  } const cases[] = {
      {"from the first frame to the end", 7, false, {}, {}, 7, INT64_MAX, {}, {}},
      {"--start: from slot 0", 7, true, {}, {}, 0, INT64_MAX, {}, {}},
      {"--duration", 7, false, 25, {}, 7, 32, 25, {}},
      {"--duration shorter than a slot: one", 7, false, 0, {}, 7, 8, 1, {}},
      {"a stated end", 7, false, {}, 57, 7, INT64_MAX, {}, 50},
      {"a stated end past --duration", 0, true, 25, 100, 0, 25, 25, 25},
      {"a stated end before the first frame", 7, false, {}, 5, 7, INT64_MAX, {}, {}},
      {"--duration at the end of time", INT64_MAX - 3, false, 10, {}, INT64_MAX - 3, INT64_MAX, 10, {}},
      {"a first frame at the start of time", INT64_MIN, false, {}, 10, INT64_MIN, INT64_MAX, {}, INT64_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const lodra_gif::VideoRange have = lodra_gif::PlanRange(c.first_frame_slot, c.from_start, c.duration, c.stated_end);
    EXPECT_TRUE(HaveWant(have.first_slot, c.want_first));
    EXPECT_TRUE(HaveWant(have.end_slot, c.want_end));
    EXPECT_TRUE(HaveWant(have.length, c.want_length));
    EXPECT_TRUE(HaveWant(have.expected, c.want_expected));
  }
}

TEST(TimestampMender, JoinsWhatRestartsOrLeapsAndKeepsTheRest) {
  // MPEG-TS times: 90 kHz, a frame every 3600 (25 fps), jumps beyond 10 s
  // or back by more than 0.1 s mended.
  constexpr int64_t kHour = 3600 * 90000, kNo = lodra_gif::kNoTime;
  struct Case {
    const char* what;
    std::vector<int64_t> dts;
    std::vector<int64_t> want_offsets;
    int64_t want_jumps;
  } const cases[] = {
      {"steady", {0, 3600, 7200}, {0, 0, 0}, 0},
      {"a copy joined after it restarts", {126000, 129600, 133200, 136800, 140400, 126000, 129600},
       {0, 0, 0, 0, 0, 18000, 18000}, 1},
      {"back by 0.08 s: kept", {126000, 129600, 133200, 126000}, {0, 0, 0, 0}, 0},
      {"back by less than 0.1 s: kept", {0, 3600, 7200, 3600}, {0, 0, 0, 0}, 0},
      {"leaps an hour", {0, 3600, kHour + 7200, kHour + 10800}, {0, 0, -kHour, -kHour}, 1},
      {"forward by 10 s: kept", {0, 900000 + 3600}, {0, 0}, 0},
      {"forward by 10 s and a tick: mended", {0, 900000 + 3601}, {0, -900001}, 1},
      {"a packet without a time changes nothing", {0, kNo, 3600}, {0, 0, 0}, 0},
      {"leaps, then restarts", {0, 3600, kHour, 0}, {0, 0, 7200 - kHour, 10800}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::TimestampMender mender(900000, 9000);
    std::vector<int64_t> offsets;
    for (int64_t dts : c.dts) offsets.push_back(mender.Mend(dts, 3600));
    EXPECT_TRUE(HaveWant(offsets, c.want_offsets));
    EXPECT_TRUE(HaveWant(mender.jumps(), c.want_jumps));
  }
}

TEST(GapLimiter, StillsUpToTheBoundKeepTheirLengthLongerOnesTakeIt) {
  // Seconds; the bound is 60. Each frame lasts 1, so one ends where the
  // next is expected.
  struct Case {
    const char* what;
    std::vector<int64_t> pts;
    std::vector<int64_t> want_shown;
    int64_t want_count, want_at, want_length, want_removed;
  } const cases[] = {
      {"no still", {0, 1, 2}, {0, 1, 2}, 0, 0, 0, 0},
      {"a still of 60: kept", {0, 1, 62, 63}, {0, 1, 62, 63}, 0, 0, 0, 0},
      {"a still of 61: 60", {0, 1, 63, 64}, {0, 1, 62, 63}, 1, 2, 61, 1},
      {"ten hours after the first frame", {5, 36006, 36007}, {5, 66, 67}, 1, 6, 36000, 35940},
      {"two stills: the first said, both shortened", {0, 100, 101, 300}, {0, 61, 62, 123}, 2, 1, 99, 39 + 138},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lodra_gif::GapLimiter gaps(60);
    std::vector<int64_t> shown;
    int64_t expected = lodra_gif::kNoTime;
    for (int64_t pts : c.pts) {
      shown.push_back(gaps.Shown(pts, expected));
      expected = shown.back() + 1;
    }
    EXPECT_TRUE(HaveWant(shown, c.want_shown));
    EXPECT_TRUE(HaveWant(gaps.count(), c.want_count));
    EXPECT_TRUE(HaveWant(gaps.first().at, c.want_at));
    EXPECT_TRUE(HaveWant(gaps.first().length, c.want_length));
    EXPECT_TRUE(HaveWant(gaps.removed(), c.want_removed));
  }
}

// ---------------------------------------------------- the memory budget

TEST(MemoryBudget, HeldToTheLimitAtAndEitherSideOfIt) {
  using lodra_gif::ExportPictures;
  // Raw 100x10: its frame (rows of 300 bytes) and 64 bytes of slack, the
  // index image (rows of 100), and the encoded frame, three times
  // 1500 + 2 bytes of codes with 6 sub-block counts.
  ExportPictures raw;
  raw.frame = {100, 10};
  const uint64_t raw_bytes = 3064 + 1000 + 3 * 1508;
  // A 64x36 video turned a quarter with alpha: the decoder's four pictures
  // of 4 bytes a pixel, two 128x36 frames of 384-byte rows and their slack,
  // the 36x64 staging picture in rows of 192 bytes with its slack, then the
  // plug-in's index image and encoded frame of a 64x36 picture.
  ExportPictures video;
  video.frame = {128, 36};
  video.mask = true;
  video.held_frames = 2;
  video.decoded = {64, 36};
  video.staging = {36, 64};
  video.staging_channels = 4;
  const uint64_t video_bytes = 16 * 2304 + 2 * (13824 + 64) + (192 * 64 + 64) + 2304 + 3 * (3458 + 13 + 1);
  // The raw frames optimised on a pool of 2: the optimiser's bound as well.
  ExportPictures optimised = raw;
  optimised.optimiser_workers = 2;
  const uint64_t optimised_bytes = raw_bytes + lodra_gif::OptimiserBytesNeeded(100, 10, 2);
  struct Case {
    const char* what;
    ExportPictures pictures;
    uint64_t limit;
    bool want_fits;
    const char* want_largest;
  } const cases[] = {
      {"raw, a byte below", raw, raw_bytes - 1, false, "the plug-in's encoded frame"},
      {"raw, at the limit", raw, raw_bytes, true, ""},
      {"raw, a byte above", raw, raw_bytes + 1, true, ""},
      {"video, a byte below", video, video_bytes - 1, false, "the decoder's pictures"},
      {"video, at the limit", video, video_bytes, true, ""},
      {"optimised, a byte below", optimised, optimised_bytes - 1, false, "the GIF optimiser"},
      {"optimised, at the limit", optimised, optimised_bytes, true, ""},
      {"sides near 2^31 do not wrap", {{INT32_MAX, INT32_MAX}, false, 2, {INT32_MAX, INT32_MAX}, {}, 0, 64},
       UINT64_MAX - 1, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string why;
    EXPECT_TRUE(HaveWant(lodra_gif::CheckMemory(c.pictures, c.limit, &why), c.want_fits)) << why;
    if (!c.want_fits) {
      EXPECT_TRUE(testing_support::Contains(why, std::string("of it for ") + c.want_largest)) << why;
    }
  }
}

// Where only the optimiser's frames do not fit, the GIF is exported as the
// plug-in writes it, with a note, rather than refused; where the export
// itself does not fit, it is refused with the export's own reason.
TEST(MemoryBudget, TheOptimiserGivesWayBeforeTheExportIsRefused) {
  lodra_gif::ExportPictures pictures;
  pictures.frame = {100, 10};
  pictures.optimiser_workers = 2;
  lodra_gif::ExportPictures alone = pictures;
  alone.optimiser_workers = 0;
  const uint64_t export_bytes = lodra_gif::MemoryNeeded(alone);
  struct Case {
    uint64_t limit;
    bool want_ok, want_optimised;
  } const cases[] = {
      {lodra_gif::MemoryNeeded(pictures), true, true},
      {export_bytes, true, false},
      {export_bytes - 1, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    lodra_gif::SourcePlan plan;
    std::string why;
    EXPECT_TRUE(HaveWant(lodra_gif::CheckMemoryOptimising(pictures, c.limit, &plan, &why), c.want_ok)) << why;
    EXPECT_TRUE(HaveWant(plan.optimiser_fits, c.want_optimised));
    EXPECT_EQ(plan.notes.size(), c.want_ok && !c.want_optimised ? 1u : 0u);
    if (!c.want_ok) {
      EXPECT_FALSE(testing_support::Contains(why, "optimiser")) << why;
    }
  }
}

TEST(MemoryBudget, TheDefaultTakes8KVideoNotAHugeScreenAndBoundsTheDecoder) {
  using lodra_gif::ExportPictures;
  const auto video = [](FrameSize size) {
    ExportPictures pictures;
    pictures.frame = pictures.decoded = size;
    pictures.held_frames = 2;
    return pictures;
  };
  std::string why;
  EXPECT_TRUE(lodra_gif::CheckMemory(video({7680, 4320}), lodra_gif::kDefaultMaxMemory, &why)) << why;
  EXPECT_FALSE(lodra_gif::CheckMemory(video({16000, 16000}), lodra_gif::kDefaultMaxMemory, &why));
  // The decoder is held to the pictures whose share alone fits.
  for (const uint64_t limit : {uint64_t{16} << 20, lodra_gif::kDefaultMaxMemory, uint64_t{1} << 50}) {
    SCOPED_TRACE(limit);
    const int64_t most = lodra_gif::MaxDecodedPixels(limit);
    ExportPictures decoder;
    decoder.held_frames = 0;
    const int64_t width = std::min<int64_t>(most, int64_t{1} << 30);  // each limit's share is a power of 2
    decoder.decoded = {static_cast<int32_t>(width), static_cast<int32_t>(most / width)};
    ASSERT_TRUE(HaveWant(static_cast<int64_t>(decoder.decoded.width) * decoder.decoded.height, most));
    EXPECT_TRUE(lodra_gif::MemoryNeeded(decoder) <= limit);
    ++decoder.decoded.height;
    EXPECT_TRUE(lodra_gif::MemoryNeeded(decoder) > limit);
  }
}

// A source of one frame whose mask half holds the given colours, then the end.
class OneMaskFrame final : public lodra_gif::FrameSource {
 public:
  explicit OneMaskFrame(std::vector<uint32_t> mask) : mask_(std::move(mask)) {
    plan_.frame = {static_cast<int32_t>(2 * mask_.size()), 1};
    plan_.mask = true;
  }
  const lodra_gif::SourcePlan& plan() const override { return plan_; }
  lodra_gif::InputEnd Finish(lodra_gif::ReadResult, int64_t) override { return {}; }
  lodra_gif::ReadResult Next(uint8_t** frame) noexcept override {
    if (done_) return lodra_gif::ReadResult::kEnd;
    done_ = true;
    const size_t width = mask_.size();
    for (size_t x = 0; x < width; ++x) {
      uint8_t* picture = *frame + 3 * x;
      uint8_t* mask = *frame + 3 * (width + x);
      picture[0] = picture[1] = picture[2] = 7;
      mask[0] = static_cast<uint8_t>(mask_[x]);
      mask[1] = static_cast<uint8_t>(mask_[x] >> 8);
      mask[2] = static_cast<uint8_t>(mask_[x] >> 16);
    }
    return lodra_gif::ReadResult::kFrame;
  }

 private:
  std::vector<uint32_t> mask_;
  lodra_gif::SourcePlan plan_;
  bool done_ = false;
};

TEST(MaskThresholdFilter, NearBlackMaskPixelsBecomePureBlack) {
  // One row: mask pixels 0xRRGGBB against a threshold of 20.
  const std::vector<uint32_t> mask = {0x000000, 0x141414, 0x151414, 0x141415, 0x0A0B0C, 0xFFFFFF, 0x808080};
  const std::vector<uint32_t> want = {0x000000, 0x000000, 0x151414, 0x141415, 0x000000, 0xFFFFFF, 0x808080};
  lodra_gif::MaskThresholdFilter filter(std::make_unique<OneMaskFrame>(mask), 20);
  Bytes frame(lodra_gif::HostFrameBytes(filter.plan().frame), 0);
  uint8_t* pixels = frame.data();
  ASSERT_TRUE(HaveWant(filter.Next(&pixels), lodra_gif::ReadResult::kFrame));
  for (size_t x = 0; x < mask.size(); ++x) {
    SCOPED_TRACE("mask pixel " + std::to_string(x));
    const uint8_t* m = pixels + 3 * (mask.size() + x);
    EXPECT_TRUE(HaveWant(static_cast<uint32_t>(m[2]) << 16 | static_cast<uint32_t>(m[1]) << 8 | m[0], want[x]));
    EXPECT_TRUE(HaveWant(static_cast<int>(pixels[3 * x]), 7)) << "the picture half is left alone";
  }
  EXPECT_TRUE(HaveWant(filter.Next(&pixels), lodra_gif::ReadResult::kEnd));
}

// ------------------------------------------------------------ the demo

TEST(Demo, MaskHalfIsBlackOrWhiteAndPaddingStaysZero) {
  const FrameSize picture = {7, 10};  // 14-pixel frame: 42-byte rows padded to 44
  const FrameSize whole = lodra_gif::DemoFrameSize(picture, true);
  Bytes frame(lodra_gif::HostFrameBytes(whole), 0);
  // A frame far into a long export must not overflow the clock.
  lodra_gif::DrawDemoFrame(picture, true, {1, 2147483647}, 2147483647, frame.data());
  const size_t stride = static_cast<size_t>(HostFrameStride(whole.width));
  int white = 0;
  for (int32_t row = 0; row < whole.height; ++row) {
    const uint8_t* line = frame.data() + row * stride;
    for (int32_t x = picture.width; x < whole.width; ++x) {
      const uint8_t* mask = line + 3 * x;
      const bool is_white = mask[0] == 255 && mask[1] == 255 && mask[2] == 255;
      const bool is_black = mask[0] == 0 && mask[1] == 0 && mask[2] == 0;
      EXPECT_TRUE(is_white || is_black) << "row " << row << " column " << x;
      white += is_white;
    }
    EXPECT_TRUE(HaveWant(line[42] | line[43], 0)) << "padding of row " << row;
  }
  EXPECT_GT(white, 0) << "the ball is somewhere";
}

// ---------------------------------------------------------- the summary

TEST(Summary, GifTimingIsReadBackFromTheBlocks) {
  // Every kind of block, each with a distinct delay, so that a delay taken
  // from the wrong place shows: a global table of 2 entries; the looping
  // extension; a control extension (delay 0x0107) for an image with a local
  // table of 4 entries and two data sub-blocks; a comment; an image with a
  // control extension of delay 0; an image with none; the trailer.
  const Bytes gif = {
      'G', 'I', 'F', '8', '9', 'a', 2, 0, 2, 0, 0x80, 0, 0,  // screen 2x2, global table
      0, 0, 0, 255, 255, 255,                                // 2 entries
      0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0,
      0x21, 0xF9, 4, 0, 0x07, 0x01, 0, 0,                    // delay 263
      0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0x81,                    // local table of 4 entries
      1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12,
      2, 2, 0x44, 0x01, 1, 0x00, 0,                          // LZW size 2, two sub-blocks
      0x21, 0xFE, 3, 'a', 'b', 'c', 0,                       // comment
      0x21, 0xF9, 4, 0, 0, 0, 0, 0,                          // delay 0
      0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 2, 0x44, 0x01, 0,
      0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 2, 2, 0x44, 0x01, 0,  // no control extension
      0x3B,
  };
  const std::string path = testing_support::TempPath("timing.gif");
  struct Case {
    const char* what;
    Bytes bytes;
    bool want_ok;
  };
  std::vector<Case> cases = {{"whole", gif, true}};
  // A comment of 40 full sub-blocks after the looping extension: the file
  // is read a few KiB at a time, and units straddle the reads.
  Bytes long_comment = gif;
  Bytes comment = {0x21, 0xFE};
  for (int i = 0; i < 40; ++i) {
    comment.push_back(255);
    comment.insert(comment.end(), 255, static_cast<uint8_t>('a' + i % 26));
  }
  comment.push_back(0);
  long_comment.insert(long_comment.begin() + 13 + 6 + 19, comment.begin(), comment.end());
  cases.push_back({"a comment longer than what is read at a time", long_comment, true});
  Bytes bad_signature = gif;
  bad_signature[0] = 'P';
  cases.push_back({"not a GIF", bad_signature, false});
  Bytes unknown_block = gif;
  unknown_block[gif.size() - 1] = 0x3A;
  cases.push_back({"an unknown block in place of the trailer", unknown_block, false});
  for (size_t cut = 0; cut < gif.size(); ++cut) cases.push_back({"cut short", Bytes(gif.begin(), gif.begin() + cut), false});

  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(c.bytes.size()) + " bytes");
    ASSERT_TRUE(testing_support::WriteBytes(path, c.bytes));
    std::FILE* file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    lodra_gif::GifTiming timing;
    timing.frames = -1;
    const bool ok = lodra_gif::ReadGifTiming(file, &timing);
    std::fclose(file);
    ASSERT_TRUE(HaveWant(ok, c.want_ok));
    if (!ok) {
      EXPECT_TRUE(HaveWant(timing.frames, int64_t{-1})) << "untouched on failure";
      continue;
    }
    EXPECT_TRUE(HaveWant(timing.frames, int64_t{3}));
    EXPECT_TRUE(HaveWant(timing.hundredths, int64_t{263}));
    EXPECT_TRUE(HaveWant(timing.zero_delays, int64_t{2}));
  }
  std::remove(path.c_str());
}

TEST(Summary, RateWarningSaysWhatTheDelaysBecome) {
  struct Case {
    FrameRate rate;
    const char* want;  // "" for no warning
  } const cases[] = {
      {{25, 1}, ""},
      {{50, 1}, ""},
      {{51, 1}, "at 51 fps frames get delays of 1/100 s, which browsers play as 1/10 s"},
      {{60000, 1001}, "delays of 1/100 s"},
      {{100, 1}, "delays of 1/100 s"},
      {{101, 1}, "at 101 fps a frame lasts less than 1/100 s, the shortest delay a GIF holds: most frames get a "
                 "delay of 0"},
      {{2147483647, 1}, "a delay of 0"},
      {{1, 655}, ""},  // 655 s: the longest delay holds it
      {{1, 656}, "a frame lasts longer than 655.35 s, the longest delay a GIF holds: every frame is shown for"},
      {{1, 1000}, "at 0.001 fps"},
      {{1, 2147483647}, "at 1/2147483647 fps"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rate.rate) + "/" + std::to_string(c.rate.scale));
    const std::string warning = lodra_gif::RateWarning(c.rate, "lower it");
    if (c.want[0] == '\0') {
      EXPECT_TRUE(HaveWant(warning, std::string()));
    } else {
      EXPECT_NE(warning.find(c.want), std::string::npos) << "have \"" << warning << "\", want \"" << c.want << "\"";
    }
  }
}

TEST(Summary, RatesSizesAndTimes) {
  struct Case {
    std::string have, want;
  } const cases[] = {
      {lodra_gif::FormatRate({30000, 1001}), "29.97 fps"},
      {lodra_gif::FormatRate({2997, 125}), "23.976 fps"},
      {lodra_gif::FormatRate({25, 1}), "25 fps"},
      {lodra_gif::FormatBytes(1023), "1023 bytes"},
      {lodra_gif::FormatBytes(1536), "1.5 KiB"},
      {lodra_gif::FormatBytes(3 * 1024 * 1024), "3.0 MiB"},
      {lodra_gif::FormatBytes((uint64_t{1} << 30) - 1), "1024.0 MiB"},
      {lodra_gif::FormatBytes(uint64_t{5} << 29), "2.5 GiB"},
      {lodra_gif::FormatPlayingTime(300), "3.00 s"},
      {lodra_gif::FormatPlayingTime(7), "0.07 s"},
      {lodra_gif::FormatPlayingTime(int64_t{65535} * 2147483647), "1407353408061.45 s"},
      {lodra_gif::FormatFrames(1), "1 frame"},
      {lodra_gif::FormatFrames(0), "0 frames"},
  };
  for (const Case& c : cases) EXPECT_TRUE(HaveWant(c.have, c.want));
}

TEST(Summary, SizeWarningForAGifLargeForWhatItHolds) {
  constexpr uint64_t kMiB = 1024 * 1024;
  struct Case {
    uint64_t bytes;
    std::optional<uint64_t> input;
    const char* want;  // "" for no warning
  } const cases[] = {
      {20 * kMiB, std::nullopt, ""},
      {20 * kMiB + 1, std::nullopt, "the GIF is 20.0 MiB, more than 20.0 MiB: smaller"},
      {20 * kMiB + 1, 100 * kMiB, "more than 20.0 MiB"},
      {10000, 1000, ""},
      {10001, 1000, "the GIF is 9.8 KiB, 10 times its input's 1000 bytes: smaller"},
      {26 * kMiB, 850 * 1024, "31 times its input's 850.0 KiB"},
      {UINT64_MAX, UINT64_MAX / 10 + 1, "more than 20.0 MiB"},  // no product to overflow
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bytes) + " bytes from " + (c.input ? std::to_string(*c.input) : "no file"));
    const std::string warning = lodra_gif::SizeWarning(c.bytes, c.input, "smaller");
    if (c.want[0] == '\0') {
      EXPECT_TRUE(HaveWant(warning, std::string()));
    } else {
      EXPECT_NE(warning.find(c.want), std::string::npos) << "have \"" << warning << "\", want \"" << c.want << "\"";
    }
  }
}

TEST(Summary, ProgressLineFitsTheTerminal) {
  struct Case {
    int64_t done, total;
    double seconds;
    int columns;
    const char* want;
  } const cases[] = {
      {6, 24, 2.0, 80, "[######------------------] 6/24 frames  3.0 fps  0:06 left"},
      {6, 24, 2.0, 40, "[###-----------] 6/24 frames  0:06 left"},  // the fps goes first
      {6, 24, 2.0, 30, "6/24 frames  0:06 left"},                   // then the bar
      {6, 24, 2.0, 20, "6/24 frames"},                              // then the time left
      {24, 24, 8.0, 80, "[########################] 24/24 frames  3.0 fps"},
      {1, 3601, 1.0, 80, "[------------------------] 1/3601 frames  1.0 fps  1:00:00 left"},
      {1234, -1, 0.0, 80, "1234 frames  0.0 fps"},  // no total: no bar, no time left
      {1234, -1, 0.0, 15, "1234 frames"},
  };
  char line[160];
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.columns) + " columns");
    const int length = lodra_gif::FormatProgress(line, sizeof line, c.done, c.total, c.seconds, c.columns);
    EXPECT_TRUE(HaveWant(std::string(line), std::string(c.want)));
    EXPECT_TRUE(HaveWant(length, static_cast<int>(std::string(c.want).size())));
  }
  // Shorter than the terminal at every width, or it wraps.
  for (int columns = 2; columns <= 120; ++columns) {
    for (const int64_t total : {int64_t{-1}, int64_t{99999}, int64_t{2147483647}}) {
      const int length = lodra_gif::FormatProgress(line, sizeof line, 9999, total, 3599.0, columns);
      EXPECT_LT(length, columns) << line;
      EXPECT_TRUE(HaveWant(static_cast<size_t>(length), std::string(line).size()));
    }
  }
}

}  // namespace
