// The one way mnist-lab's commands read a model: from a file or a pipe, checked to classify
// digits before any command uses it.
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <istream>
#include <streambuf>

#include "image/digit_preparation.h"
#include "lab/lab.h"

namespace {

// Reads another stream (a pipe) a chunk at a time and keeps every byte it handed out, so that
// it can go back to the start, which telling a network file from an ensemble file needs. It
// cannot tell its length, as a pipe cannot: the loaders then size nothing by a claimed count.
class RewindableBuffer : public std::streambuf {
 public:
  explicit RewindableBuffer(std::streambuf* source) : source_(source) {}
  // The bytes handed out up to the read position.
  std::string Consumed() const { return kept_.substr(0, static_cast<size_t>(gptr() - eback())); }

 protected:
  int_type underflow() override {
    const size_t position = static_cast<size_t>(gptr() - eback());
    if (position == kept_.size()) {
      char chunk[1 << 16];
      const std::streamsize count = source_->sgetn(chunk, sizeof chunk);
      if (count <= 0) return traits_type::eof();
      kept_.append(chunk, static_cast<size_t>(count));
    }
    setg(kept_.data(), kept_.data() + position, kept_.data() + kept_.size());
    return traits_type::to_int_type(*gptr());
  }
  pos_type seekpos(pos_type position, std::ios::openmode) override {
    if (position != pos_type(0)) return pos_type(off_type(-1));
    setg(kept_.data(), kept_.data(), kept_.data() + kept_.size());
    return position;
  }
  pos_type seekoff(off_type, std::ios::seekdir, std::ios::openmode) override {
    return pos_type(off_type(-1));
  }

 private:
  std::streambuf* source_;
  std::string kept_;
};

// The first weight or bias that is not a finite number makes every answer of the model
// meaningless (a diverged training writes them).
bool AllFinite(const Model& model) {
  const auto finite = [](std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double value) { return std::isfinite(value); });
  };
  for (size_t m = 0; m < model.MemberCount(); ++m) {
    const ForwardNetwork& network = model.Member(m);
    for (size_t k = 0; k < network.LayerCount(); ++k) {
      if (!finite(network.Biases(k))) return false;
      for (size_t r = 0; r < network.Biases(k).size(); ++r)
        if (!finite(network.WeightRow(k, r))) return false;
    }
  }
  return true;
}

// Why a file that does not begin as a model file is none, in a learner's words, with a hint when
// it holds a picture or MNIST data: the arguments are then probably in the wrong order.
std::string NotAModel(const std::string& fileName) {
  unsigned char start[8] = {};
  std::ifstream(fileName, std::ios::binary).read(reinterpret_cast<char*>(start), sizeof start);
  const bool picture = (start[0] == 0x89 && start[1] == 'P') || (start[0] == 0xff && start[1] == 0xd8) ||
                       (start[0] == 'B' && start[1] == 'M') ||
                       (start[0] == 'P' && (start[1] == '5' || start[1] == '6'));
  const bool data = start[0] == 0 && start[1] == 0 && start[2] == 8 && (start[3] == 1 || start[3] == 3);
  std::string reason =
      "not a network or ensemble file (mnist-mlp writes those; they begin with the bytes 42 42)";
  if (picture || data) {
    reason += std::string("; it looks like ") + (picture ? "a picture" : "an MNIST data file") +
              ": the model file comes first";
  }
  return reason;
}

}  // namespace

std::unique_ptr<Model> ReadDigitModel(const std::string& fileName, uint32_t threadCount,
                                      std::string* modelBytes) {
  std::ifstream input(fileName, std::ios::binary);
  if (!input) {
    PrintError(fileName + ": cannot be opened: " + SystemReason());
    return nullptr;
  }
  struct stat info {};
  const bool known = stat(fileName.c_str(), &info) == 0;
  if (known && S_ISDIR(info.st_mode)) {
    PrintError(fileName + ": is a folder, not a model file");
    return nullptr;
  }
  const bool seekable = known && S_ISREG(info.st_mode);
  std::string message;
  std::unique_ptr<Model> model;
  if (seekable && modelBytes == nullptr) {
    model = Model::Read(input, threadCount, &message);
  } else {
    RewindableBuffer kept(input.rdbuf());
    std::istream rewindable(&kept);
    model = Model::Read(rewindable, threadCount, &message);
    if (model != nullptr && modelBytes != nullptr) *modelBytes = kept.Consumed();
  }
  if (model == nullptr) {
    PrintError(fileName + ": " + (message.starts_with("Neither") ? NotAModel(fileName) : message));
    return nullptr;
  }
  if (model->InputSize() != kDigitSide * kDigitSide || model->OutputSize() != DigitCount) {
    PrintError(fileName + ": the model takes " + std::to_string(model->InputSize()) + " inputs and gives " +
               std::to_string(model->OutputSize()) + " outputs, but a digit needs 784 (28 x 28) and 10");
    return nullptr;
  }
  if (!AllFinite(*model)) {
    PrintError(fileName +
               ": the model holds weights that are not numbers (NaN or infinite): its training "
               "diverged; train it again with a smaller MNIST_MLP_LEARNING_RATE");
    return nullptr;
  }
  return model;
}
