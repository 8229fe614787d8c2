// NeuralNetwork::Load on a stream holding the input, and on the same bytes through a stream that
// cannot seek (a pipe).
//
// Checked besides the sanitizers: both loads agree; a failure gives a known load message, and
// a failure in the header, magic or layer sizes adds no layers. A success with layers is
// written back by Save byte for byte as read, runs a forward pass and counts a few samples on
// the fast engine (whatever batch size the record stores); a success without layers (a layer
// count of 0 or 1) consumed exactly the header and the size table.
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "fuzz/fuzz_support.h"
#include "network/neural_network.h"

namespace {

// The record Save writes for the network, or "" when it cannot (no layers).
std::string RecordOf(const NeuralNetwork& network) {
  if (network.weights.empty()) return "";
  std::ostringstream written;
  std::string message;
  network.Save(written, &message);
  Require(message.empty(), "a loaded network can be saved");
  return written.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream stream(input);
  NeuralNetwork network;
  std::string message;
  network.Load(stream, &message);
  UnseekableStream pipe(input);
  NeuralNetwork fromPipe;
  std::string pipeMessage;
  fromPipe.Load(pipe, &pipeMessage);
  Require(pipeMessage == message, "a pipe gives the message a file gives");
  Require(RecordOf(fromPipe) == RecordOf(network), "a pipe gives the network a file gives");

  if (!message.empty()) {
    Require(IsOneOf(message,
                    {"Failed to read neural network header from disk.",
                     "Invalid neural network file format detected.",
                     "Failed to read neural network layer sizes from disk.",
                     "Failed to read layer weights from disk.", "Failed to read layer biases from disk."}),
            "a failed load gives a known message");
    if (message != "Failed to read layer weights from disk." &&
        message != "Failed to read layer biases from disk.") {
      Require(network.weights.empty() && network.biases.empty(),
              "a load that fails before the weights adds no layers");
    }
    return 0;
  }

  const std::streampos end = stream.tellg();
  Require(end >= 0, "a successful load leaves the stream usable");
  const size_t consumed = static_cast<size_t>(end);
  if (network.weights.empty()) {
    Require(network.biases.empty() && network.activations.empty() && network.weightedInputs.empty(),
            "a network without weights has no other layers either");
    uint64_t layerCount = 0;
    for (int i = 7; i >= 0; --i) layerCount = layerCount << 8 | data[26 + i];
    Require(layerCount <= 1 && consumed == 34 + 4 * layerCount,
            "only a layer count of 0 or 1 loads without layers, and reads only its sizes");
    return 0;
  }

  Require(RecordOf(network) == input.substr(0, consumed), "a loaded record saves to the same bytes");

  const Vector output = network.FeedForward(Vector(network.InputSize(), 0.5));
  Require(output.size() == network.OutputSize(), "the forward pass gives one value per output");
  const double correct = network.CountCorrect(SamplesFor(network.InputSize(), network.OutputSize()), 2);
  Require(correct == 0.0 || correct == 1.0 || correct == 2.0 || correct == 3.0, "a count of samples");
  return 0;
}
