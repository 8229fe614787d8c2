// The classifier behind the page, compiled to WebAssembly: a small C interface that the page's
// JavaScript calls through the module's exports (web/page.js). It holds one model at a time
// and the results of the last classification.
//
// Memory: the page copies its bytes into the module's heap (malloc), calls, and frees them.
// The pointers returned below point into this module's own storage and stay valid until the
// next call of any function here.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ensemble/network_ensemble.h"
#include "math/activation.h"

namespace {

constexpr uint32_t kFieldSide = 28;
constexpr uint32_t kDigitCount = 10;

struct Classifier {
  NetworkEnsemble model;  // no members until a model loads
  std::string error;
  Vector field = Vector(kFieldSide * kFieldSide, 0.0);  // the last input, row after row, 0..1
  Vector scores = Vector(kDigitCount, 0.0);             // the mean of the members' outputs
  std::vector<int32_t> memberAnswers;
};

Classifier& State() {
  static Classifier classifier;
  return classifier;
}

// The members of a network file or an ensemble file, or false with the reason.
bool ReadModel(const unsigned char* bytes, size_t byteCount, NetworkEnsemble* model,
               std::string* errorMessage) {
  std::istringstream input(std::string(reinterpret_cast<const char*>(bytes), byteCount));
  NeuralNetwork network;
  network.Load(input, errorMessage);
  if (!errorMessage->empty()) return false;
  model->networks = {std::move(network)};
  return true;
}

// The 28 x 28 field for width x height RGBA pixels of dark ink on light paper: each field pixel
// is the mean ink of the block of pixels it covers. False when there is no ink.
bool PrepareDrawing(const unsigned char* rgba, uint32_t width, uint32_t height, Vector* field,
                    std::string* errorMessage) {
  Vector sums(kFieldSide * kFieldSide, 0.0), counts(kFieldSide * kFieldSide, 0.0);
  double total = 0.0;
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      const unsigned char* pixel = rgba + (size_t{y} * width + x) * 4;
      const double grey = (pixel[0] * 77 + pixel[1] * 150 + pixel[2] * 29) / 256.0 / 255.0;
      const double alpha = pixel[3] / 255.0;
      const double ink = 1.0 - (grey * alpha + (1.0 - alpha));
      const size_t cell = size_t{y} * kFieldSide / height * kFieldSide + size_t{x} * kFieldSide / width;
      sums[cell] += ink;
      counts[cell] += 1.0;
      total += ink;
    }
  }
  if (total <= 0.0) {
    *errorMessage = "no ink found";
    return false;
  }
  for (size_t i = 0; i < sums.size(); ++i) (*field)[i] = counts[i] > 0.0 ? sums[i] / counts[i] : 0.0;
  return true;
}

// Runs the field through every member; the answer, or -1 without a model.
int32_t ClassifyPreparedField() {
  Classifier& state = State();
  if (state.model.networks.empty()) return -1;
  Vector sum(kDigitCount, 0.0);
  state.memberAnswers.clear();
  for (NeuralNetwork& network : state.model.networks) {
    const Vector output = network.FeedForward(state.field);
    for (size_t digit = 0; digit < kDigitCount; ++digit) sum[digit] += output[digit];
    state.memberAnswers.push_back(static_cast<int32_t>(ArgMax(output)));
  }
  // The mean as NetworkEnsemble::Evaluate forms it: members added in order, one division.
  for (size_t digit = 0; digit < kDigitCount; ++digit)
    state.scores[digit] = sum[digit] / static_cast<double>(state.model.networks.size());
  return static_cast<int32_t>(ArgMax(state.scores));
}

}  // namespace

extern "C" {

// Replaces the model with the network file or ensemble file in bytes and returns its member
// count. On failure returns 0, keeps the previous model and sets ClassifierError.
int32_t ClassifierLoadModel(const unsigned char* bytes, uint32_t byteCount) {
  Classifier& state = State();
  NetworkEnsemble model;
  std::string errorMessage;
  if (!ReadModel(bytes, byteCount, &model, &errorMessage)) {
    state.error = errorMessage.empty() ? "not a network or ensemble file" : errorMessage;
    return 0;
  }
  if (model.networks.front().InputSize() != kFieldSide * kFieldSide ||
      model.networks.front().OutputSize() != kDigitCount) {
    state.error = "the model takes " + std::to_string(model.networks.front().InputSize()) +
                  " inputs and gives " + std::to_string(model.networks.front().OutputSize()) +
                  " outputs, but a digit needs 784 (28 x 28) and 10";
    return 0;
  }
  state.model = std::move(model);
  return static_cast<int32_t>(state.model.networks.size());
}

// The sentence that says why the last load or classification failed.
const char* ClassifierError() { return State().error.c_str(); }

// Classifies a drawing of width x height RGBA pixels (a canvas's image data: row after row,
// 4 bytes per pixel). Returns the answer 0..9, or -1 with ClassifierError set when there is
// no model or no ink.
int32_t ClassifierClassifyPixels(const unsigned char* rgba, uint32_t width, uint32_t height) {
  Classifier& state = State();
  if (!PrepareDrawing(rgba, width, height, &state.field, &state.error)) return -1;
  return ClassifyPreparedField();
}

// Classifies 784 values (0 paper .. 1 ink, row after row) as they are; the answer or -1.
int32_t ClassifierClassifyField(const double* field) {
  State().field.assign(field, field + kFieldSide * kFieldSide);
  return ClassifyPreparedField();
}

// The last classification: ten scores, the 28 x 28 field the network saw, each member's answer.
const double* ClassifierScores() { return State().scores.data(); }
const double* ClassifierField() { return State().field.data(); }
const int32_t* ClassifierMemberAnswers() { return State().memberAnswers.data(); }
int32_t ClassifierMemberCount() { return static_cast<int32_t>(State().model.networks.size()); }

}  // extern "C"
