// mnist-lab report: what a model gets right and wrong on the MNIST test set, as text for the
// terminal and as confusion.svg, mistakes.png and report.json for looking and for scripts.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <span>
#include <sstream>

#include "image/digit_preparation.h"
#include "lab/confusion_svg.h"
#include "lab/digit_grid.h"
#include "lab/lab.h"
#include "math/activation.h"
#include "mnist/image_set.h"

namespace {

// More mistakes than this make the picture too large to look at; the most confident come first.
constexpr size_t kMaxMistakesShown = 300;
constexpr size_t kConfusionsListed = 10;
// The outputs are computed for this many images at a time, so that their memory does not grow
// with the test set.
constexpr size_t kImagesPerBlock = 4096;

struct Options {
  std::string model;
  std::string dataFolder = ".";
  std::string outFolder = "report";
};

struct Mistake {
  size_t sample;
  uint32_t truth;
  uint32_t answer;
  double score;  // the answer's entry of the mean output
};

struct Confusion {
  uint32_t truth, answer;
  uint64_t count;
};

// Everything the report prints and writes, gathered in one pass over the outputs.
struct Figures {
  size_t sampleCount = 0;
  uint64_t correct = 0;  // the diagonal of the matrix: Model::CountCorrect, as --verify prints it
  ConfusionMatrix confusion{};
  std::vector<Confusion> confusions;    // off-diagonal cells with a count, most frequent first
  std::vector<uint64_t> memberCorrect;  // one per member
  uint64_t mistakeCount = 0;
  std::vector<Mistake> mistakes;  // the kMaxMistakesShown most confident, most confident first
};

bool ParseOptions(const std::vector<std::string>& arguments, Options* options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if ((argument == "--data" || argument == "--out") && i + 1 < arguments.size()) {
      (argument == "--data" ? options->dataFolder : options->outFolder) = arguments[++i];
    } else if (argument.rfind("--", 0) == 0 || !options->model.empty()) {
      PrintError("report: unexpected argument \"" + argument +
                 "\"; usage: report MODEL [--data DIR] [--out DIR]");
      return false;
    } else {
      options->model = argument;
    }
  }
  if (options->model.empty())
    PrintError("report: no model file given; usage: report MODEL [--data DIR] [--out DIR]");
  return !options->model.empty();
}

// The more confident mistake first; of two as confident, the earlier image.
bool MoreConfident(const Mistake& a, const Mistake& b) {
  return a.score > b.score || (a.score == b.score && a.sample < b.sample);
}

// Keeps the kMaxMistakesShown most confident of the mistakes, most confident first.
void KeepMostConfident(std::vector<Mistake>* mistakes) {
  if (mistakes->size() > kMaxMistakesShown) {
    std::nth_element(mistakes->begin(), mistakes->begin() + kMaxMistakesShown, mistakes->end(),
                     MoreConfident);
    mistakes->resize(kMaxMistakesShown);
  }
  std::sort(mistakes->begin(), mistakes->end(), MoreConfident);
}

Figures Gather(Model& model, const ImageSet& testSet) {
  Figures figures;
  figures.sampleCount = testSet.size();
  figures.memberCorrect.assign(model.MemberCount(), 0);
  for (size_t first = 0; first < testSet.size(); first += kImagesPerBlock) {
    const size_t last = std::min(testSet.size(), first + kImagesPerBlock);
    std::vector<std::span<const double>> inputs;
    for (size_t s = first; s < last; ++s) inputs.push_back(testSet[s].pixels);
    const SetOutputs outputs = model.Outputs(inputs);
    for (size_t s = first; s < last; ++s) {
      const uint32_t truth = ArgMax(testSet[s].target);
      const uint32_t answer = ArgMax(outputs.mean[s - first]);
      ++figures.confusion[truth][answer];
      if (answer != truth) {
        ++figures.mistakeCount;
        figures.mistakes.push_back({s, truth, answer, outputs.mean[s - first][answer]});
      }
      for (size_t m = 0; m < model.MemberCount(); ++m)
        figures.memberCorrect[m] += ArgMax(outputs.members[m][s - first]) == truth;
    }
    KeepMostConfident(&figures.mistakes);
  }
  for (uint32_t truth = 0; truth < 10; ++truth) {
    figures.correct += figures.confusion[truth][truth];
    for (uint32_t answer = 0; answer < 10; ++answer) {
      const uint64_t count = figures.confusion[truth][answer];
      if (truth != answer && count > 0) figures.confusions.push_back({truth, answer, count});
    }
  }
  std::stable_sort(figures.confusions.begin(), figures.confusions.end(),
                   [](const Confusion& a, const Confusion& b) { return a.count > b.count; });
  return figures;
}

uint64_t RowTotal(const Figures& figures, uint32_t digit) {
  uint64_t total = 0;
  for (uint64_t count : figures.confusion[digit]) total += count;
  return total;
}

double Percent(double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }

void PrintText(const Figures& figures, const std::string& description) {
  std::ostringstream out;
  const double total = static_cast<double>(figures.sampleCount);
  out << "Model: " << description << "\n";
  out << "Total correct: " << figures.correct << " of " << figures.sampleCount << " ("
      << Fixed(Percent(figures.correct, total), 2) << "%)\n\n";
  out << "digit  images  correct  percent\n";
  for (uint32_t digit = 0; digit < 10; ++digit) {
    char line[64];
    const uint64_t rowTotal = RowTotal(figures, digit);
    const uint64_t right = figures.confusion[digit][digit];
    std::snprintf(line, sizeof line, "%5u  %6llu  %7llu  %7s\n", digit,
                  static_cast<unsigned long long>(rowTotal), static_cast<unsigned long long>(right),
                  Fixed(Percent(static_cast<double>(right), static_cast<double>(rowTotal)), 2).c_str());
    out << line;
  }
  out << "\nConfusion matrix (rows: true digit, columns: answer)\n     ";
  for (uint32_t answer = 0; answer < 10; ++answer) out << std::string(5, ' ') << answer;
  out << "\n";
  for (uint32_t truth = 0; truth < 10; ++truth) {
    char line[128];
    int used = std::snprintf(line, sizeof line, "%5u", truth);
    for (uint64_t count : figures.confusion[truth]) {
      used += std::snprintf(line + used, sizeof line - static_cast<size_t>(used), "%6llu",
                            static_cast<unsigned long long>(count));
    }
    out << line << "\n";
  }
  out << "\nMost frequent confusions\n";
  if (figures.confusions.empty()) out << "  none\n";
  for (size_t i = 0; i < std::min(kConfusionsListed, figures.confusions.size()); ++i) {
    const Confusion& c = figures.confusions[i];
    out << "  " << c.truth << " read as " << c.answer << ": " << c.count
        << (c.count == 1 ? " time\n" : " times\n");
  }
  if (figures.memberCorrect.size() > 1) {
    out << "\nMembers\n";
    for (size_t m = 0; m < figures.memberCorrect.size(); ++m) {
      const double right = static_cast<double>(figures.memberCorrect[m]);
      out << "  member " << m + 1 << ": " << figures.memberCorrect[m] << " correct ("
          << Fixed(Percent(right, total), 2) << "%)\n";
    }
    out << "  ensemble: " << figures.correct << " correct (" << Fixed(Percent(figures.correct, total), 2)
        << "%)\n";
  }
  std::cout << out.str();
}

std::string Json(const Figures& figures, const Options& options, const Model& model, size_t mistakesShown) {
  const double total = static_cast<double>(figures.sampleCount);
  std::ostringstream json;
  json << "{\n  \"model\": " << JsonString(options.model) << ",\n  \"kind\": \""
       << (model.Kind() == ModelKind::Network ? "network" : "ensemble")
       << "\",\n  \"members\": " << model.MemberCount() << ",\n  \"images\": " << figures.sampleCount
       << ",\n  \"correct\": " << figures.correct
       << ",\n  \"accuracy\": " << Fixed(Percent(figures.correct, total), 4) << ",\n  \"per_digit\": [";
  for (uint32_t digit = 0; digit < 10; ++digit) {
    const uint64_t rowTotal = RowTotal(figures, digit), right = figures.confusion[digit][digit];
    json << (digit ? ",\n    " : "\n    ") << "{\"digit\": " << digit << ", \"images\": " << rowTotal
         << ", \"correct\": " << right
         << ", \"accuracy\": " << Fixed(Percent(static_cast<double>(right), static_cast<double>(rowTotal)), 4)
         << "}";
  }
  json << "\n  ],\n  \"confusion\": [";
  for (uint32_t truth = 0; truth < 10; ++truth) {
    json << (truth ? ",\n    [" : "\n    [");
    for (uint32_t answer = 0; answer < 10; ++answer)
      json << (answer ? ", " : "") << figures.confusion[truth][answer];
    json << "]";
  }
  json << "\n  ],\n  \"confusions\": [";
  for (size_t i = 0; i < figures.confusions.size(); ++i) {
    const Confusion& c = figures.confusions[i];
    json << (i ? ",\n    " : "\n    ") << "{\"digit\": " << c.truth << ", \"answer\": " << c.answer
         << ", \"count\": " << c.count << "}";
  }
  json << "\n  ],\n  \"member_accuracy\": [";
  for (size_t m = 0; m < figures.memberCorrect.size(); ++m) {
    json << (m ? ",\n    " : "\n    ") << "{\"member\": " << m + 1
         << ", \"correct\": " << figures.memberCorrect[m]
         << ", \"accuracy\": " << Fixed(Percent(static_cast<double>(figures.memberCorrect[m]), total), 4)
         << "}";
  }
  json << "\n  ],\n  \"mistakes\": " << figures.mistakeCount << ",\n  \"mistakes_shown\": " << mistakesShown
       << "\n}\n";
  return json.str();
}

// The mistakes as "true>answer score%" labels: the true digit green, the answer red.
std::string MistakesPng(const Figures& figures, const ImageSet& testSet) {
  std::vector<GridDigit> digits;
  for (size_t i = 0; i < figures.mistakes.size(); ++i) {
    const Mistake& m = figures.mistakes[i];
    const int percent = std::min(99, static_cast<int>(m.score * 100.0));
    digits.push_back({ToVector(testSet[m.sample].pixels),
                      {{std::to_string(m.truth), {90, 220, 110}},
                       {">", {160, 160, 160}},
                       {std::to_string(m.answer), {255, 90, 90}},
                       {std::to_string(percent).insert(0, 1, ' ') + "%", {200, 200, 200}}}});
  }
  if (digits.empty()) digits.push_back({Vector(784, 0.0), {{"none", {200, 200, 200}}}});
  return DigitGridPng(digits, 20);
}

// The test files in the folder, or false with the failure printed: which file, why, and how to
// get MNIST there.
bool LoadTestSet(const std::string& folder, ImageSet* testSet) {
  const std::filesystem::path data = folder;
  const std::string imagePath = (data / kTestImagesName).string(),
                    labelPath = (data / kTestLabelsName).string();
  for (const std::string& path : {imagePath, labelPath}) {
    if (std::ifstream(path, std::ios::binary)) continue;
    PrintError(path + ": cannot be opened: " + SystemReason() + "; the MNIST test files are looked up in " +
               folder + " (--data DIR names another folder); to get them there, run scripts/get-mnist " +
               folder);
    return false;
  }
  std::string message;
  if (!LoadImageSet(imagePath, labelPath, testSet, &message)) {
    PrintError(imagePath + ", " + labelPath + ": " + message);
    return false;
  }
  if (testSet->empty() || testSet->front().pixels.size() != kDigitSide * kDigitSide) {
    PrintError(
        imagePath + ": the model needs images of 784 pixels (28 x 28), the file has " +
        (testSet->empty() ? std::string("no images") : std::to_string(testSet->front().pixels.size())));
    return false;
  }
  return true;
}

}  // namespace

int ReportCommand(const std::vector<std::string>& arguments, const Settings& settings) {
  Options options;
  if (!ParseOptions(arguments, &options)) return 2;
  // The outputs are checked before the data are read: a folder that cannot take them, or an
  // output that is one of the inputs, would lose the report after all of it was computed.
  const std::filesystem::path out = options.outFolder;
  const std::vector<std::string> outputs = {(out / "confusion.svg").string(), (out / "mistakes.png").string(),
                                            (out / "report.json").string()};
  const std::filesystem::path data = options.dataFolder;
  const std::vector<std::string> inputs = {options.model, (data / kTestImagesName).string(),
                                           (data / kTestLabelsName).string()};
  std::unique_ptr<Model> model = ReadDigitModel(options.model, settings.threadCount);
  if (model == nullptr || !PrepareOutputFolder(options.outFolder, true)) return 1;
  for (const std::string& output : outputs)
    if (OverwritesAnInput(output, inputs)) return 1;
  ImageSet testSet;
  if (!LoadTestSet(options.dataFolder, &testSet)) return 1;

  const Figures figures = Gather(*model, testSet);
  PrintText(figures, DescribeModel(*model) + " (" + OneLine(options.model) + ")");

  const std::string title =
      "Confusion matrix: " + Fixed(Percent(figures.correct, double(testSet.size())), 2) + "% of " +
      std::to_string(testSet.size()) + " test images right";
  const size_t shown = figures.mistakes.size();
  const bool written = WriteWholeFile(outputs[0], ConfusionSvg(figures.confusion, title)) &&
                       WriteWholeFile(outputs[1], MistakesPng(figures, testSet)) &&
                       WriteWholeFile(outputs[2], Json(figures, options, *model, shown));
  if (!written) return 1;
  std::cout << "\nWrote " << OneLine(outputs[0]) << ", " << OneLine(outputs[1]) << " (" << shown << " of "
            << figures.mistakeCount << " mistakes, most confident first) and " << OneLine(outputs[2]) << "."
            << std::endl;
  return 0;
}
