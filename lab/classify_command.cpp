// mnist-lab classify: the digit in each picture, prepared as MNIST's digits were.
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "image/digit_preparation.h"
#include "image/image_file.h"
#include "io/stream.h"
#include "lab/lab.h"
#include "math/activation.h"

namespace {

// Scores lie in 0..1: 17 decimals keep every digit a script needs to compare them exactly (to
// 1e-17), as the page's test does; the text output rounds to 4.
constexpr int kJsonScoreDecimals = 17;

struct Options {
  std::string model;
  std::vector<std::string> pictures;
  bool show = false;
  bool json = false;
};

// Enough for the size in every header, short of a JPEG with a large thumbnail before it.
constexpr size_t kHeaderBytes = 1 << 16;

// The picture file's bytes, read no further than its header allows: the header first, refused
// for its format or size; then at most what a picture of that size can take (of the largest
// accepted picture when the header does not tell), refused by the file's size where it is
// known before it is read.
bool ReadPictureFile(const std::string& fileName, std::vector<unsigned char>* bytes,
                     std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  if (!input) return ReportError(errorMessage, "cannot be opened: " + SystemReason());
  bytes->resize(kHeaderBytes);
  input.read(reinterpret_cast<char*>(bytes->data()), kHeaderBytes);
  bytes->resize(static_cast<size_t>(input.gcount()));
  if (input.bad()) return ReportError(errorMessage, "cannot be read: " + SystemReason());
  uint64_t pixelCount = 0;
  if (!CheckImageHeader(bytes->data(), bytes->size(), &pixelCount, errorMessage)) return false;
  const uint64_t limit = MaxImageFileBytes(pixelCount > 0 ? pixelCount : kMaxImagePixels);
  const std::string tooLarge =
      "larger than a picture of its size can be (" + std::to_string(limit) + " bytes)";
  struct stat info {};
  if (stat(fileName.c_str(), &info) == 0 && S_ISREG(info.st_mode) && uint64_t(info.st_size) > limit)
    return ReportError(errorMessage, std::to_string(info.st_size) + " bytes, " + tooLarge);
  while (input && bytes->size() <= limit) {
    const size_t start = bytes->size();
    bytes->resize(start + std::min<uint64_t>(kReadChunkBytes, limit + 1 - start));
    input.read(reinterpret_cast<char*>(bytes->data() + start),
               static_cast<std::streamsize>(bytes->size() - start));
    bytes->resize(start + static_cast<size_t>(input.gcount()));
  }
  if (input.bad()) return ReportError(errorMessage, "cannot be read: " + SystemReason());
  if (bytes->size() > limit) return ReportError(errorMessage, tooLarge);
  return true;
}

// The picture's network input, or false with the reason after the file's name.
bool PreparePicture(const std::string& fileName, Vector* pixels, std::string* errorMessage) {
  std::vector<unsigned char> bytes;
  GreyImage picture;
  return ReadPictureFile(fileName, &bytes, errorMessage) &&
         DecodeImage(bytes.data(), bytes.size(), &picture, errorMessage) &&
         PrepareDigit(picture, pixels, errorMessage);
}

// The field as text, two characters per pixel so that it looks square, darker shades for
// more ink.
std::string Shades(const Vector& pixels) {
  static const char kShades[] = " .:-=+*#%@";
  std::string text;
  for (uint32_t y = 0; y < kDigitSide; ++y) {
    text += "  |";
    for (uint32_t x = 0; x < kDigitSide; ++x) {
      const char shade = kShades[static_cast<int>(pixels[y * kDigitSide + x] * 9.0 + 0.5)];
      text += {shade, shade};
    }
    text += "|\n";
  }
  return text;
}

std::string TextResult(const std::string& fileName, const Vector& mean,
                       const std::vector<const Vector*>& members, const Vector* pixels) {
  std::ostringstream out;
  out << OneLine(fileName) << ": " << ArgMax(mean) << "\n  scores";
  for (size_t digit = 0; digit < mean.size(); ++digit) out << " " << digit << ":" << Fixed(mean[digit], 4);
  out << "\n";
  if (members.size() > 1) {
    out << "  member answers";
    for (const Vector* member : members) out << " " << ArgMax(*member);
    out << "\n";
  }
  if (pixels != nullptr) out << Shades(*pixels);
  return out.str();
}

std::string JsonResult(const std::string& fileName, const Vector& mean,
                       const std::vector<const Vector*>& members, const Vector* pixels) {
  std::ostringstream out;
  out << "{\"file\": " << JsonString(fileName) << ", \"answer\": " << ArgMax(mean)
      << ", \"scores\": " << JsonNumbers(mean, kJsonScoreDecimals);
  if (members.size() > 1) {
    out << ", \"member_answers\": [";
    for (size_t m = 0; m < members.size(); ++m) out << (m ? "," : "") << ArgMax(*members[m]);
    out << "], \"member_scores\": [";
    for (size_t m = 0; m < members.size(); ++m)
      out << (m ? "," : "") << JsonNumbers(*members[m], kJsonScoreDecimals);
    out << "]";
  }
  if (pixels != nullptr) out << ", \"pixels\": " << JsonNumbers(*pixels, 3);
  out << "}\n";
  return out.str();
}

}  // namespace

int ClassifyCommand(const std::vector<std::string>& arguments, const Settings& settings) {
  Options options;
  for (const std::string& argument : arguments) {
    if (argument == "--show") {
      options.show = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (options.model.empty()) {
      options.model = argument;
    } else {
      options.pictures.push_back(argument);
    }
  }
  if (options.pictures.empty()) {
    PrintError("classify: usage: classify MODEL IMAGE... [--show] [--json]");
    return 2;
  }
  std::unique_ptr<Model> model = ReadDigitModel(options.model, settings.threadCount);
  if (model == nullptr) return 1;

  // Every picture is prepared first and all are classified together, on all threads.
  std::vector<Vector> prepared;
  std::vector<std::string> errors(options.pictures.size());
  for (size_t i = 0; i < options.pictures.size(); ++i) {
    Vector pixels;
    if (PreparePicture(options.pictures[i], &pixels, &errors[i])) {
      prepared.push_back(std::move(pixels));
    } else if (errors[i].empty()) {
      errors[i] = "could not be prepared";
    }
  }
  const std::vector<std::span<const double>> inputs(prepared.begin(), prepared.end());
  const SetOutputs outputs = model->Outputs(inputs);

  bool allClassified = true;
  size_t next = 0;
  for (size_t i = 0; i < options.pictures.size(); ++i) {
    const std::string& fileName = options.pictures[i];
    if (!errors[i].empty()) {
      allClassified = false;
      PrintError(fileName + ": " + errors[i]);
      if (options.json)
        std::cout << "{\"file\": " << JsonString(fileName) << ", \"error\": " << JsonString(errors[i])
                  << "}\n";
      continue;
    }
    std::vector<const Vector*> members;
    for (const std::vector<Vector>& member : outputs.members) members.push_back(&member[next]);
    const Vector shown = options.show ? prepared[next] : Vector();
    const Vector* pixels = options.show ? &shown : nullptr;
    std::cout << (options.json ? JsonResult(fileName, outputs.mean[next], members, pixels)
                               : TextResult(fileName, outputs.mean[next], members, pixels));
    ++next;
  }
  std::cout.flush();
  return allClassified ? 0 : 1;
}
