// End-to-end tests of the imgnorm program: each runs the built program on
// files in a fresh folder and checks what only the program does: options,
// exit codes, summaries, the files it writes or leaves alone, batches,
// interruption. The library's own tests own its numbers and messages.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "imaging/pel_stack.h"
#include "imgio/image_rows.h"
#include "imgnorm/image_normalizer.h"
#include "imgnorm/persistence.h"
#include "imgnorm/planar_normalizer.h"
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
  std::string out, err;
};

std::string readAll(FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) text.append(chunk, n);
  std::fclose(file);
  return text;
}

// Runs command with stdout and stderr in files (stderr onto errFd, a
// terminal, when given); during gets the process id while it runs.
CliResult runCommand(Names command, const std::function<void(pid_t)>& during = {}, int errFd = -1) {
  std::vector<char*> argv;
  for (auto& arg : command) argv.push_back(arg.data());
  argv.push_back(nullptr);
  FILE *out = std::tmpfile(), *err = std::tmpfile();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errFd == -1 ? fileno(err) : errFd, STDERR_FILENO);
  pid_t pid = -1;
  const bool started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  if (errFd != -1) close(errFd);
  CliResult result;
  int status = 0;
  if (started && during) during(pid);
  if (started && waitpid(pid, &status, 0) == pid)
    result.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = readAll(out);
  result.err = readAll(err);
  return result;
}

Names programWith(Names args) {
  args.insert(args.begin(), IMGNORM_CLI_PATH);
  return args;
}

CliResult runProgram(const Names& args) { return runCommand(programWith(args)); }

// Runs the program with stderr on a pseudo terminal, drained while it runs;
// what the terminal received is returned as err.
CliResult runOnTerminal(const Names& args) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
  std::string received;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;)
      received.append(chunk, static_cast<std::size_t>(n));
  });
  CliResult result = runCommand(programWith(args), {}, open(ptsname(master), O_RDWR | O_NOCTTY));
  reader.join();
  close(master);
  result.err = received;
  return result;
}

// A ramp with noise; gain, offset and a left-to-right illumination slope
// make the run-time variants.
GrayImage scene(unsigned seed, double gain = 1.0, double offset = 0.0, double slope = 0.0,
                long width = kWidth, long height = kHeight) {
  GrayImage image = TempFolderTest::randomImage(width, height, seed);
  for (long y = 0; y < height; ++y)
    for (long x = 0; x < width; ++x) {
      const auto fx = static_cast<double>(x), ramp = static_cast<double>(40 + 2 * y + x);
      const double v = (ramp + image.at(x, y) % 40) * gain * (1 + slope * fx / kWidth) + offset;
      image.at(x, y) = static_cast<unsigned char>(std::clamp(std::lround(v), 0L, 255L));
    }
  return image;
}

GrayImage flat(unsigned char level) {
  return {kWidth, kHeight, std::vector<unsigned char>(kWidth * kHeight, level)};
}

kcPelBuffer_const<unsigned char> toBuffer(const GrayImage& image) {
  return kcPelBuffer_const<unsigned char>::wrap(image.pels.data(), image.width, image.height,
                                                image.width, nullptr);
}

std::vector<unsigned char> pelsOf(const kcPelBuffer_const<unsigned char>& buffer) {
  std::vector<unsigned char> pels;
  for (long y = 0; y < buffer.height(); ++y)
    for (long x = 0; x < buffer.width(); ++x)
      pels.push_back(buffer.get(buffer.window().x() + x, buffer.window().y() + y));
  return pels;
}

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
    mask_ = flat(0);
    for (long y = 4; y < kHeight - 4; ++y)
      for (long x = 4; x < kWidth - 4; ++x)
        mask_.at(x, y) = static_cast<unsigned char>(1 + (x * y) % 255);
    imgio::writeImage(path("ref.png"), reference_);
    imgio::writeImage(path("mask.png"), mask_);
  }

  // The library's pels for the same request, configured by configure.
  std::vector<unsigned char> libraryPels(
      const GrayImage& image, Method method, bool withMask,
      const std::function<void(kcImageNormalizer&)>& configure = {}) const {
    kcImageNormalizer tool;
    tool.referenceImage(toBuffer(reference_), true);
    if (withMask) tool.maskImage(toBuffer(mask_), true);
    tool.neighborhoodSize({15, 11});
    if (configure) configure(tool);
    tool.train(method);
    bool success = false;
    std::wstring message;
    const auto result = tool.run(toBuffer(image), method, success, message);
    EXPECT_TRUE(success);
    return pelsOf(result);
  }

  // Trains tool.imgn on the reference and mask with a 15x11 neighbourhood.
  void train(const std::string& methods) {
    const CliResult trained =
        runProgram({"train", "--reference", path("ref.png"), "--mask", path("mask.png"),
                    "--methods", methods, "--neighborhood", "15x11", "-o", path("tool.imgn")});
    ASSERT_EQ(trained.code, 0) << trained.err;
  }

  Names runArgs(const std::string& method, Names rest) const {
    rest.insert(rest.begin(), {"run", "--tool", path("tool.imgn"), "--method", method});
    return rest;
  }

  Names normalizeArgs(const std::string& method, Names rest) const {
    rest.insert(rest.begin(), {"normalize", "--reference", path("ref.png"), "--method", method});
    return rest;
  }

  nlohmann::json firstRecord(const std::string& name) const {
    return nlohmann::json::parse(readFile(path(name)))["records"][0];
  }

  GrayImage reference_;
  GrayImage mask_;
};

TEST_F(CliTest, HelpVersionAndUsageErrors) {
  const struct {
    Names args;
    int code;
    std::string out;  // a part of stdout
  } cases[] = {
      {{"--help"}, 0, "Usage: imgnorm [--help] [--version] COMMAND [OPTIONS]\n"},
      {{"train", "--help"}, 0, "Usage: imgnorm train "},
      {{"info", "--help"}, 0, "Exit codes: 0 success, 1 a normalization that did not succeed"},
      {{"--version"}, 0, "imgnorm " IMGNORM_VERSION "\n"},
      {{}, 2, ""},
      {{"frobnicate"}, 2, ""},
      {{"train", "--reference", path("ref.png"), "-o", path("t")}, 2, ""},
  };
  for (const auto& c : cases) {
    const CliResult result = runProgram(c.args);
    EXPECT_EQ(result.code, c.code) << c.out;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
    EXPECT_EQ(result.err.empty(), c.code == 0) << result.err;
  }
  EXPECT_EQ(listing(), (Names{"mask.png", "ref.png"}));
}

TEST_F(CliTest, TrainSavesEveryParameterAndInfoPrintsThem) {
  const CliResult trained = runProgram(
      {"train",         "--reference",      path("ref.png"),  "--mask",  path("mask.png"),
       "--methods",     "local, histogram", "--neighborhood", "31x21",   "--granularity",
       "2x3",           "--tails",          "0.1,0.9",        "--range", "-50,60",
       "--keep-masked", "--model",          "divide",         "-o",      path("tool.imgn")});
  ASSERT_EQ(trained.code, 0) << trained.err;
  EXPECT_EQ(trained.out, "trained for histogram, local: " + path("tool.imgn") + "\n");
  const long inside = kWidth * kHeight - std::count(mask_.pels.begin(), mask_.pels.end(), 0);
  const CliResult info = runProgram({"info", path("tool.imgn")});
  EXPECT_EQ(info.code, 0);
  EXPECT_EQ(info.out, "tool:             " + path("tool.imgn") +
                          "\ntrained methods:  histogram, local\ndepth:            8-bit images\n"
                          "reference image:  64x48\n"
                          "mask image:       64x48, " +
                          std::to_string(inside) +
                          " pels inside\nneighborhood:     31x21\ngranularity:      2x3\n"
                          "tails:            0.1,0.9\nrange:            -50,60\n"
                          "keep-masked:      yes\nmodel:            divide\n");
  EXPECT_EQ(runProgram({"info", path("ref.png")}).code, 2);
}

// Every method name and run-time option reaches the library: run from a
// trained tool gives the library's pels; normalize without a mask too.
TEST_F(CliTest, MethodsAndRunTimeOptionsGiveTheLibrarysPels) {
  const GrayImage image = scene(2, 0.7, 30, 0.5);
  imgio::writeImage(path("image.pgm"), image);
  train("all");
  const auto tails = [](kcImageNormalizer& t) { t.tailFractions({0.05, 0.8}); };
  const auto range = [](kcImageNormalizer& t) { t.intensityVariationRange({-20, 5}); };
  const auto keep = [](kcImageNormalizer& t) { t.keepMaskedPixels(true); };
  const auto divide = [](kcImageNormalizer& t) { t.model(eDivide); };
  const struct {
    std::string name;
    Method method;
    Names options;
    std::function<void(kcImageNormalizer&)> configure;
  } cases[] = {
      {"histogram", eMatchHistogram, {}, {}},
      {"mean-stddev", eMatchMeanAndStddev, {}, {}},
      {"tails", eMatchHistogramTails, {"--tails", "0.05,0.8"}, tails},
      {"linear-fit", eLinearlyFitGrayValues, {}, {}},
      {"local", eLocalCorrection, {}, {}},
      {"local-enhanced", eLocalCorrectionEnhanced, {"--range", "-20,5"}, range},
      {"local", eLocalCorrection, {"--model", "divide"}, divide},
      {"local-enhanced", eLocalCorrectionEnhanced, {"--model", "divide"}, divide},
      {"identity", eIdentity, {}, {}},
      {"histogram", eMatchHistogram, {"--keep-masked"}, keep},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Names args = runArgs(c.name, {"-o", path("r.tif"), path("image.pgm")});
    args.insert(args.end(), c.options.begin(), c.options.end());
    const CliResult ran = runProgram(args);
    ASSERT_EQ(ran.code, 0) << ran.err;
    EXPECT_EQ(ran.out, "normalized 1 of 1 image with " + c.name + " into " + path("r.tif") + "\n");
    EXPECT_EQ(imgio::readImage(path("r.tif")).pels,
              libraryPels(image, c.method, true, c.configure));
  }
  const CliResult normalized = runProgram(normalizeArgs(
      "linear-fit", {"--neighborhood", "15x11", path("image.pgm"), "-o", path("n.png")}));
  ASSERT_EQ(normalized.code, 0) << normalized.err;
  EXPECT_EQ(normalized.out,
            "normalized " + path("image.pgm") + " with linear-fit into " + path("n.png") + "\n");
  EXPECT_EQ(imgio::readImage(path("n.png")).pels,
            libraryPels(image, eLinearlyFitGrayValues, false));
}

TEST_F(CliTest, BatchReportsEachFailureAndTheWorstExitCode) {
  train("mean-stddev");
  imgio::writeImage(path("good1.png"), scene(4, 0.8));
  imgio::writeImage(path("good2.pgm"), scene(5, 1.1));
  imgio::writeImage(path("flat.png"), flat(77));
  imgio::writeImage(path("small.png"), scene(6, 1.0, 0, 0, kWidth - 1, kHeight));
  writeFile(path("text.png"), "not an image\n");
  const auto runBatch = [&](Names images) {
    Names args = runArgs("mean-stddev", {"-j", "2", "-o", path("out") + "/"});
    for (const auto& image : images) args.push_back(path(image));
    return runProgram(args);
  };
  const CliResult mixed = runBatch({"good1.png", "text.png", "small.png", "good2.pgm", "flat.png"});
  EXPECT_EQ(mixed.code, 2);
  EXPECT_EQ(mixed.out, "normalized 2 of 5 images with mean-stddev into " + path("out") +
                           "/; 1 failed; 2 unreadable, mismatched or unwritable\n");
  Names errors = lines(mixed.err);
  std::sort(errors.begin(), errors.end());
  ASSERT_EQ(errors.size(), 3U) << mixed.err;
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(errors[i].rfind(
                  "imgnorm: " + path(Names{"flat.png", "small.png", "text.png"}[i]) + ": ", 0),
              0U)
        << errors[i];
  EXPECT_EQ(listing("out"), (Names{"good1.png", "good2.pgm"}));
  EXPECT_EQ(runBatch({"good1.png", "flat.png"}).code, 1);
}

// A batch on two threads: the library's pels, a compare picture and a
// folder of records per image, colour converted with one note for the
// run, and a progress bar only on a terminal.
TEST_F(CliTest, BatchOnTwoThreadsGivesEveryOutputOfEachImage) {
  train("local");
  std::filesystem::create_directory(path("in"));
  Names args = runArgs("local", {"-j", "2", "-o", path("out") + "/", "--side-by-side", path("out"),
                                 "--diag", path("d")});
  std::string colour = "P6\n64 48\n255\n";
  for (unsigned char v : scene(7).pels) colour += {static_cast<char>(v), 0, static_cast<char>(v)};
  for (const char* name : {"img0.png", "img1.pgm", "img2.ppm", "img3.ppm"}) {
    if (name[3] < '2') imgio::writeImage(path("in/") + name, scene(name[3] * 2U, 0.6, 10, 0.4));
    if (name[3] >= '2') writeFile(path("in/") + name, colour);
    args.push_back(path("in/") + name);
  }
  const CliResult batch = runProgram(args);
  EXPECT_EQ(batch.code, 0) << batch.err;
  EXPECT_EQ(batch.out, "normalized 4 of 4 images with local into " + path("out") + "/\n");
  ASSERT_EQ(lines(batch.err).size(), 1U) << batch.err;
  EXPECT_NE(batch.err.find(": colour converted to gray"), std::string::npos);
  EXPECT_EQ(listing("out"),
            (Names{"img0-compare.png", "img0.png", "img1-compare.png", "img1.pgm",
                   "img2-compare.png", "img2.png", "img3-compare.png", "img3.png"}));
  EXPECT_EQ(imgio::readColorImage(path("out/img0-compare.png")).channels, 1);  // gray stays gray
  EXPECT_EQ(listing("d"), (Names{"img0_png", "img1_pgm", "img2_png", "img3_png"}));
  EXPECT_EQ(listing("d/img3_png").size(), 6U);
  EXPECT_EQ(imgio::readImage(path("d/img0_png/005-Image_Normalization_Result.png")).pels,
            imgio::readImage(path("out/img0.png")).pels);
  for (const auto& name : {"img0.png", "img1.pgm"})
    EXPECT_EQ(imgio::readImage(path("out/") + name).pels,
              libraryPels(imgio::readImage(path("in/") + name), eLocalCorrection, true))
        << name;
  const CliResult onTerminal = runOnTerminal(args);
  EXPECT_EQ(onTerminal.code, 0);
  EXPECT_NE(onTerminal.err.find("\r[..............................] 0/4"), std::string::npos);
  EXPECT_NE(onTerminal.err.find("\r[##############################] 4/4"), std::string::npos)
      << onTerminal.err;
}

// Each kind of bad input: its exit code, a message naming what is wrong,
// run's summary where it got as far as the images, and no file written.
TEST_F(CliTest, EachBadInputHasItsExitCodeAndWritesNothing) {
  train("histogram");
  imgio::writeImage(path("image.png"), scene(8, 0.8));
  imgio::writeImage(path("small.png"), scene(8, 0.8, 0, 0, kWidth, kHeight - 2));
  const std::string png = readFile(path("image.png"));
  writeFile(path("cut.png"), png.substr(0, png.size() / 2));
  writeFile(path("text.png"), "hello\n");
  imgio::writeImage(path("zero.png"), flat(0));
  // Tool paths that are no tool: a device, a pipe no one writes, a file
  // larger than a tool of images within the pel limit (6 x 3071 pels and
  // 65536 bytes of the rest).
  ASSERT_EQ(mkfifo(path("fifo.imgn").c_str(), 0600), 0);
  writeFile(path("big.imgn"), "");
  std::filesystem::resize_file(path("big.imgn"), 100000);
  const std::string image = path("image.png"), o = path("o.png");
  const std::string noneOf1 = "normalized 0 of 1 image with histogram into " + o +
                              "; 1 unreadable, mismatched or unwritable\n";
  const struct {
    Names args;
    int code;
    std::string err;  // a part of the message
    std::string out = "";
  } cases[] = {
      {{"normalize", "--reference", path("cut.png"), "--method", "local", image, "-o", o},
       2,
       "cut.png: "},
      {normalizeArgs("histogram", {path("text.png"), "-o", o}), 2, "text.png: "},
      {normalizeArgs("histogram", {"--mask", path("small.png"), image, "-o", o}), 2, "64x46"},
      {runArgs("histogram", {path("small.png"), "-o", o}), 2, "64x46", noneOf1},
      {runArgs("equalize", {image, "-o", o}), 2, "--method"},
      {{"train", "--reference", path("ref.png"), "--methods", "histogram,,local", "-o", path("t")},
       2,
       "--methods"},
      {normalizeArgs("histogram", {"--neighborhood", "15x", image, "-o", o}), 2, "--neighborhood"},
      {normalizeArgs("histogram", {"--tails", "0.1;0.9", image, "-o", o}), 2, "--tails"},
      {normalizeArgs("histogram", {"--range", "5,10", image, "-o", o}), 2, "--range"},
      {normalizeArgs("histogram", {image, "-o", image}), 2, "over an input"},
      {runArgs("histogram", {image, path("ref.png"), "-o", folder_.string()}), 2, "over an input"},
      {runArgs("histogram", {image, image, "-o", path("out")}), 2, "more than one result"},
      {runArgs("histogram", {image, path("ref.png"), "-o", o}), 2, "-o needs a folder"},
      {normalizeArgs("histogram", {image, "-o", path("o.jpg")}), 2, "o.jpg: "},
      {normalizeArgs("histogram", {image, "-o", path("no/o.png")}), 2, "no/o.png: "},
      {normalizeArgs("histogram", {image, "-o", o, "--side-by-side", path("c.tif")}), 2, "c.tif"},
      {runArgs("local", {image, "-o", o}), 2, "not trained for local"},
      {{"run", "--tool", image, "--method", "histogram", path("ref.png"), "-o", o}, 2, "tool file"},
      {{"info", "/dev/zero"}, 2, "\"/dev/zero\": it is not a regular file."},
      {{"info", path("fifo.imgn")}, 2, "fifo.imgn\": it is not a regular file."},
      {{"run", "--tool", path("big.imgn"), "--max-pixels", "3071", "--method", "histogram", image,
        "-o", o},
       2,
       "big.imgn\": its 100000 bytes are more than the 83962 allowed."},
      {{"train", "--reference", path("ref.png"), "--mask", path("zero.png"), "--methods",
        "histogram,local", "-o", path("t")},
       1,
       "cannot train for histogram, local: "},
  };
  const Names before = listing();
  for (const auto& c : cases) {
    const CliResult result = runProgram(c.args);
    EXPECT_EQ(result.code, c.code) << c.err;
    EXPECT_EQ(result.err.rfind("imgnorm: ", 0), 0U) << result.err;
    EXPECT_NE(result.err.find(c.err), std::string::npos) << result.err;
    EXPECT_EQ(result.out, c.out) << c.err;
    EXPECT_EQ(listing(), before) << c.err;
  }
}

TEST_F(CliTest, DiagWritesNumberedRecordsAlsoWhenNormalizationFails) {
  const CliResult trained =
      runProgram({"train", "--reference", path("ref.png"), "--mask", path("mask.png"), "--methods",
                  "histogram,local", "-o", path("tool.imgn"), "--diag", path("d-train")});
  ASSERT_EQ(trained.code, 0) << trained.err;
  EXPECT_EQ(listing("d-train"), (Names{"001-referenceImage.png", "002-Parameters.txt",
                                       "003-maskImage.png", "index.txt"}));
  EXPECT_EQ(imgio::readImage(path("d-train/003-maskImage.png")).pels, mask_.pels);
  // A colour tool records each plane's training after its name.
  imgio::ColorImage luminanceRef{kWidth, kHeight, 3, {}};
  for (const unsigned char g : reference_.pels)
    luminanceRef.pels.insert(luminanceRef.pels.end(), {g, g, 0});
  imgio::writeImage(path("cref.png"), luminanceRef);
  const CliResult colour =
      runProgram({"train", "--reference", path("cref.png"), "--color", "luminance", "--methods",
                  "histogram", "-o", path("c.imgn"), "--diag", path("d-colour")});
  ASSERT_EQ(colour.code, 0) << colour.err;
  EXPECT_EQ(listing("d-colour"), (Names{"001-Colour_plane.txt", "002-referenceImage.png",
                                        "003-Parameters.txt", "index.txt"}));
  EXPECT_EQ(readFile(path("d-colour/001-Colour_plane.txt")), "plane=luminance\n");

  imgio::writeImage(path("flat.png"), flat(9));
  const CliResult failed = runProgram(
      normalizeArgs("mean-stddev", {"--diag", path("d"), path("flat.png"), "-o", path("o.png")}));
  EXPECT_EQ(failed.code, 1);
  EXPECT_FALSE(std::filesystem::exists(path("o.png")));
  const Names records = listing("d");
  ASSERT_EQ(records.size(), 8U);
  EXPECT_EQ(records[5], "006-maskImage.txt");
  EXPECT_EQ(records[6], "007-Image_Normalization_Result.txt");
  EXPECT_EQ(readFile(path("d/007-Image_Normalization_Result.txt")), "(no image)\n");
}

TEST_F(CliTest, ColourModesReachTheReportAndToolAndOtherSizesAreMappedWhole) {
  imgio::ColorImage colour{kWidth, kHeight, 3, {}}, cref = colour;
  for (std::size_t i = 0; i < reference_.pels.size(); ++i)
    for (double gain : {1.1, 0.9, 0.6}) {
      cref.pels.push_back(static_cast<unsigned char>(reference_.pels[i] * gain));
      colour.pels.push_back(static_cast<unsigned char>(cref.pels.back() * 0.7));
    }
  imgio::writeImage(path("cimg.png"), colour);
  imgio::writeImage(path("cref.png"), cref);
  CliResult r = runProgram({"normalize", "--reference", path("cref.png"), "--method", "histogram",
                            "--report", path("c.json"), path("cimg.png"), "-o", path("c.png"),
                            "--side-by-side", path("c-compare.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  // The compare picture is in colour: panels, histograms and the maps' curves.
  const imgio::ColorImage compare = imgio::readColorImage(path("c-compare.png"));
  ASSERT_EQ(compare.channels, 3);
  long coloured = 0;
  for (std::size_t i = 0; i < compare.pels.size(); i += 3)
    coloured += compare.pels[i] != compare.pels[i + 1] || compare.pels[i] != compare.pels[i + 2];
  EXPECT_GT(coloured, compare.width * compare.height / 20);
  nlohmann::json record = firstRecord("c.json");
  EXPECT_EQ(record["color"], "channels");
  ASSERT_EQ(record["maps"].size(), 3U);
  const imgio::ColorImage out = imgio::readColorImage(path("c.png"));
  ASSERT_EQ(out.channels, 3);
  for (std::size_t i = 0; i < out.pels.size(); ++i)
    ASSERT_EQ(out.pels[i], record["maps"][i % 3]["map"][colour.pels[i]].get<int>()) << i;

  r = runProgram({"train", "--reference", path("cref.png"), "--methods", "all", "--color",
                  "luminance", "-o", path("c.imgn")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(runProgram({"info", path("c.imgn")}).out.find("colour:           luminance"),
            std::string::npos);
  r = runProgram({"run", "--tool", path("c.imgn"), "--method", "linear-fit", "--report",
                  path("l.json"), "-o", path("l.png"), path("cimg.png")});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(firstRecord("l.json")["maps"][0]["plane"], "luminance");
  EXPECT_EQ(imgio::readColorImage(path("l.png")).channels, 3);

  // A gray image of another size, refused with a mask.
  imgio::writeImage(path("small.png"), scene(3, 0.5, 20, 0.0, 40, 30));
  r = runProgram(normalizeArgs("histogram", {"--mask", path("mask.png"), "--report", path("f.json"),
                                             path("small.png"), "-o", path("f.png")}));
  EXPECT_EQ(r.code, 2);
  EXPECT_FALSE(firstRecord("f.json")["success"].get<bool>());
  EXPECT_FALSE(std::filesystem::exists(path("f.png")));
}

// A constant image holds no line: the fit's map sends every level to 0, as
// defined, and both the report and standard error say that no line was found.
TEST_F(CliTest, ALinearFitWithoutALineWarnsAndReportsIt) {
  imgio::writeImage(path("flat.png"), flat(90));
  imgio::writeImage(path("scene.png"), scene(5, 0.8, 10));
  train("linear-fit");
  for (const Names& args :
       {runArgs("linear-fit", {"--report", path("fit.json"), path("flat.png"), path("scene.png"),
                               "-o", path("out") + "/"}),
        normalizeArgs("linear-fit", {path("flat.png"), "-o", path("flat-out.png")})}) {
    const CliResult r = runProgram(args);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(lines(r.err), std::vector<std::string>{
                                "imgnorm: warning: " + path("flat.png") +
                                ": the linear fit found no line in the gray plane (its pels have "
                                "one gray level), so every pel became 0"});
  }
  const nlohmann::json report = nlohmann::json::parse(readFile(path("fit.json")))["records"];
  EXPECT_FALSE(report[0]["maps"][0]["fit"]["line_found"].get<bool>());
  EXPECT_EQ(report[0]["maps"][0]["fit"]["gain"], 0.0);
  EXPECT_TRUE(report[1]["maps"][0]["fit"]["line_found"].get<bool>());
  EXPECT_EQ(imgio::readImage(path("flat-out.png")).pels, flat(0).pels);
}

// Alpha comes out as it went in, in every colour mode and file format that
// holds it, beside the pels the same image without alpha gets; PGM refuses
// it. Gray stored as RGBA keeps its alpha too.
TEST_F(CliTest, EveryColourModeKeepsTheImagesAlpha) {
  imgio::ColorImage cref{kWidth, kHeight, 3, {}};
  const GrayImage gray = scene(4, 0.7, 10), alpha = randomImage(kWidth, kHeight, 6);
  imgio::ColorImage ga{kWidth, kHeight, 2, {}}, grayRgba{kWidth, kHeight, 4, {}}, rgba = grayRgba;
  imgio::ColorImage rgb{kWidth, kHeight, 3, {}};
  for (std::size_t i = 0; i < gray.pels.size(); ++i) {
    const unsigned char g = gray.pels[i], a = alpha.pels[i];
    const auto part = [&](double gain) { return static_cast<unsigned char>(g * gain); };
    cref.pels.insert(cref.pels.end(), {reference_.pels[i], part(1.2), part(0.5)});
    ga.pels.insert(ga.pels.end(), {g, a});
    grayRgba.pels.insert(grayRgba.pels.end(), {g, g, g, a});
    rgba.pels.insert(rgba.pels.end(), {g, part(0.8), part(1.1), a});
    rgb.pels.insert(rgb.pels.end(), {g, part(0.8), part(1.1)});
  }
  imgio::writeImage(path("cref.png"), cref);
  imgio::writeImage(path("gray.png"), gray);
  imgio::writeImage(path("rgb.png"), rgb);
  imgio::writeImage(path("ga.png"), ga);
  imgio::writeImage(path("ga.tif"), ga);
  imgio::writeImage(path("gray-rgba.png"), grayRgba);
  imgio::writeImage(path("rgba.tif"), rgba);
  const auto normalized = [&](const std::string& mode, const std::string& in,
                              const std::string& out) {
    const CliResult r = runProgram({"normalize", "--reference", path("cref.png"), "--color", mode,
                                    "--method", "histogram", path(in), "-o", path(out)});
    EXPECT_EQ(r.code, 0) << mode << " " << in << ": " << r.err;
    return imgio::readColorImage(path(out));
  };
  const std::pair<std::string, std::string> withAndWithout[] = {{"ga.png", "gray.png"},
                                                                {"ga.tif", "gray.png"},
                                                                {"gray-rgba.png", "gray.png"},
                                                                {"rgba.tif", "rgb.png"}};
  for (const std::string mode : {"gray", "channels", "luminance"})
    for (const auto& [in, plain] : withAndWithout) {
      SCOPED_TRACE(mode + " " + in);
      const imgio::ColorImage out = normalized(mode, in, "out" + in.substr(in.find('.')));
      const imgio::ColorImage expected = normalized(mode, plain, "plain.png");
      ASSERT_EQ(out.channels, expected.channels + 1);
      for (std::size_t i = 0; i < alpha.pels.size(); ++i) {
        const auto pel = out.pels.begin() + static_cast<std::ptrdiff_t>(i) * out.channels;
        ASSERT_EQ(pel[out.channels - 1], alpha.pels[i]) << i;
        ASSERT_TRUE(
            std::equal(pel, pel + expected.channels,
                       expected.pels.begin() + static_cast<std::ptrdiff_t>(i) * expected.channels))
            << i;
      }
    }
  const CliResult r = runProgram(normalizeArgs("histogram", {path("ga.png"), "-o", path("o.pgm")}));
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find(path("o.pgm") + ": PGM cannot hold the image's alpha"), std::string::npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(path("o.pgm")));
}

// Outputs that cannot be written are found before any work, and an image
// whose compare picture cannot be written keeps no result either.
TEST_F(CliTest, EachImageGetsAllItsOutputsOrNone) {
  imgio::writeImage(path("image.png"), scene(14, 0.8));
  writeFile(path("file"), "a file, not a folder\n");
  std::filesystem::create_symlink("/dev/full", path("full.png"));
  const auto normalize = [&](const std::string& option, const std::string& value) {
    return programWith(
        normalizeArgs("histogram", {path("image.png"), "-o", path("o.pgm"), option, value}));
  };
  // The shell limits the files the program writes to 7 blocks of 512
  // bytes: the result (3085 bytes) fits, the compare picture does not.
  Names small = normalize("--side-by-side", path("cmp.png"));
  small.insert(small.begin(), {"/bin/sh", "-c", "ulimit -f 7; trap '' XFSZ; exec \"$0\" \"$@\""});
  const std::pair<Names, std::string> cases[] = {
      {normalize("--diag", path("file/d")), path("file/d") + ": cannot create"},
      {normalize("--side-by-side", path("full.png")), path("full.png") + ": not a regular file"},
      {small, path("cmp.png") + ": cannot write: File too large"},
  };
  for (const auto& [command, err] : cases) {
    const CliResult result = runCommand(command);
    EXPECT_EQ(result.code, 2) << err;
    EXPECT_NE(result.err.find(err), std::string::npos) << result.err;
    EXPECT_EQ(listing(), (Names{"file", "full.png", "image.png", "mask.png", "ref.png"})) << err;
  }
}

// An interrupt while an image is read stops the work: outputs already
// complete stay, the image in progress writes nothing, and both commands
// exit with 130 and count what they wrote. The image is read from a pipe,
// so the interrupt arrives while the program waits for it.
TEST_F(CliTest, AnInterruptKeepsCompleteOutputsOnlyInEveryCommand) {
  train("histogram");
  imgio::writeImage(path("a.png"), scene(15, 0.9));
  const std::string pipe = path("b.png");
  const struct {
    Names args;
    std::string out;
    Names written;
  } cases[] = {
      {normalizeArgs("identity", {pipe, "-o", path("out/b.png")}),
       "normalized 0 of 1 image with identity into " + path("out/b.png") + "; interrupted\n",
       {}},
      {runArgs("identity", {"-j", "1", "-o", path("out") + "/", path("a.png"), pipe}),
       "normalized 1 of 2 images with identity into " + path("out") + "/; interrupted\n",
       {"a.png"}},
  };
  for (const auto& c : cases) {
    std::filesystem::remove_all(path("out"));
    std::filesystem::create_directory(path("out"));
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const CliResult result = runCommand(programWith(c.args), [&](pid_t pid) {
      // Opening the pipe waits for the program to open it: by then the
      // outputs of earlier images are complete.
      const int fd = open(pipe.c_str(), O_WRONLY);
      kill(pid, SIGINT);
      ASSERT_GE(fd, 0);
      const std::string bytes = readFile(path("a.png"));
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
      close(fd);
    });
    EXPECT_EQ(result.code, 130) << result.err;
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(listing("out"), c.written);
    std::filesystem::remove(pipe);
  }
}

}  // namespace

namespace {

// A scene on 12 bits: each 8-bit level times 16, plus a fine part.
imgio::ColorImage16 deepScene(unsigned seed, int shift = 0) {
  const GrayImage image = scene(seed);
  imgio::ColorImage16 deep{kWidth, kHeight, 1, {}, shift > 0 ? 16 : 12};
  for (std::size_t i = 0; i < image.pels.size(); ++i)
    deep.pels.push_back(static_cast<std::uint16_t>((image.pels[i] * 16 + i % 16) << shift));
  return deep;
}

}  // namespace

// 16-bit files through the program: the tool's depth and bits, 12-bit
// samples stored low or high giving one result in the input's layout, the
// library's pels, and the refusals of mismatched depths and samples.
TEST_F(CliTest, SixteenBitFilesKeepTheirDepthAndBits) {
  imgio::writeImage(path("ref16.png"), deepScene(1));
  imgio::writeImage(path("low.tif"), deepScene(2));
  imgio::writeImage(path("high.png"), deepScene(2, 4));
  ASSERT_EQ(runProgram({"train", "--reference", path("ref16.png"), "--mask", path("mask.png"),
                        "--methods", "histogram,linear-fit,local,local-enhanced", "-o",
                        path("tool.imgn")})
                .code,
            0);
  EXPECT_NE(runProgram({"info", path("tool.imgn")})
                .out.find("depth:            16-bit images of 12 bits\n"),
            std::string::npos);
  const struct {
    const char* name;
    Method method;
  } methods[] = {{"histogram", eMatchHistogram},
                 {"linear-fit", eLinearlyFitGrayValues},
                 {"local", eLocalCorrection},
                 {"local-enhanced", eLocalCorrectionEnhanced}};
  for (const auto& [method, m] : methods) {
    SCOPED_TRACE(method);
    const CliResult low = runProgram(
        runArgs(method, {"--report", path("r.json"), "-o", path("low-out.tif"), path("low.tif")}));
    ASSERT_EQ(low.code, 0) << low.err;
    ASSERT_EQ(runProgram(runArgs(method, {"-o", path("high-out.png"), path("high.png")})).code, 0);
    imgio::ReadInfo info;
    const auto lowOut =
        std::get<imgio::ColorImage16>(imgio::readAnyDepthImage(path("low-out.tif")));
    const auto highOut =
        std::get<imgio::ColorImage16>(imgio::readAnyDepthImage(path("high-out.png"), &info));
    EXPECT_EQ(lowOut.bits, 12);
    EXPECT_EQ(highOut.bits, 16);
    ASSERT_EQ(lowOut.pels.size(), highOut.pels.size());
    for (std::size_t i = 0; i < lowOut.pels.size(); ++i)
      ASSERT_EQ(highOut.pels[i], lowOut.pels[i] << 4) << i;

    kcImageNormalizer tool;
    const imgio::ColorImage16 reference = deepScene(1), image = deepScene(2);
    const auto wrap = [](const imgio::ColorImage16& d) {
      return kcPelBuffer_const<unsigned short>::wrap(d.pels.data(), d.width, d.height, d.width,
                                                     nullptr);
    };
    tool.referenceImage(wrap(reference), 12, true);
    tool.maskImage(toBuffer(mask_), true);
    tool.intensityVariationRange({-4095, 4095});  // the command line's default at 12 bits
    tool.train(m);
    bool success = false;
    std::wstring message;
    const auto expected = tool.run(wrap(image), m, success, message);
    for (long y = 0; y < kHeight; ++y)
      for (long x = 0; x < kWidth; ++x)
        ASSERT_EQ(lowOut.pels[static_cast<std::size_t>(y * kWidth + x)], expected.get(x, y));
    if (isLocal(m)) continue;
    const nlohmann::json map = firstRecord("r.json")["maps"][0];
    EXPECT_EQ(map["levels"], 4096);
    EXPECT_FALSE(map.contains("map"));
    EXPECT_LT(map["map_deflated"].get<std::string>().size(), 64u << 10);
  }

  GrayImage eightBit = scene(3);
  imgio::writeImage(path("eight.png"), eightBit);
  imgio::ColorImage16 odd = deepScene(2);
  odd.bits = 16;
  odd.pels[5] = 4097;  // neither within 12 bits nor 12 bits stored high
  imgio::writeImage(path("odd.png"), odd);
  ASSERT_EQ(runProgram({"train", "--reference", path("ref.png"), "--methods", "histogram", "-o",
                        path("narrow.imgn")})
                .code,
            0);
  const struct {
    Names args;
    std::string message;
  } refusals[] = {
      {runArgs("histogram", {"-o", path("x.png"), path("eight.png")}),
       "eight.png: an 8-bit image, but the tool is for 16-bit images of 12 bits"},
      {{"run", "--tool", path("narrow.imgn"), "--method", "histogram", "-o", path("x.png"),
        path("low.tif")},
       "low.tif: a 16-bit image, but the tool was trained on an 8-bit reference"},
      {runArgs("histogram", {"-o", path("x.png"), path("odd.png")}),
       "odd.png: samples above 12 bits that are not 12-bit samples stored high"},
      {{"train", "--reference", path("ref.png"), "--bits", "12", "--methods", "histogram", "-o",
        path("x.imgn")},
       "ref.png: --bits is for 16-bit references"},
  };
  for (const auto& r : refusals) {
    const CliResult result = runProgram(r.args);
    EXPECT_NE(result.code, 0);
    EXPECT_NE(result.err.find(r.message), std::string::npos) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(path("x.png")));
}

// --field-out writes one field per image beside its result, and refuses
// what has no field before anything is written.
TEST_F(CliTest, FieldsAreWrittenPerImageAndRefusedWhereNoneApplies) {
  imgio::writeImage(path("a.png"), scene(2, 0.8));
  imgio::writeImage(path("b.png"), scene(3, 0.9));
  train("local, histogram");
  const CliResult ran =
      runProgram(runArgs("local", {"--model", "divide", "--field-out", path("fields/"), "-o",
                                   path("out/"), path("a.png"), path("b.png")}));
  ASSERT_EQ(ran.code, 0) << ran.err;
  EXPECT_TRUE(std::filesystem::is_regular_file(path("fields/a-field.tif")));
  EXPECT_TRUE(std::filesystem::is_regular_file(path("fields/b-field.tif")));
  const struct {
    Names args;
    std::string message;
  } refusals[] = {
      {runArgs("histogram", {"--field-out", path("f.tif"), "-o", path("r.png"), path("a.png")}),
       "imgnorm: --field-out: only local and local-enhanced apply a correction field\n"},
      {runArgs("local", {"--field-out", path("f.png"), "-o", path("r.png"), path("a.png")}),
       "imgnorm: " + path("f.png") + ": the correction field is a TIFF; name it .tif or .tiff\n"},
      {normalizeArgs("local", {"--field-out", path("r.tif"), "-o", path("r.tif"), path("a.png")}),
       "imgnorm: " + path("r.tif") + ": the field and the result need different names\n"},
  };
  for (const auto& refusal : refusals) {
    const CliResult refused = runProgram(refusal.args);
    EXPECT_EQ(refused.code, 2);
    EXPECT_EQ(refused.err, refusal.message);
    EXPECT_FALSE(std::filesystem::exists(path("r.png")) || std::filesystem::exists(path("f.tif")));
  }
}

// Several references become their per-pel mean or median; frames that do
// not match the first are refused by name.
TEST_F(CliTest, SeveralReferencesAreCombinedByMeanOrMedian) {
  const GrayImage frames[] = {scene(4), scene(5, 0.9), scene(6, 1.1, 5)};
  std::vector<kcPelBuffer_const<unsigned char>> stack;
  Names references = {"train", "--reference"};
  for (const char* name : {"f0.png", "f1.png", "f2.png"}) {
    const GrayImage& frame = frames[references.size() - 2];
    imgio::writeImage(path(name), frame);
    references.push_back(path(name));
    stack.push_back(toBuffer(frame));
  }
  kcPelStackMean<unsigned char> mean(stack.front().window());
  for (const auto& frame : stack) mean.add(frame);
  const std::pair<std::string, kcPelBuffer<unsigned char>> cases[] = {
      {"mean", mean.mean()}, {"median", kfPelStackMedian(stack)}};
  for (const auto& [how, expected] : cases) {
    Names args = references;
    args.insert(args.end(), {"--combine", how, "--methods", "local", "-o", path(how + ".imgn")});
    const CliResult trained = runProgram(args);
    ASSERT_EQ(trained.code, 0) << trained.err;
    const kcImageNormalizer tool = kfLoadImageNormalizer(path(how + ".imgn"));
    EXPECT_EQ(pelsOf(tool.referenceImage()), pelsOf(expected)) << how;
  }
  imgio::writeImage(path("small.png"), scene(7, 1.0, 0.0, 0.0, kWidth - 1, kHeight));
  Names args = references;
  args.insert(args.end(), {path("small.png"), "--methods", "local", "-o", path("t.imgn")});
  const CliResult refused = runProgram(args);
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.err,
            "imgnorm: " + path("small.png") + ": " + std::to_string(kWidth - 1) + "x" +
                std::to_string(kHeight) + ", 1 channel, 8 bits, but the first reference is " +
                std::to_string(kWidth) + "x" + std::to_string(kHeight) + ", 1 channel, 8 bits\n");
  EXPECT_FALSE(std::filesystem::exists(path("t.imgn")));
}

namespace {

imgio::ColorImage colourScene(int channels) {
  const GrayImage planes[] = {scene(4), scene(5, 0.9), scene(6, 1.1, 5), scene(7)};
  imgio::ColorImage image{kWidth, kHeight, channels, {}};
  for (std::size_t i = 0; i < planes[0].pels.size(); ++i)
    for (int c = 0; c < channels; ++c) image.pels.push_back(planes[c].pels[i]);
  return image;
}

// A colour scene of 12-bit samples, stored high by shift; with alpha, its
// fourth channel spans all 16 bits.
imgio::ColorImage16 deepColourScene(int channels, int shift) {
  const imgio::ColorImage narrow = colourScene(channels);
  imgio::ColorImage16 deep{kWidth, kHeight, channels, {}, shift > 0 ? 16 : 12};
  for (std::size_t i = 0; i < narrow.pels.size(); ++i) {
    const bool alpha = channels == 4 && i % 4 == 3;
    deep.pels.push_back(static_cast<std::uint16_t>(
        alpha ? narrow.pels[i] * 257 : (narrow.pels[i] * 16 + i % 13) << shift));
  }
  return deep;
}

// image as a TIFF of side x side tiles, written a few rows at a time.
template <class Image>
void writeTiled(const std::string& file, const Image& image, long side) {
  const imgio::ImageLayout layout{imgio::Format::kTiff, image.width, image.height,
                                  image.channels,       image.bits,  sizeof(image.pels[0]) == 2};
  auto writer = imgio::RowWriter::create(file, imgio::Format::kTiff, layout, {false, side});
  const long rowSamples = image.width * image.channels;
  for (long y = 0; y < image.height; y += 5)
    writer->write(std::min(5L, image.height - y), image.pels.data() + y * rowSamples);
  writer->commit();
}

// A file's size, channels, bits and samples, whatever their depth.
std::tuple<long, long, int, int, std::vector<unsigned>> contentOf(const std::string& file) {
  return std::visit(
      [](const auto& i) {
        return std::make_tuple(i.width, i.height, i.channels, i.bits,
                               std::vector<unsigned>(i.pels.begin(), i.pels.end()));
      },
      imgio::readAnyDepthImage(file));
}

}  // namespace

// Streamed runs give the pels of runs in memory: every method of a gray
// tool with a mask on a TIFF whose tiles overhang the image, of a colour
// tool on RGBA and on an image of another size, of a 12-bit tool on
// samples stored high; bands shorter than the local methods' margins, and
// several bands at once.
// 16-bit colour files keep their channels: each colour mode gives the
// library's planes, stored high as the input was, alpha as it came.
TEST_F(CliTest, SixteenBitColourFilesKeepTheirChannels) {
  imgio::writeImage(path("ref16.png"), deepColourScene(3, 0));
  const imgio::ColorImage16 file = deepColourScene(4, 4);
  imgio::writeImage(path("rgba16.png"), file);
  imgio::ColorImage16 low = file;
  for (std::size_t i = 0; i < low.pels.size(); ++i)
    if (i % 4 != 3) low.pels[i] = static_cast<std::uint16_t>(low.pels[i] >> 4);
  // Sample (x, y, c) of an image of channels channels.
  const auto at = [](long x, long y, int c, int channels) {
    return static_cast<std::size_t>((y * kWidth + x) * channels + c);
  };
  const auto planesOf = [&](const imgio::ColorImage16& d) {
    kcWidePlanes planes;
    for (int c = 0; c < d.channels; ++c) {
      kcPelBuffer<unsigned short> plane(kcPelRect(0, 0, kWidth, kHeight));
      for (long y = 0; y < kHeight; ++y)
        for (long x = 0; x < kWidth; ++x)
          plane.pointToPel(x, y)[0] = d.pels[at(x, y, c, d.channels)];
      planes.push_back(std::move(plane));
    }
    return planes;
  };
  const kcWidePlanes reference = planesOf(deepColourScene(3, 0)), image = planesOf(low);
  const struct {
    const char* color;
    kcPlanarNormalizer::Mode mode;
  } modes[] = {{"channels", kcPlanarNormalizer::eChannels},
               {"luminance", kcPlanarNormalizer::eLuminance},
               {"gray", kcPlanarNormalizer::eGray}};
  const std::pair<const char*, Method> methods[] = {{"histogram", eMatchHistogram},
                                                    {"local-enhanced", eLocalCorrectionEnhanced}};
  for (const auto& [color, mode] : modes)
    for (const auto& [method, m] : methods) {
      SCOPED_TRACE(std::string(color) + " " + method);
      ASSERT_EQ(runProgram({"train", "--reference", path("ref16.png"), "--color", color,
                            "--neighborhood", "9x7", "--methods", method, "-o", path("tool.imgn")})
                    .code,
                0);
      const CliResult run =
          runProgram(runArgs(method, {"-o", path("out.tif"), path("rgba16.png")}));
      ASSERT_EQ(run.code, 0) << run.err;
      const auto out = std::get<imgio::ColorImage16>(imgio::readAnyDepthImage(path("out.tif")));

      kcImageNormalizer configuration;
      configuration.neighborhoodSize({9, 7});
      configuration.intensityVariationRange({-4095, 4095});  // the default at 12 bits
      kcPlanarNormalizer tool(configuration);
      tool.trainWide(mode, reference, 12, {}, m);
      const kcWideRun expected = tool.run(image, m);
      ASSERT_TRUE(expected.success);
      ASSERT_EQ(out.channels, mode == kcPlanarNormalizer::eGray ? 2 : 4);
      ASSERT_EQ(expected.planes.size(), static_cast<std::size_t>(out.channels));
      EXPECT_EQ(out.bits, 16);
      ASSERT_EQ(out.pels.size(), static_cast<std::size_t>(kWidth * kHeight * out.channels));
      for (int c = 0; c < out.channels; ++c) {
        const int shift = c == out.channels - 1 ? 0 : 4;  // alpha as it came
        const kcPelBuffer<unsigned short>& plane = expected.planes[static_cast<std::size_t>(c)];
        for (long y = 0; y < kHeight; ++y)
          for (long x = 0; x < kWidth; ++x)
            ASSERT_EQ(out.pels[at(x, y, c, out.channels)], plane.get(x, y) << shift)
                << x << "," << y << "," << c;
      }
    }
}

TEST_F(CliTest, StreamedRunsGiveThePelsOfRunsInMemory) {
  // A reference window and a mask window that leave a border on each side.
  const auto saveWindowedTool = [&](const std::string& file) {
    kcPelBuffer_const<unsigned char> reference = toBuffer(reference_), mask = toBuffer(mask_);
    reference.window(kcPelRect(5, 3, 50, 37), false);
    mask.window(kcPelRect(9, 6, 50, 40), false);
    kcImageNormalizer tool;
    tool.referenceImage(reference, true);
    tool.maskImage(mask, true);
    tool.neighborhoodSize({15, 11});
    tool.train(static_cast<Method>(kKnownMethods));
    kfSaveImageNormalizer(tool, file);
  };
  const GrayImage gray = scene(2, 0.8, 9, 0.3);
  // The command line takes images of the reference window's size; they
  // overlap it from (5, 3), and the mask from (9, 6).
  imgio::writeImage(path("gray.pgm"), scene(2, 0.8, 9, 0.3, 50, 37));
  writeTiled(path("gray.tif"), imgio::ColorImage{gray.width, gray.height, 1, gray.pels}, 32);
  imgio::writeImage(path("rgb-ref.png"), colourScene(3));
  imgio::writeImage(path("rgba.png"), colourScene(4));
  imgio::ColorImage other = colourScene(3);
  other.width = kWidth - 7;
  other.pels.resize(static_cast<std::size_t>(other.width * kHeight * 3));
  imgio::writeImage(path("other.png"), other);
  imgio::writeImage(path("ref16.png"), deepScene(1));
  imgio::writeImage(path("high.png"), deepScene(2, 4));
  imgio::writeImage(path("rgb16.png"), deepColourScene(3, 0));
  writeTiled(path("rgba16.tif"), deepColourScene(4, 4), 16);
  const std::string all = "histogram,mean-stddev,tails,linear-fit,local,local-enhanced";
  const struct {
    Names train;
    std::string image, output, methods;
  } cases[] = {
      {{"--reference", path("ref.png"), "--mask", path("mask.png")}, "gray.tif", "o.tif", all},
      {{"--reference", path("rgb-ref.png"), "--color", "luminance"}, "rgba.png", "o.png", all},
      {{"--reference", path("rgb-ref.png"), "--color", "channels"},
       "other.png",
       "o.tif",
       "histogram,linear-fit"},
      {{"--reference", path("ref16.png"), "--mask", path("mask.png")},
       "high.png",
       "o.pgm",
       "tails,linear-fit,local,local-enhanced"},
      {{"--reference", path("rgb16.png"), "--color", "luminance"}, "rgba16.tif", "o.png", all},
      {{"--reference", path("rgb16.png"), "--color", "channels"},
       "rgba16.tif",
       "o.tif",
       "mean-stddev,local"},
      {{}, "gray.pgm", "o.png", all},  // windows of the library's own
  };
  std::mt19937 random(5);
  for (const auto& c : cases) {
    Names train = {"train", "--neighborhood", "15x11", "--methods", c.methods,
                   "-o",    path("tool.imgn")};
    train.insert(train.end(), c.train.begin(), c.train.end());
    if (c.train.empty())
      saveWindowedTool(path("tool.imgn"));
    else
      ASSERT_EQ(runProgram(train).code, 0) << c.image;
    std::istringstream methods(c.methods);
    for (std::string method; std::getline(methods, method, ',');) {
      const std::string bands = std::to_string(1 + random() % 7);
      const std::string threads = std::to_string(1 + random() % 3);
      SCOPED_TRACE(c.image + " " + method + ", bands of " + bands + " on " + threads);
      const CliResult inMemory =
          runProgram(runArgs(method, {"-o", path("m-" + c.output), path(c.image)}));
      ASSERT_EQ(inMemory.code, 0) << inMemory.err;
      const CliResult streamed =
          runProgram(runArgs(method, {"--stream", "--band-rows", bands, "-j", threads, "-o",
                                      path(c.output), path(c.image)}));
      ASSERT_EQ(streamed.code, 0) << streamed.err;
      EXPECT_EQ(contentOf(path(c.output)), contentOf(path("m-" + c.output)));
    }
  }
}

// Images above --max-pixels are streamed where they can be: --dry-run
// prints the plan and writes nothing, what cannot be streamed is refused
// saying why, --bigtiff writes a BigTIFF, and an interrupt mid-stream
// leaves no file behind.
TEST_F(CliTest, LargeImagesAreStreamedOrRefusedSayingWhy) {
  imgio::writeImage(path("a.png"), scene(2, 0.8));
  train("local,histogram");
  const CliResult plan =
      runProgram(runArgs("local", {"--max-pixels", "100", "--band-rows", "5", "-j", "1",
                                   "--dry-run", "-o", path("o.png"), path("a.png")}));
  EXPECT_EQ(plan.code, 0);
  const Names planLines = lines(plan.out);
  ASSERT_EQ(planLines.size(), 5u) << plan.out;
  EXPECT_EQ(planLines[1], "size:             64 x 48, 1 channel, 8 bits (PNG)");
  EXPECT_EQ(planLines[2], "read:             streamed (more pels than --max-pixels)");
  EXPECT_EQ(planLines[3],
            "bands:            5 rows and 9 above and below, 1 at once; 1 pass over the file")
      << "the 15x11 smoothing reaches 3 x 6 / 2 rows";
  EXPECT_EQ(listing(), (Names{"a.png", "mask.png", "ref.png", "tool.imgn"}));

  ASSERT_EQ(runProgram({"train", "--reference", path("ref.png"), "--methods", "local,histogram",
                        "--granularity", "2x2", "-o", path("plain.imgn")})
                .code,
            0);
  const std::pair<Names, std::string> refusals[] = {
      {{"run", "--tool", path("plain.imgn"), "--method", "local", "--max-pixels", "100", "-o",
        path("o.png"), path("a.png")},
       "a local method at granularity above 1 works on the whole image"},
      {runArgs("histogram", {"--max-pixels", "100", "--side-by-side", path("c.png"), "-o",
                             path("o.png"), path("a.png")}),
       "the compare picture needs the whole image"},
  };
  for (const auto& [args, why] : refusals) {
    const CliResult refused = runProgram(args);
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find(path("a.png") +
                               ": 3072 pels, more than --max-pixels allows in "
                               "memory, and it cannot be streamed: " +
                               why),
              std::string::npos)
        << refused.err;
  }

  ASSERT_EQ(runProgram(runArgs("histogram",
                               {"--stream", "--bigtiff", "-o", path("big.tif"), path("a.png")}))
                .code,
            0);
  EXPECT_EQ(readFile(path("big.tif")).substr(0, 4), std::string("II+\0", 4));
  ASSERT_EQ(runProgram(runArgs("histogram", {"-o", path("small.tif"), path("a.png")})).code, 0);
  EXPECT_EQ(contentOf(path("big.tif")), contentOf(path("small.tif")));
  // A gray tool streams a colour file's luma, with the note a run in memory gives.
  imgio::writeImage(path("rgb.png"), colourScene(3));
  const std::pair<std::string, std::string> runs[] = {{"--stream", "s.png"},
                                                      {"--max-pixels=4000", "m.png"}};
  for (const auto& [how, output] : runs) {
    const CliResult run = runProgram(runArgs("local", {how, "-o", path(output), path("rgb.png")}));
    EXPECT_NE(run.err.find("note: " + path("rgb.png") + ": colour converted to gray"),
              std::string::npos)
        << run.err;
  }
  EXPECT_EQ(contentOf(path("s.png")), contentOf(path("m.png")));

  // An image of another size is mapped whole, here in 3000 bands of a row.
  const GrayImage large = randomImage(1000, 3000, 3);
  imgio::writeImage(path("large.pgm"), large);
  std::filesystem::create_directory(path("out"));
  const CliResult interrupted = runCommand(
      programWith({"run", "--tool", path("plain.imgn"), "--method", "histogram", "--stream",
                   "--band-rows", "1", "-j", "1", "-o", path("out/large.tif"), path("large.pgm")}),
      [&](pid_t pid) {
        // The result's temporary appears before the first band is counted.
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (listing("out").empty() && std::chrono::steady_clock::now() < limit)
          std::this_thread::yield();
        kill(pid, SIGINT);
      });
  EXPECT_EQ(interrupted.code, 130) << interrupted.err;
  EXPECT_EQ(listing("out"), Names{});
}
