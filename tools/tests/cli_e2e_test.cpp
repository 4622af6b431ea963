// End-to-end tests of the imgnorm program: each runs the built program on
// files in a fresh folder and checks its exit code, its output, its
// messages and the files it leaves. Results are compared with the library
// run directly on the same pels.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"
#include "temp_folder.h"

extern char** environ;

namespace {

using imgio::GrayImage;
using Method = kcImageNormalizerDefs::Method;
using namespace kcImageNormalizerDefs;

constexpr long kWidth = 64;
constexpr long kHeight = 48;

struct CliResult {
  int code = -1;
  std::string out;
  std::string err;
};

std::string readAll(FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
  return text;
}

// A started program whose stdout and stderr go into files.
struct Started {
  pid_t pid = -1;
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
};

// Starts the command line all (program first), with stderr onto the given
// descriptor (a terminal) when stderrFd is not -1.
Started startCommand(std::vector<std::string> all, int stderrFd = -1) {
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  Started started;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(started.out), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stderrFd == -1 ? fileno(started.err) : stderrFd,
                                   STDERR_FILENO);
  if (posix_spawn(&started.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
    started.pid = -1;
  if (stderrFd != -1) close(stderrFd);
  posix_spawn_file_actions_destroy(&actions);
  return started;
}

CliResult finish(Started& started) {
  CliResult result;
  int status = 0;
  if (started.pid > 0 && waitpid(started.pid, &status, 0) == started.pid)
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(started.out);
  result.err = readAll(started.err);
  std::fclose(started.out);
  std::fclose(started.err);
  return result;
}

std::vector<std::string> programWith(const std::vector<std::string>& args) {
  std::vector<std::string> all = {IMGNORM_CLI_PATH};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

// Runs the program with stdout into a file and stderr into a file, or onto
// the given descriptor (a terminal) when stderrFd is not -1.
CliResult runProgram(const std::vector<std::string>& args, int stderrFd = -1) {
  Started started = startCommand(programWith(args), stderrFd);
  return finish(started);
}

// Runs the program with stderr on a pseudo terminal; what the terminal
// received is returned as err.
CliResult runOnTerminal(const std::vector<std::string>& args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  std::string received;
  // The terminal is drained while the program runs so it never blocks.
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
      received.append(chunk, static_cast<std::size_t>(n));
  });
  CliResult result = runProgram(args, slave);
  reader.join();
  close(master);
  result.err = received;
  return result;
}

// A textured scene with shapes; gain, offset and a left-to-right
// illumination slope make the run-time variants.
GrayImage scene(unsigned seed, double gain = 1.0, double offset = 0.0, double slope = 0.0,
                long width = kWidth, long height = kHeight) {
  std::mt19937 random(seed);
  GrayImage image{width, height,
                  std::vector<unsigned char>(static_cast<std::size_t>(width * height))};
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x) {
      const double fx = static_cast<double>(x), fy = static_cast<double>(y);
      double v = 100 + 30 * std::sin(fx / 5.0) * std::cos(fy / 7.0);
      if (x > 10 && x < 30 && y > 8 && y < 30) v = 190;
      if ((x - 45) * (x - 45) + (y - 30) * (y - 30) < 100) v = 40;
      v = (v + static_cast<double>(random() % 9) - 4) * gain * (1 + slope * fx / static_cast<double>(width)) + offset;
      image.at(x, y) = static_cast<unsigned char>(std::clamp(std::lround(v), 0L, 255L));
    }
  return image;
}

GrayImage borderMask(long border) {
  GrayImage mask{kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, 0)};
  for (long y = border; y < kHeight - border; ++y)
    for (long x = border; x < kWidth - border; ++x)
      mask.at(x, y) = static_cast<unsigned char>(1 + (x * y) % 255);
  return mask;
}

kcPelBuffer<unsigned char> toBuffer(const GrayImage& image) {
  kcPelBuffer<unsigned char> buffer(image.width, image.height);
  for (long y = 0; y < image.height; ++y)
    for (long x = 0; x < image.width; ++x) buffer.set(x, y, image.at(x, y));
  return buffer;
}

GrayImage fromBuffer(const kcPelBuffer_const<unsigned char>& buffer) {
  GrayImage image{buffer.width(), buffer.height(), {}};
  for (long y = 0; y < buffer.height(); ++y)
    for (long x = 0; x < buffer.width(); ++x)
      image.pels.push_back(buffer.get(buffer.window().x() + x, buffer.window().y() + y));
  return image;
}

struct MethodCase {
  std::string name;
  Method method;
};

const std::vector<MethodCase> kMethods = {
    {"histogram", eMatchHistogram},  {"mean-stddev", eMatchMeanAndStddev},
    {"tails", eMatchHistogramTails}, {"linear-fit", eLinearlyFitGrayValues},
    {"local", eLocalCorrection},     {"local-enhanced", eLocalCorrectionEnhanced},
    {"identity", eIdentity},
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

class CliTest : public TempFolderTest {
 protected:
  void SetUp() override {
    TempFolderTest::SetUp();
    reference_ = scene(1);
    mask_ = borderMask(4);
    imgio::writeImage(path("ref.png"), reference_);
    imgio::writeImage(path("mask.png"), mask_);
  }

  // The library's answer for the same request, configured by configure.
  GrayImage libraryResult(const GrayImage& image, Method method, bool withMask,
                          const std::function<void(kcImageNormalizer&)>& configure = {}) const {
    kcImageNormalizer tool;
    tool.referenceImage(toBuffer(reference_), true);
    if (withMask) tool.maskImage(toBuffer(mask_), true);
    if (configure) configure(tool);
    tool.train(method);
    bool success = false;
    std::wstring message;
    const auto result = tool.run(toBuffer(image), method, success, message);
    EXPECT_TRUE(success);
    return fromBuffer(result);
  }

  std::vector<std::string> trainArgs(const std::string& methods,
                                     const std::string& toolFile) const {
    return {"train", "--reference",    path("ref.png"), "--mask", path("mask.png"), "--methods",
            methods, "--neighborhood", "15x11",         "-o",     toolFile};
  }

  GrayImage reference_;
  GrayImage mask_;
};

using CliCommandsTest = CliTest;
using CliRunTest = CliTest;
using CliBadInputTest = CliTest;
using CliDiagTest = CliTest;
using CliSideBySideTest = CliTest;

TEST_F(CliCommandsTest, HelpForTheProgramAndEachCommandAndVersion) {
  const CliResult help = runProgram({"--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("Usage: imgnorm [--help] [--version] COMMAND [OPTIONS]\n"),
            std::string::npos);
  for (const char* command : {"train", "run", "normalize", "info"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + command + " "), std::string::npos) << command;
    const CliResult commandHelp = runProgram({command, "--help"});
    EXPECT_EQ(commandHelp.code, 0) << command;
    EXPECT_NE(commandHelp.out.find(std::string("Usage: imgnorm ") + command + " "),
              std::string::npos)
        << commandHelp.out;
    EXPECT_NE(commandHelp.out.find("Exit codes: 0 success, 1 a normalization that did not succeed"),
              std::string::npos);
  }
  const CliResult version = runProgram({"--version"});
  EXPECT_EQ(version.code, 0);
  EXPECT_EQ(version.out, "imgnorm " IMGNORM_VERSION "\n");
}

TEST_F(CliCommandsTest, UsageErrorsExitWithTwo) {
  const CliResult none = runProgram({});
  EXPECT_EQ(none.code, 2);
  EXPECT_EQ(none.err,
            "imgnorm: A subcommand is required\nRun 'imgnorm --help' for more information.\n");
  const CliResult unknown = runProgram({"frobnicate"});
  EXPECT_EQ(unknown.code, 2);
  const CliResult missing = runProgram({"train", "--reference", path("ref.png"), "-o", path("t")});
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.err,
            "imgnorm: --methods is required\nRun 'imgnorm train --help' for more information.\n");
  EXPECT_EQ(listing(), (std::vector<std::string>{"mask.png", "ref.png"}));
}

TEST_F(CliCommandsTest, TrainSavesEveryParameterAndInfoPrintsThem) {
  const CliResult train =
      runProgram({"train", "--reference", path("ref.png"), "--mask", path("mask.png"), "--methods",
                  "local, histogram", "--neighborhood", "31x21", "--granularity", "2x3", "--tails",
                  "0.1,0.9", "--range", "-50,60", "--keep-masked", "-o", path("tool.imgn")});
  ASSERT_EQ(train.code, 0) << train.err;
  EXPECT_EQ(train.out, "trained for histogram, local: " + path("tool.imgn") + "\n");
  EXPECT_EQ(train.err, "");

  kcImageNormalizer expected;
  expected.referenceImage(toBuffer(reference_), true);
  expected.maskImage(toBuffer(mask_), true);
  expected.neighborhoodSize({31, 21});
  expected.granularity({2, 3});
  expected.tailFractions({0.1, 0.9});
  expected.intensityVariationRange({-50, 60});
  expected.keepMaskedPixels(true);
  expected.train(eMatchHistogram | eLocalCorrection);
  EXPECT_TRUE(kfLoadImageNormalizer(path("tool.imgn")) == expected);

  const long inside = kWidth * kHeight - std::count(mask_.pels.begin(), mask_.pels.end(), 0);
  const CliResult info = runProgram({"info", path("tool.imgn")});
  EXPECT_EQ(info.code, 0);
  EXPECT_EQ(info.out, "tool:             " + path("tool.imgn") +
                          "\n"
                          "trained methods:  histogram, local\n"
                          "reference image:  64x48\n"
                          "mask image:       64x48, " +
                          std::to_string(inside) +
                          " pels inside\n"
                          "neighborhood:     31x21\n"
                          "granularity:      2x3\n"
                          "tails:            0.1,0.9\n"
                          "range:            -50,60\n"
                          "keep-masked:      yes\n");
}

TEST_F(CliCommandsTest, InfoOfAToolWithoutMaskAndOfAFileThatIsNoTool) {
  ASSERT_EQ(
      runProgram({"train", "--reference", path("ref.png"), "--methods", "all", "-o", path("t")})
          .code,
      0);
  const CliResult info = runProgram({"info", path("t")});
  EXPECT_NE(
      info.out.find(
          "trained methods:  histogram, mean-stddev, tails, linear-fit, local, local-enhanced\n"),
      std::string::npos);
  EXPECT_NE(info.out.find("mask image:       none\n"), std::string::npos);
  EXPECT_NE(info.out.find("neighborhood:     101x101\n"), std::string::npos);
  const CliResult bad = runProgram({"info", path("ref.png")});
  EXPECT_EQ(bad.code, 2);
  EXPECT_EQ(bad.err, "imgnorm: Cannot load tool file \"" + path("ref.png") +
                         "\": Not a tool file: the signature is missing.\n");
}

// normalize equals train followed by run, and both equal the library.
TEST_F(CliRunTest, NormalizeEqualsTrainThenRunAndTheLibraryForEveryMethod) {
  const GrayImage image = scene(2, 0.7, 30, 0.5);
  imgio::writeImage(path("image.png"), image);
  ASSERT_EQ(runProgram(trainArgs("all", path("tool.imgn"))).code, 0);
  for (const auto& [name, method] : kMethods) {
    SCOPED_TRACE(name);
    const CliResult normalized = runProgram(
        {"normalize", "--reference", path("ref.png"), "--mask", path("mask.png"), "--method", name,
         "--neighborhood", "15x11", path("image.png"), "-o", path("n-" + name + ".png")});
    ASSERT_EQ(normalized.code, 0) << normalized.err;
    EXPECT_EQ(normalized.out, "normalized " + path("image.png") + " with " + name + " into " +
                                  path("n-" + name + ".png") + "\n");
    const CliResult ran = runProgram({"run", "--tool", path("tool.imgn"), "--method", name, "-o",
                                      path("r-" + name + ".tif"), path("image.png")});
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_EQ(ran.out, "normalized 1 of 1 image with " + name + " into " +
                           path("r-" + name + ".tif") + "\n");
    const GrayImage expected = libraryResult(image, method, true, [](kcImageNormalizer& tool) {
      tool.neighborhoodSize({15, 11});
    });
    EXPECT_EQ(imgio::readImage(path("n-" + name + ".png")).pels, expected.pels);
    EXPECT_EQ(imgio::readImage(path("r-" + name + ".tif")).pels, expected.pels);
  }
}

TEST_F(CliRunTest, RunTimeParametersReachTheTool) {
  const GrayImage image = scene(3, 1.3, -20, 0.3);
  imgio::writeImage(path("image.pgm"), image);
  ASSERT_EQ(runProgram(trainArgs("tails,local-enhanced,histogram", path("tool.imgn"))).code, 0);
  struct Case {
    std::vector<std::string> options;
    Method method;
    std::function<void(kcImageNormalizer&)> configure;
  };
  const std::vector<Case> cases = {
      {{"--method", "tails", "--tails", "0.05,0.8"},
       eMatchHistogramTails,
       [](kcImageNormalizer& t) {
         t.tailFractions({0.05, 0.8});
       }},
      {{"--method", "local-enhanced", "--range", "-20,5"},
       eLocalCorrectionEnhanced,
       [](kcImageNormalizer& t) {
         t.intensityVariationRange({-20, 5});
       }},
      {{"--method", "histogram", "--keep-masked"},
       eMatchHistogram,
       [](kcImageNormalizer& t) { t.keepMaskedPixels(true); }},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"run", "--tool",        path("tool.imgn"),
                                     "-o",  path("out.pgm"), path("image.pgm")};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult ran = runProgram(args);
    ASSERT_EQ(ran.code, 0) << ran.err;
    const GrayImage expected = libraryResult(image, c.method, true, [&](kcImageNormalizer& tool) {
      tool.neighborhoodSize({15, 11});
      c.configure(tool);
    });
    EXPECT_EQ(imgio::readImage(path("out.pgm")).pels, expected.pels) << c.options[1];
  }
  // Kept pels are the run-time pels wherever the mask is 0.
  const GrayImage kept = imgio::readImage(path("out.pgm"));
  for (std::size_t i = 0; i < kept.pels.size(); ++i)
    if (mask_.pels[i] == 0) {
      ASSERT_EQ(kept.pels[i], image.pels[i]) << i;
    }
}

TEST_F(CliRunTest, BatchOnTwoThreadsMatchesSingleRunsAndLeavesOnlyResults) {
  ASSERT_EQ(runProgram(trainArgs("histogram,local", path("tool.imgn"))).code, 0);
  std::filesystem::create_directory(path("in"));
  std::vector<std::string> args = {"run", "--tool", path("tool.imgn"), "--method", "local", "-j",
                                   "2",   "-o",     path("out") + "/"};
  std::vector<std::string> names;
  for (unsigned i = 0; i < 5; ++i) {
    names.push_back("img" + std::to_string(i) + (i % 2 ? ".pgm" : ".png"));
    imgio::writeImage(path("in/" + names.back()), scene(10 + i, 0.6 + 0.1 * i, 10.0 * i, 0.4));
    args.push_back(path("in/" + names.back()));
  }
  const CliResult batch = runProgram(args);
  EXPECT_EQ(batch.code, 0) << batch.err;
  EXPECT_EQ(batch.out, "normalized 5 of 5 images with local into " + path("out") + "/\n");
  EXPECT_EQ(batch.err, "");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(listing("out"), names);
  for (const auto& name : names) {
    const GrayImage expected = libraryResult(imgio::readImage(path("in/" + name)), eLocalCorrection,
                                             true, [](kcImageNormalizer& t) {
                                               t.neighborhoodSize({15, 11});
                                             });
    EXPECT_EQ(imgio::readImage(path("out/" + name)).pels, expected.pels) << name;
  }
}

TEST_F(CliRunTest, BatchReportsEachFailureAndTheWorstExitCode) {
  ASSERT_EQ(runProgram(trainArgs("mean-stddev", path("tool.imgn"))).code, 0);
  imgio::writeImage(path("good1.png"), scene(4, 0.8));
  imgio::writeImage(path("good2.pgm"), scene(5, 1.1));
  imgio::writeImage(path("flat.png"),
                    GrayImage{kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, 77)});
  imgio::writeImage(path("small.png"), scene(6, 1.0, 0, 0, kWidth - 1, kHeight));
  writeFile(path("text.png"), "not an image\n");
  const auto runBatch = [&](std::vector<std::string> images) {
    std::vector<std::string> args = {"run",      "--tool",      path("tool.imgn"),
                                     "--method", "mean-stddev", "-j",
                                     "2",        "-o",          path("out") + "/"};
    for (const auto& image : images) args.push_back(path(image));
    return runProgram(args);
  };
  const CliResult mixed = runBatch({"good1.png", "text.png", "small.png", "good2.pgm", "flat.png"});
  EXPECT_EQ(mixed.code, 2);
  EXPECT_EQ(mixed.out, "normalized 2 of 5 images with mean-stddev into " + path("out") +
                           "/; 1 failed; 2 unreadable, mismatched or unwritable\n");
  auto errors = lines(mixed.err);
  std::sort(errors.begin(), errors.end());
  std::vector<std::string> expected = {
      "imgnorm: " + path("flat.png") + ": Cannot match when standard deviation is 0.",
      "imgnorm: " + path("small.png") + ": the image is 63x48 pels but the reference is 64x48",
      "imgnorm: " + path("text.png") +
          ": not a PNG, TIFF or PGM image: the content matches none of their signatures (the name "
          "says "
          "PNG, the content does not); it looks like a text file",
  };
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(errors, expected);
  EXPECT_EQ(listing("out"), (std::vector<std::string>{"good1.png", "good2.pgm"}));

  const CliResult failed = runBatch({"good1.png", "flat.png"});
  EXPECT_EQ(failed.code, 1);
  EXPECT_EQ(failed.err,
            "imgnorm: " + path("flat.png") + ": Cannot match when standard deviation is 0.\n");
}

TEST_F(CliRunTest, ColourInputIsConvertedWithOneNote) {
  ASSERT_EQ(runProgram(trainArgs("histogram", path("tool.imgn"))).code, 0);
  // PPM colour files: gray from the luma weights, said once per run.
  const GrayImage gray = scene(7);
  for (const char* name : {"a.ppm", "b.ppm", "c.ppm"}) {
    std::string bytes = "P6\n64 48\n255\n";
    for (unsigned char v : gray.pels)
      bytes += {static_cast<char>(v), static_cast<char>(255 - v), static_cast<char>(v / 2)};
    writeFile(path(name), bytes);
  }
  const CliResult ran =
      runProgram({"run", "--tool", path("tool.imgn"), "--method", "identity", "-j", "3", "-o",
                  path("out") + "/", path("a.ppm"), path("b.ppm"), path("c.ppm")});
  EXPECT_EQ(ran.code, 0) << ran.err;
  const auto errors = lines(ran.err);
  ASSERT_EQ(errors.size(), 1U) << ran.err;
  EXPECT_NE(errors[0].find(": colour converted to gray (0.299 R + 0.587 G + 0.114 B)"),
            std::string::npos);
  EXPECT_EQ(listing("out"), (std::vector<std::string>{"a.png", "b.png", "c.png"}));
  const GrayImage converted = imgio::readImage(path("out/a.png"));
  for (std::size_t i = 0; i < gray.pels.size(); ++i) {
    const unsigned v = gray.pels[i];
    ASSERT_EQ(converted.pels[i], std::lround(0.299 * v + 0.587 * (255 - v) + 0.114 * (v / 2))) << i;
  }
}

TEST_F(CliRunTest, ProgressBarOnlyOnATerminal) {
  ASSERT_EQ(runProgram(trainArgs("histogram", path("tool.imgn"))).code, 0);
  std::vector<std::string> args = {"run",       "--tool", path("tool.imgn"), "--method",
                                   "histogram", "-o",     path("out/")};
  for (unsigned i = 0; i < 3; ++i) {
    imgio::writeImage(path("i" + std::to_string(i) + ".png"), scene(20 + i, 0.9));
    args.push_back(path("i" + std::to_string(i) + ".png"));
  }
  const CliResult onTerminal = runOnTerminal(args);
  EXPECT_EQ(onTerminal.code, 0);
  EXPECT_NE(onTerminal.err.find("\r[##############################] 3/3"), std::string::npos)
      << onTerminal.err;
  EXPECT_NE(onTerminal.err.find("\r[..............................] 0/3"), std::string::npos);
  const CliResult piped = runProgram(args);
  EXPECT_EQ(piped.code, 0);
  EXPECT_EQ(piped.err, "");
}

struct BadCase {
  BadCase(std::string w, std::vector<std::string> a, int c, std::string e, std::string o = "")
      : what(std::move(w)), args(std::move(a)), code(c), err(std::move(e)), out(std::move(o)) {}
  std::string what;
  std::vector<std::string> args;
  int code;
  std::string err;
  std::string out;  // run's summary, when it got as far as the images
};

// Each kind of bad input: its exit code, its whole message, and no file
// written.
TEST_F(CliBadInputTest, EachBadInputHasItsMessageAndWritesNothing) {
  ASSERT_EQ(runProgram(trainArgs("histogram", path("tool.imgn"))).code, 0);
  imgio::writeImage(path("image.png"), scene(8, 0.8));
  imgio::writeImage(path("small.png"), scene(8, 0.8, 0, 0, kWidth, kHeight - 2));
  const std::string png = readFile(path("image.png"));
  writeFile(path("cut.png"), png.substr(0, png.size() / 2));
  writeFile(path("text.png"), "hello\n");
  imgio::writeImage(path("zero.png"),
                    GrayImage{kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, 0)});
  {
    std::string deep = "P5\n64 48\n65535\n" + std::string(kWidth * kHeight * 2, '\1');
    writeFile(path("deep.pgm"), deep);
  }
  const std::string ref = path("ref.png");
  const auto normalize = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"normalize", "--reference", ref, "--method", "histogram"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  const std::string runHelp = "\nRun 'imgnorm run --help' for more information.\n";
  const std::string normalizeHelp = "\nRun 'imgnorm normalize --help' for more information.\n";
  const std::vector<BadCase> cases = {
      {"missing image", normalize({path("absent.png"), "-o", path("o.png")}), 2,
       "imgnorm: " + path("absent.png") + ": cannot open: No such file or directory\n"},
      {"truncated reference",
       {"normalize", "--reference", path("cut.png"), "--method", "local", path("image.png"), "-o",
        path("o.png")},
       2,
       "imgnorm: " + path("cut.png") + ": truncated or corrupt PNG file: the file ends early\n"},
      {"text named png", normalize({path("text.png"), "-o", path("o.png")}), 2,
       "imgnorm: " + path("text.png") +
           ": not a PNG, TIFF or PGM image: the content matches none of their signatures (the name "
           "says PNG, "
           "the content does not); it looks like a text file\n"},
      {"16-bit image", normalize({path("deep.pgm"), "-o", path("o.png")}), 2,
       "imgnorm: " + path("deep.pgm") +
           ": 16-bit samples are not supported; convert the image to 8-bit gray first, for "
           "example: convert '" +
           path("deep.pgm") + "' -colorspace Gray -depth 8 gray8.png\n"},
      {"mask of another size",
       normalize({"--mask", path("small.png"), path("image.png"), "-o", path("o.png")}), 2,
       "imgnorm: " + path("small.png") + ": the image is 64x46 pels but the reference is 64x48\n"},
      {"image of another size",
       {"run", "--tool", path("tool.imgn"), "--method", "histogram", path("small.png"), "-o",
        path("o.png")},
       2,
       "imgnorm: " + path("small.png") + ": the image is 64x46 pels but the reference is 64x48\n",
       "normalized 0 of 1 image with histogram into " + path("o.png") +
           "; 1 unreadable, mismatched or unwritable\n"},
      {"unknown method",
       {"run", "--tool", path("tool.imgn"), "--method", "equalize", path("image.png"), "-o",
        path("o.png")},
       2,
       "imgnorm: --method: unknown method 'equalize' (known: histogram, mean-stddev, tails, "
       "linear-fit, local, "
       "local-enhanced, identity)" +
           runHelp},
      {"unknown method in a list",
       {"train", "--reference", ref, "--methods", "histogram,,local", "-o", path("t")},
       2,
       "imgnorm: --methods: 'histogram,,local' is not a comma-separated list of methods (known: "
       "histogram, "
       "mean-stddev, tails, linear-fit, local, local-enhanced, all)\nRun 'imgnorm train --help' "
       "for more "
       "information.\n"},
      {"malformed size",
       normalize({"--neighborhood", "15x", path("image.png"), "-o", path("o.png")}), 2,
       "imgnorm: --neighborhood: '15x' is not WxH with whole numbers from 1 to 65535 (e.g. "
       "101x101)" +
           normalizeHelp},
      {"zero size", normalize({"--granularity", "0x2", path("image.png"), "-o", path("o.png")}), 2,
       "imgnorm: --granularity: '0x2' is not WxH with whole numbers from 1 to 65535 (e.g. "
       "101x101)" +
           normalizeHelp},
      {"malformed pair", normalize({"--tails", "0.1;0.9", path("image.png"), "-o", path("o.png")}),
       2,
       "imgnorm: --tails: '0.1;0.9' is not LO,HI with two numbers (e.g. 0.05,0.95)" +
           normalizeHelp},
      {"range the tool refuses",
       normalize({"--range", "5,10", path("image.png"), "-o", path("o.png")}), 2,
       "imgnorm: --range: intensityVariationRange must be: x <= 0 and y >= 0\n"},
      {"image above --max-pixels",
       {"run", "--tool", path("tool.imgn"), "--method", "histogram", "--max-pixels", "3071",
        path("image.png"), "-o", path("o.png")},
       2,
       "imgnorm: " + path("image.png") +
           ": the image is too large (64x48); the limits are 65535 pels a side and 3071 pels in "
           "all\n",
       "normalized 0 of 1 image with histogram into " + path("o.png") +
           "; 1 unreadable, mismatched or unwritable\n"},
      {"output over the input", normalize({path("image.png"), "-o", path("image.png")}), 2,
       "imgnorm: " + path("image.png") + ": refusing to write over an input file\n"},
      {"batch output folder holding an input",
       {"run", "--tool", path("tool.imgn"), "--method", "histogram", path("image.png"),
        path("ref.png"), "-o", folder_.string()},
       2,
       "imgnorm: " + path("image.png") + ": refusing to write over an input file\n"},
      {"two inputs, one output name",
       {"run", "--tool", path("tool.imgn"), "--method", "histogram", path("image.png"),
        path("image.png"), "-o", path("out")},
       2,
       "imgnorm: " + path("out/image.png") +
           ": more than one result would be written to this file\n"},
      {"one output file for several images",
       {"run", "--tool", path("tool.imgn"), "--method", "histogram", path("image.png"),
        path("ref.png"), "-o", path("o.png")},
       2,
       "imgnorm: " + path("o.png") +
           ": -o needs a folder for several images (an existing folder or a name ending in /)\n"},
      {"unknown output extension", normalize({path("image.png"), "-o", path("o.jpg")}), 2,
       "imgnorm: " + path("o.jpg") +
           ": unknown image file extension (use .png, .tif, .tiff or .pgm)\n"},
      {"output folder missing", normalize({path("image.png"), "-o", path("no/o.png")}), 2,
       "imgnorm: " + path("no/o.png") + ": the folder " + path("no") + " does not exist\n"},
      {"compare picture not png",
       normalize({path("image.png"), "-o", path("o.png"), "--side-by-side", path("c.tif")}), 2,
       "imgnorm: " + path("c.tif") + ": the compare picture is a PNG; name it .png\n"},
      {"method not trained",
       {"run", "--tool", path("tool.imgn"), "--method", "local", path("image.png"), "-o",
        path("o.png")},
       2,
       "imgnorm: " + path("tool.imgn") +
           ": the tool was not trained for local (trained for: histogram)\n"},
      {"tool file that is an image",
       {"run", "--tool", path("image.png"), "--method", "histogram", path("ref.png"), "-o",
        path("o.png")},
       2,
       "imgnorm: Cannot load tool file \"" + path("image.png") +
           "\": Not a tool file: the signature is missing.\n"},
      {"empty histogram under the mask",
       {"train", "--reference", ref, "--mask", path("zero.png"), "--methods", "histogram,local",
        "-o", path("t")},
       1,
       "imgnorm: cannot train for histogram, local: Histogram must be non-empty for the specified "
       "methods.\n"},
  };
  const std::vector<std::string> before = listing();
  for (const auto& c : cases) {
    const CliResult result = runProgram(c.args);
    EXPECT_EQ(result.code, c.code) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
    EXPECT_EQ(result.out, c.out) << c.what;
    EXPECT_EQ(listing(), before) << c.what;
  }
}

TEST_F(CliDiagTest, TrainRunAndNormalizeWriteNumberedRecords) {
  const GrayImage image = scene(9, 0.7);
  imgio::writeImage(path("image.png"), image);
  std::vector<std::string> train = trainArgs("histogram,local", path("tool.imgn"));
  train.insert(train.end(), {"--diag", path("d-train")});
  ASSERT_EQ(runProgram(train).code, 0);
  EXPECT_EQ(listing("d-train"),
            (std::vector<std::string>{"001-referenceImage.png", "002-Parameters.txt",
                                      "003-maskImage.png", "index.txt"}));
  EXPECT_EQ(imgio::readImage(path("d-train/001-referenceImage.png")).pels, reference_.pels);
  EXPECT_EQ(imgio::readImage(path("d-train/003-maskImage.png")).pels, mask_.pels);
  EXPECT_EQ(lines(readFile(path("d-train/002-Parameters.txt")))[0], "trainedMethods=(1 | 16 | )");
  EXPECT_EQ(readFile(path("d-train/index.txt")),
            "001 level=0 image referenceImage\n002 level=0 text Parameters\n003 level=0 image "
            "maskImage\n");

  ASSERT_EQ(runProgram({"run", "--tool", path("tool.imgn"), "--method", "local", "--diag",
                        path("d-run"), "-o", path("out.png"), path("image.png")})
                .code,
            0);
  const std::vector<std::string> runRecords = {
      "001-Image_Normalization.png", "002-Run-time_parameters.txt",        "003-referenceImage.png",
      "004-maskImage.png",           "005-Image_Normalization_Result.png", "index.txt"};
  EXPECT_EQ(listing("d-run"), runRecords);
  EXPECT_EQ(imgio::readImage(path("d-run/001-Image_Normalization.png")).pels, image.pels);
  EXPECT_EQ(imgio::readImage(path("d-run/005-Image_Normalization_Result.png")).pels,
            imgio::readImage(path("out.png")).pels);
  EXPECT_EQ(lines(readFile(path("d-run/002-Run-time_parameters.txt")))[0],
            "method=eLocalCorrection");

  ASSERT_EQ(runProgram({"normalize", "--reference", path("ref.png"), "--method", "histogram",
                        "--diag", path("d-both"), path("image.png"), "-o", path("n.png")})
                .code,
            0);
  EXPECT_EQ(listing("d-both"),
            (std::vector<std::string>{"001-referenceImage.png", "002-Parameters.txt",
                                      "003-Image_Normalization.png", "004-Run-time_parameters.txt",
                                      "005-referenceImage.png", "006-maskImage.txt",
                                      "007-Image_Normalization_Result.png", "index.txt"}));
  EXPECT_EQ(readFile(path("d-both/006-maskImage.txt")), "(no image)\n");
}

TEST_F(CliDiagTest, RecordsAreWrittenWhenNormalizationFailsButNoResult) {
  imgio::writeImage(path("flat.png"),
                    GrayImage{kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, 9)});
  const CliResult result =
      runProgram({"normalize", "--reference", path("ref.png"), "--method", "mean-stddev", "--diag",
                  path("d"), path("flat.png"), "-o", path("o.png")});
  EXPECT_EQ(result.code, 1);
  EXPECT_EQ(result.err,
            "imgnorm: " + path("flat.png") + ": Cannot match when standard deviation is 0.\n");
  EXPECT_FALSE(std::filesystem::exists(path("o.png")));
  // Two records of training, four of the run's inputs, the unbound result.
  const std::vector<std::string> records = listing("d");
  ASSERT_EQ(records.size(), 8U);
  EXPECT_EQ(records.front(), "001-referenceImage.png");
  EXPECT_EQ(records[6], "007-Image_Normalization_Result.txt");
  EXPECT_EQ(readFile(path("d/007-Image_Normalization_Result.txt")), "(no image)\n");
}

TEST_F(CliSideBySideTest, ShowsImageReferenceAndResultAboveTheirHistograms) {
  const GrayImage image = scene(11, 0.6, 40);
  imgio::writeImage(path("image.png"), image);
  const CliResult result = runProgram({"normalize", "--reference", path("ref.png"), "--mask",
                                       path("mask.png"), "--method", "histogram", "--side-by-side",
                                       path("cmp.png"), path("image.png"), "-o", path("out.png")});
  ASSERT_EQ(result.code, 0) << result.err;
  const GrayImage picture = imgio::readImage(path("cmp.png"));
  // Panels 256 wide (the images are narrower) with margins of 12; the
  // pictures start below a 14 pel label and a gap of 8; then a gap of 8,
  // 80 pels of histogram and a 6 pel ramp. The fourth panel, the map, is
  // 256 square.
  EXPECT_EQ(picture.width, 12 + 4 * (256 + 12));
  EXPECT_EQ(picture.height, 12 + 14 + 8 + std::max(kHeight + 8 + 80 + 6, 256L) + 12);
  const GrayImage output = imgio::readImage(path("out.png"));
  const std::vector<const GrayImage*> panels = {&image, &reference_, &output};
  for (std::size_t p = 0; p < panels.size(); ++p) {
    const long left = 12 + static_cast<long>(p) * (256 + 12) + (256 - kWidth) / 2;
    for (long y = 0; y < kHeight; ++y)
      for (long x = 0; x < kWidth; ++x)
        ASSERT_EQ(picture.at(left + x, 34 + y), panels[p]->at(x, y)) << p << " " << x << "," << y;
  }
  // Under each panel: the ramp holds every level from 0 to 255 once.
  const long rampY = 34 + kHeight + 8 + 80;
  for (long x = 0; x < 256; ++x) ASSERT_EQ(picture.at(12 + x, rampY), x);
  // The tallest histogram bar of the reference reaches the top of its box.
  bool reachesTop = false;
  for (long x = 0; x < 256; ++x) reachesTop |= picture.at(12 + 268 + x, 34 + kHeight + 8) != 0;
  EXPECT_TRUE(reachesTop);
}

TEST_F(CliSideBySideTest, BatchWritesAComparePictureAndRecordsPerImage) {
  ASSERT_EQ(runProgram(trainArgs("histogram", path("tool.imgn"))).code, 0);
  imgio::writeImage(path("a.png"), scene(12, 0.8));
  imgio::writeImage(path("b.tif"), scene(13, 0.9));
  const CliResult result = runProgram({"run", "--tool", path("tool.imgn"), "--method", "histogram",
                                       "-o", path("out"), "--side-by-side", path("out"), "--diag",
                                       path("d"), path("a.png"), path("b.tif")});
  ASSERT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(listing("out"),
            (std::vector<std::string>{"a-compare.png", "a.png", "b-compare.png", "b.tif"}));
  // Records of several images go to a folder per result.
  EXPECT_EQ(listing("d"), (std::vector<std::string>{"a_png", "b_tif"}));
  EXPECT_EQ(listing("d/b_tif").back(), "index.txt");
  EXPECT_EQ(listing("d/b_tif").size(), 6U);
}

// A colour picture of the scene: each channel with its own gain.
imgio::ColorImage colourScene(unsigned seed, double gain, long width = kWidth,
                              long height = kHeight) {
  const GrayImage gray = scene(seed, 1.0, 0.0, 0.0, width, height);
  imgio::ColorImage image{width, height, 3, {}};
  for (unsigned char v : gray.pels)
    for (double channelGain : {1.1, 0.9, 0.6})
      image.pels.push_back(static_cast<unsigned char>(std::min(255.0, v * gain * channelGain)));
  return image;
}

TEST_F(CliTest, ColourReportsAndImagesOfAnotherSize) {
  imgio::writeImage(path("cref.png"), colourScene(1, 1.0));
  imgio::writeImage(path("cimg.png"), colourScene(2, 0.7));
  CliResult r = runProgram({"normalize", "--reference", path("cref.png"), "--method", "histogram",
                            "--report", path("c.json"), path("cimg.png"), "-o", path("c.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  // Channels by default: each channel went through its record's map.
  nlohmann::json report = nlohmann::json::parse(readFile(path("c.json")));
  nlohmann::json record = report["records"][0];
  EXPECT_EQ(record["color"], "channels");
  EXPECT_TRUE(record["success"].get<bool>());
  ASSERT_EQ(record["maps"].size(), 3U);
  const imgio::ColorImage in = imgio::readColorImage(path("cimg.png"));
  const imgio::ColorImage out = imgio::readColorImage(path("c.png"));
  ASSERT_EQ(out.channels, 3);
  for (std::size_t i = 0; i < out.pels.size(); ++i)
    ASSERT_EQ(out.pels[i], record["maps"][i % 3]["map"][in.pels[i]].get<int>()) << i;

  r = runProgram({"train", "--reference", path("cref.png"), "--methods", "all", "--color",
                  "luminance", "-o", path("c.imgn")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(runProgram({"info", path("c.imgn")}).out.find("colour:           luminance"),
            std::string::npos);
  r = runProgram({"run", "--tool", path("c.imgn"), "--method", "linear-fit", "--report",
                  path("l.json"), "-o", path("l.png"), path("cimg.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  record = nlohmann::json::parse(readFile(path("l.json")))["records"][0];
  EXPECT_EQ(record["maps"][0]["plane"], "luminance");
  EXPECT_GT(record["maps"][0]["fit"]["near_line_share"].get<double>(), 0.9);
  EXPECT_EQ(imgio::readColorImage(path("l.png")).channels, 3);

  // A gray image of another size: mapped whole without a mask, refused with one.
  const GrayImage small = scene(3, 0.5, 20, 0.0, 40, 30);
  imgio::writeImage(path("small.png"), small);
  r = runProgram({"normalize", "--reference", path("ref.png"), "--method", "histogram",
                  "--report", path("s.json"), path("small.png"), "-o", path("s.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  record = nlohmann::json::parse(readFile(path("s.json")))["records"][0];
  const GrayImage mapped = imgio::readImage(path("s.png"));
  ASSERT_EQ(mapped.width, 40);
  for (std::size_t i = 0; i < mapped.pels.size(); ++i)
    ASSERT_EQ(mapped.pels[i], record["maps"][0]["map"][small.pels[i]].get<int>());
  r = runProgram({"normalize", "--reference", path("ref.png"), "--mask", path("mask.png"),
                  "--method", "histogram", "--report", path("f.json"), path("small.png"), "-o",
                  path("f.png")});
  EXPECT_EQ(r.code, 2);
  record = nlohmann::json::parse(readFile(path("f.json")))["records"][0];
  EXPECT_FALSE(record["success"].get<bool>());
  EXPECT_NE(record["message"].get<std::string>().find("40x30"), std::string::npos);
}

using CliOutputsTest = CliTest;

// Outputs that cannot be written are found before any work, and an image
// whose compare picture cannot be written keeps no result either.
TEST_F(CliOutputsTest, EachImageGetsAllItsOutputsOrNone) {
  imgio::writeImage(path("image.png"), scene(14, 0.8));
  writeFile(path("file"), "a file, not a folder\n");
  std::filesystem::create_symlink("/dev/full", path("full.png"));
  const auto normalize = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"normalize", "--reference", path("ref.png"), "--method",
                                     "histogram", path("image.png"),  "-o",      path("o.pgm")};
    args.insert(args.end(), extra.begin(), extra.end());
    return programWith(args);
  };
  // The shell limits the files the program writes to 7 blocks of 512
  // bytes: the result (3085 bytes) fits, the compare picture does not.
  const auto withSmallFiles = [](std::vector<std::string> command) {
    command.insert(command.begin(),
                   {"/bin/sh", "-c", "ulimit -f 7; trap '' XFSZ; exec \"$0\" \"$@\""});
    return command;
  };
  struct Case {
    std::string what;
    std::vector<std::string> command;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"--diag into a file", normalize({"--diag", path("file/d")}),
       "imgnorm: " + path("file/d") + ": cannot create the diagnostics folder: Not a directory\n"},
      {"compare picture linked to a device", normalize({"--side-by-side", path("full.png")}),
       "imgnorm: " + path("full.png") + ": not a regular file; refusing to write over it\n"},
      {"compare picture too large to write",
       withSmallFiles(normalize({"--side-by-side", path("cmp.png")})),
       "imgnorm: " + path("cmp.png") + ": cannot write: File too large\n"},
  };
  for (const auto& c : cases) {
    Started started = startCommand(c.command);
    const CliResult result = finish(started);
    EXPECT_EQ(result.code, 2) << c.what;
    EXPECT_EQ(result.err, c.err) << c.what;
    EXPECT_EQ(listing(),
              (std::vector<std::string>{"file", "full.png", "image.png", "mask.png", "ref.png"}))
        << c.what;
  }
}

// An interrupt while an image is read stops the work: outputs already
// complete stay, the image in progress writes nothing, and both commands
// exit with 130 and count what they wrote. The image is read from a pipe,
// so the interrupt arrives while the program waits for it.
TEST_F(CliOutputsTest, AnInterruptKeepsCompleteOutputsOnlyInEveryCommand) {
  ASSERT_EQ(runProgram(trainArgs("histogram", path("tool.imgn"))).code, 0);
  imgio::writeImage(path("a.png"), scene(15, 0.9));
  imgio::writeImage(path("piped.png"), scene(16, 0.9));
  const std::string pipe = path("b.png");
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::vector<std::string> written;
  };
  const std::vector<Case> cases = {
      {{"normalize", "--reference", path("ref.png"), "--method", "identity", pipe, "-o",
        path("out/b.png")},
       "normalized 0 of 1 image with identity into " + path("out/b.png") + "; interrupted\n",
       {}},
      {{"run", "--tool", path("tool.imgn"), "--method", "identity", "-j", "1", "-o",
        path("out") + "/", path("a.png"), pipe},
       "normalized 1 of 2 images with identity into " + path("out") + "/; interrupted\n",
       {"a.png"}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(path("out"));
    std::filesystem::create_directory(path("out"));
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    Started started = startCommand(programWith(c.args));
    // Opening the pipe waits for the program to open it: by then the
    // outputs of earlier images are complete.
    const int fd = open(pipe.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    kill(started.pid, SIGINT);
    const std::string bytes = readFile(path("piped.png"));
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    const CliResult result = finish(started);
    EXPECT_EQ(result.code, 130) << c.args[0] << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(listing("out"), c.written) << c.args[0];
    std::filesystem::remove(pipe);
  }
}

}  // namespace
