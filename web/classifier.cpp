// The classifier behind the page, compiled to WebAssembly: a small C interface that the page's
// JavaScript calls through the module's exports (web/page.js). It holds one model at a time
// and the results of the last classification, and computes exactly what mnist-lab classify
// computes: the same model reader, digit preparation and forward pass, on one thread.
//
// Memory: the page copies its bytes into the module's heap (malloc), calls, and frees them.
// The pointers returned below point into this module's own storage and stay valid until the
// next call of any function here.
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ensemble/model_file.h"
#include "image/digit_preparation.h"
#include "image/image_file.h"
#include "math/activation.h"

namespace {

constexpr uint32_t kRgbaChannels = 4;

struct Classifier {
  std::unique_ptr<Model> model;  // null until a model loads
  std::string error;
  Vector field = Vector(kDigitSide * kDigitSide, 0.0);  // the last input, row after row, 0..1
  Vector scores = Vector(DigitCount, 0.0);              // the mean of the members' outputs
  std::vector<int32_t> memberAnswers;
};

Classifier& State() {
  static Classifier classifier;
  return classifier;
}

// Runs the field through every member; the answer, or -1 without a model.
int32_t ClassifyField() {
  Classifier& state = State();
  if (state.model == nullptr) {
    state.error = "No model is loaded.";
    return -1;
  }
  const std::span<const double> inputs[] = {state.field};
  const SetOutputs outputs = state.model->Outputs(inputs);
  state.scores = outputs.mean.front();
  state.memberAnswers.clear();
  for (const std::vector<Vector>& member : outputs.members)
    state.memberAnswers.push_back(static_cast<int32_t>(ArgMax(member.front())));
  return static_cast<int32_t>(ArgMax(state.scores));
}

}  // namespace

extern "C" {

// Replaces the model with the network file or ensemble file in bytes and returns its member
// count. On failure returns 0, keeps the previous model and sets ClassifierError.
int32_t ClassifierLoadModel(const unsigned char* bytes, uint32_t byteCount) {
  Classifier& state = State();
  std::istringstream input(std::string(reinterpret_cast<const char*>(bytes), byteCount));
  std::string errorMessage;
  std::unique_ptr<Model> model = Model::Read(input, 1, &errorMessage);
  if (model == nullptr) {
    state.error = errorMessage;
    return 0;
  }
  if (model->InputSize() != kDigitSide * kDigitSide || model->OutputSize() != DigitCount) {
    state.error = "The model takes " + std::to_string(model->InputSize()) + " inputs and gives " +
                  std::to_string(model->OutputSize()) + " outputs, but a digit needs 784 (28 x 28) and 10.";
    return 0;
  }
  state.model = std::move(model);
  return static_cast<int32_t>(state.model->MemberCount());
}

// The sentence that says why the last load or classification failed.
const char* ClassifierError() { return State().error.c_str(); }

// Classifies a drawing of width x height RGBA pixels (a canvas's image data: row after row,
// 4 bytes per pixel), prepared as mnist-lab classify prepares a picture. Returns the answer
// 0..9, or -1 with ClassifierError set when there is no model or no ink.
int32_t ClassifierClassifyPixels(const unsigned char* rgba, uint32_t width, uint32_t height) {
  Classifier& state = State();
  return PrepareDigit(GreyLevels(rgba, width, height, kRgbaChannels), &state.field, &state.error)
             ? ClassifyField()
             : -1;
}

// Classifies 784 values (0 paper .. 1 ink, row after row) as they are; the answer or -1.
int32_t ClassifierClassifyField(const double* field) {
  State().field.assign(field, field + kDigitSide * kDigitSide);
  return ClassifyField();
}

// The last classification: ten scores, the 28 x 28 field the network saw, each member's answer.
const double* ClassifierScores() { return State().scores.data(); }
const double* ClassifierField() { return State().field.data(); }
const int32_t* ClassifierMemberAnswers() { return State().memberAnswers.data(); }
int32_t ClassifierMemberCount() { return static_cast<int32_t>(State().memberAnswers.size()); }

}  // extern "C"
