// mnist-lab show: digits of an IDX image file as a PNG grid, labelled from the label file
// beside it. Only the chosen images are read, so looking at a few of 60,000 costs little. With
// --distorted each digit is followed by distorted copies of it, drawn as training draws them
// with MNIST_MLP_DISTORTION (elastic when it is unset) and MNIST_MLP_SEED.
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "distortion/epoch_distortion.h"
#include "io/byte_order.h"
#include "io/stream.h"
#include "lab/digit_grid.h"
#include "lab/lab.h"
#include "mnist/image_set.h"

namespace {

constexpr size_t kDefaultCount = 100;
// As many digits as a report's mistakes picture holds at most; more make a picture too large to
// look at (and to keep in memory).
constexpr size_t kMaxDigitsShown = 300;
constexpr uint32_t kDistortedCopies = 8;  // one digit each in the labels "#1" to "#8"
constexpr uint32_t kSide = 28;
constexpr const char* kUsage = "usage: show IDX_IMAGES [INDEX...] [--distorted] [-o FILE.png]";

struct Options {
  std::string images;
  std::vector<uint64_t> indices;
  std::string output = "digits.png";
  bool distorted = false;
};

// The distortion --distorted draws: the settings', or the elastic defaults when none is set
// (copies equal to their digit would show nothing).
DistortionParameters ShownDistortion(const Settings& settings) {
  if (settings.distortion.kind != DistortionKind::None) return settings.distortion;
  DistortionParameters elastic;
  elastic.kind = DistortionKind::Elastic;
  return elastic;
}

// After each digit, kDistortedCopies distortions of it labelled #1, #2, ...; copy c of the
// digit at place p is image p x kDistortedCopies + c of one epoch's distortions.
std::vector<GridDigit> WithDistortedCopies(const std::vector<GridDigit>& digits,
                                           const DistortionParameters& parameters, uint32_t seed) {
  EpochDistortion distortion(parameters, kSide, seed);
  for (size_t f = 0; f < distortion.FieldCount(); ++f) distortion.DrawField(f);
  std::vector<GridDigit> grid;
  for (size_t place = 0; place < digits.size(); ++place) {
    grid.push_back(digits[place]);
    for (uint32_t copy = 1; copy <= kDistortedCopies; ++copy) {
      // "#1": the label alphabet has # for it.
      const char label[3] = {'#', static_cast<char>('0' + copy), '\0'};
      GridDigit distorted{Vector(digits[place].pixels.size()), {{label, {200, 200, 200}}}};
      distortion.Distort(digits[place].pixels, place * kDistortedCopies + copy - 1, distorted.pixels);
      grid.push_back(std::move(distorted));
    }
  }
  return grid;
}

// An IDX file opened for reading single records. Every header value is checked against the
// file's length before a record is read.
struct IdxFile {
  std::ifstream stream;
  uint32_t count = 0;
  uint64_t recordSize = 0;  // bytes per image (rows x columns) or 1 per label
  uint32_t rows = 0, columns = 0;
};

bool OpenIdx(const std::string& path, uint32_t magic, IdxFile* file, std::string* errorMessage) {
  file->stream.open(path, std::ios::binary);
  if (!file->stream) return ReportError(errorMessage, "cannot be opened: " + SystemReason());
  unsigned char header[16];
  const size_t headerSize = magic == ImageFileMagic ? 16 : 8;
  if (!ReadBytes(file->stream, header, headerSize) || DecodeBigEndian32(header) != magic) {
    return ReportError(errorMessage,
                       magic == ImageFileMagic ? "not an IDX image file" : "not an IDX label file");
  }
  file->count = DecodeBigEndian32(header + 4);
  file->rows = magic == ImageFileMagic ? DecodeBigEndian32(header + 8) : 1;
  file->columns = magic == ImageFileMagic ? DecodeBigEndian32(header + 12) : 1;
  file->recordSize = uint64_t{file->rows} * file->columns;
  if (file->recordSize * file->count > RemainingBytes(file->stream).value_or(0)) {
    return ReportError(errorMessage, "shorter than its header says");
  }
  return true;
}

bool ReadRecord(IdxFile& file, uint64_t index, std::vector<unsigned char>* bytes) {
  const uint64_t headerSize = file.rows == 1 && file.columns == 1 ? 8 : 16;
  bytes->resize(file.recordSize);
  file.stream.seekg(static_cast<std::streamoff>(headerSize + index * file.recordSize));
  return ReadBytes(file.stream, bytes->data(), bytes->size());
}

// "t10k-images.idx3-ubyte" -> "t10k-labels.idx1-ubyte" (and the dash-named variants).
std::string LabelPathBeside(const std::string& imagePath) {
  std::filesystem::path path = imagePath;
  std::string name = path.filename().string();
  for (auto [from, to] : {std::pair<std::string, std::string>{"images", "labels"}, {"idx3", "idx1"}}) {
    const size_t at = name.find(from);
    if (at != std::string::npos) name.replace(at, from.size(), to);
  }
  return (path.parent_path() / name).string();
}

bool ParseOptions(const std::vector<std::string>& arguments, Options* options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-o" && i + 1 < arguments.size()) {
      options->output = arguments[++i];
    } else if (argument == "--distorted") {
      options->distorted = true;
    } else if (options->images.empty()) {
      options->images = argument;
    } else if (!argument.empty() && argument.size() <= 12 &&
               std::all_of(argument.begin(), argument.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      options->indices.push_back(std::stoull(argument));
    } else {
      PrintError("show: \"" + argument + "\" is not an index; " + kUsage);
      return false;
    }
  }
  if (options->images.empty()) PrintError(std::string("show: ") + kUsage);
  return !options->images.empty();
}

}  // namespace

int ShowCommand(const std::vector<std::string>& arguments, const Settings& settings) {
  Options options;
  if (!ParseOptions(arguments, &options)) return 2;
  IdxFile images;
  std::string message;
  if (!OpenIdx(options.images, ImageFileMagic, &images, &message)) {
    PrintError(options.images + ": " + message);
    return 1;
  }
  if (images.rows != 28 || images.columns != 28) {
    PrintError(options.images + ": holds " + std::to_string(images.rows) + " x " +
               std::to_string(images.columns) + " images; show draws 28 x 28 digits");
    return 1;
  }
  if (options.indices.empty()) {
    for (uint64_t i = 0; i < std::min<uint64_t>(kDefaultCount, images.count); ++i)
      options.indices.push_back(i);
  }
  const std::string labelPath = LabelPathBeside(options.images);
  const std::string outputFolder = std::filesystem::path(options.output).parent_path().string();
  if (!PrepareOutputFolder(outputFolder, false) ||
      OverwritesAnInput(options.output, {options.images, labelPath}))
    return 1;
  const size_t requested = options.indices.size();
  // With --distorted every digit takes kDistortedCopies + 1 places in the picture.
  const size_t cap = options.distorted ? kMaxDigitsShown / (kDistortedCopies + 1) : kMaxDigitsShown;
  if (requested > cap) options.indices.resize(cap);
  IdxFile labels;
  const bool labelled = labelPath != options.images &&
                        OpenIdx(labelPath, LabelFileMagic, &labels, &message) && labels.count == images.count;

  bool allShown = true;
  std::vector<GridDigit> digits;
  for (uint64_t index : options.indices) {
    std::vector<unsigned char> pixels, label;
    if (index >= images.count || !ReadRecord(images, index, &pixels)) {
      PrintError(options.images + ": has no image " + std::to_string(index) + " (it holds " +
                 std::to_string(images.count) + ")");
      allShown = false;
      continue;
    }
    GridDigit digit{Vector(pixels.size()), {{std::to_string(index), {200, 200, 200}}}};
    for (size_t p = 0; p < pixels.size(); ++p) digit.pixels[p] = pixels[p] / 255.0;
    if (labelled && ReadRecord(labels, index, &label))
      digit.label.push_back(
          {std::string(1, ':') + (label[0] < 10 ? char('0' + label[0]) : '?'), {90, 220, 110}});
    digits.push_back(std::move(digit));
  }
  if (digits.empty()) {
    PrintError(options.images + ": no image to draw");
    return 1;
  }
  const DistortionParameters distortion = ShownDistortion(settings);
  const uint32_t seed = settings.seed.value_or(static_cast<uint32_t>(std::time(nullptr)));
  const std::string png =
      options.distorted ? DigitGridPng(WithDistortedCopies(digits, distortion, seed), kDistortedCopies + 1)
                        : DigitGridPng(digits, 10);
  if (!WriteWholeFile(options.output, png)) return 1;
  std::cout << "Wrote " << OneLine(options.output) << ": " << digits.size()
            << (digits.size() == 1 ? " digit" : " digits")
            << (labelled ? ", labelled from " + OneLine(labelPath)
                         : std::string(", without labels (no label file beside)"));
  if (options.distorted)
    std::cout << ", each followed by " << kDistortedCopies << " distortions " << DistortionText(distortion)
              << " drawn with seed " << seed;
  std::cout << "." << std::endl;
  if (requested > cap) {
    PrintError("show: drew the first " + std::to_string(cap) + " of the " + std::to_string(requested) +
               " indices given (at most " + std::to_string(cap) +
               (options.distorted ? " with their distortions" : "") + " in one picture)");
  }
  return allShown ? 0 : 1;
}
