// The training side of the page, compiled to WebAssembly with threads and SIMD128: a small C
// interface that the training worker (web/train_worker.js) calls. It holds the two data sets
// and one training session (web/training_session.h) at a time.
//
// Memory: the worker copies the files' bytes into the module's heap (malloc), calls and frees
// them. Pointers returned below point into this module's storage and stay valid until the next
// call of a function here.
#include <cstdint>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "web/training_session.h"

namespace {

// Reads bytes in place: the data files are tens of megabytes, not to be copied into a string.
class ByteStream : private std::streambuf, public std::istream {
 public:
  ByteStream(const unsigned char* bytes, uint32_t byteCount) : std::istream(this) {
    char* begin = const_cast<char*>(reinterpret_cast<const char*>(bytes));
    setg(begin, begin, begin + byteCount);
  }
};

struct Trainer {
  ImageSet sets[2];  // training, test
  std::string error;
  std::unique_ptr<TrainingSession> session;
  std::string file;
  std::vector<double> firstLayer;
};

Trainer& State() {
  static Trainer trainer;
  return trainer;
}

}  // namespace

extern "C" {

// Replaces set `which` (0 training, 1 test) with the samples of an IDX image file and its label
// file. Returns 1, or 0 with TrainerError set and the set emptied.
int32_t TrainerLoadSet(int32_t which, const unsigned char* images, uint32_t imageByteCount,
                       const unsigned char* labels, uint32_t labelByteCount) {
  Trainer& state = State();
  ImageSet& set = state.sets[which == 0 ? 0 : 1];
  state.session.reset();  // it refers to the sets
  set = ImageSet();
  ByteStream imageFile(images, imageByteCount);
  ByteStream labelFile(labels, labelByteCount);
  state.error.clear();
  if (!LoadImageSet(imageFile, labelFile, &set, &state.error)) return 0;
  for (const SampleView sample : set) {
    if (sample.pixels.size() != 784) {
      state.error = "The images have " + std::to_string(sample.pixels.size()) +
                    " pixels each, but the network needs 784 (28 x 28).";
      set = ImageSet();
      return 0;
    }
  }
  return 1;
}

const char* TrainerError() { return State().error.c_str(); }
uint32_t TrainerSetSize(int32_t which) {
  return static_cast<uint32_t>(State().sets[which == 0 ? 0 : 1].size());
}

// Starts a new session on the loaded sets: hidden layer sizes, learning rate, batch size, epoch
// count, seed and distortion (MNIST_MLP_DISTORTION's text, such as "elastic") as mnist-mlp's
// settings, on the first sampleLimit training samples (0: all), on threadCount threads with the
// SIMD128 kernels or, when `portable` is 1, the portable ones (whose results the native engine
// reproduces). Returns 1, or 0 with TrainerError set and no session for a distortion it cannot
// read.
int32_t TrainerStart(const uint32_t* hiddenLayers, uint32_t hiddenLayerCount, double learningRate,
                     uint32_t batchSize, uint32_t epochCount, uint32_t seed, uint32_t sampleLimit,
                     const char* distortion, uint32_t threadCount, int32_t portable) {
  Trainer& state = State();
  state.session.reset();
  state.error.clear();
  const std::optional<DistortionParameters> parameters = ParseDistortion(distortion);
  if (!parameters) {
    state.error = std::string("The distortion \"") + distortion + "\" is not one mnist-mlp knows.";
    return 0;
  }
  const TrainingChoices choices{
      .hiddenLayers = std::vector<uint32_t>(hiddenLayers, hiddenLayers + hiddenLayerCount),
      .learningRate = learningRate,
      .batchSize = batchSize,
      .epochCount = epochCount,
      .seed = seed,
      .sampleLimit = sampleLimit,
      .distortion = *parameters};
  const LayerKernels& kernels = portable != 0 ? PortableKernels() : BestKernels();
  state.session =
      std::make_unique<TrainingSession>(state.sets[0], state.sets[1], choices, threadCount, kernels);
  return 1;
}

const char* TrainerKernels(int32_t portable) {
  return (portable != 0 ? PortableKernels() : BestKernels()).name;
}

// Trains up to batchCount mini-batches; 1 when an epoch ended (its evaluation is ready).
int32_t TrainerStep(uint32_t batchCount) { return State().session->Step(batchCount) ? 1 : 0; }

int32_t TrainerDone() { return State().session->Done() ? 1 : 0; }
uint32_t TrainerEpochsDone() { return State().session->EpochsDone(); }
uint32_t TrainerSamplesDone() { return static_cast<uint32_t>(State().session->SamplesDoneInEpoch()); }
uint32_t TrainerSamplesPerEpoch() { return static_cast<uint32_t>(State().session->SamplesPerEpoch()); }
uint32_t TrainerThreadCount() { return State().session->ThreadCount(); }
double TrainerAccuracy() { return State().session->LastEvaluation().accuracy; }
const uint32_t* TrainerConfusion() { return State().session->LastEvaluation().confusion.data(); }

// The network file of the best epoch so far (`best` 1) or of the weights as they are now;
// its size is TrainerFileSize().
const unsigned char* TrainerFile(int32_t best) {
  Trainer& state = State();
  state.file = best != 0 ? state.session->BestFile() : state.session->CurrentFile();
  return reinterpret_cast<const unsigned char*>(state.file.data());
}
uint32_t TrainerFileSize() { return static_cast<uint32_t>(State().file.size()); }

// The first hidden layer's weights, 784 per neuron; as many values as TrainerFirstLayerSize().
const double* TrainerFirstLayer() {
  Trainer& state = State();
  state.firstLayer = state.session->FirstLayerWeights();
  return state.firstLayer.data();
}
uint32_t TrainerFirstLayerSize() { return static_cast<uint32_t>(State().firstLayer.size()); }

}  // extern "C"
