// NetworkEnsemble::Load on a stream holding the input, and on the same bytes through a stream
// that cannot seek (a pipe).
//
// Checked besides the sanitizers: both loads agree; a failure gives a known message and leaves
// the ensemble empty. A success appends as many members as the header counts, each with layers
// and with the first member's input and output sizes; Save writes them back as the bytes read
// (a prefix of the input), and the ensemble classifies a sample and counts a few on the fast
// engine (whatever batch sizes the records store).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "ensemble/network_ensemble.h"
#include "fuzz/fuzz_support.h"

namespace {

bool IsMemberMessage(const std::string& message) {
  const std::string prefix = "Neural network ensemble member ";
  return message.compare(0, prefix.size(), prefix) == 0 && message.back() == '.';
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ScratchFolder& folder = ScratchFolder::Get();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::istringstream stream(input);
  NetworkEnsemble ensemble;
  std::string message;
  ensemble.Load(stream, &message);
  UnseekableStream pipe(input);
  NetworkEnsemble fromPipe;
  std::string pipeMessage;
  fromPipe.Load(pipe, &pipeMessage);
  Require(pipeMessage == message && fromPipe.networks.size() == ensemble.networks.size(),
          "a pipe gives the message and the members a file gives");
  if (!message.empty()) {
    Require(IsOneOf(message, {"Failed to read neural network ensemble header from disk.",
                              "Invalid neural network ensemble file format detected."}) ||
                IsMemberMessage(message),
            "a failed load gives a known message");
    Require(ensemble.networks.empty(), "a failed load adds no member");
    return 0;
  }

  uint32_t memberCount = 0;
  std::memcpy(&memberCount, data + 2, sizeof memberCount);
  Require(ensemble.networks.size() == memberCount, "a successful load adds every member");
  const NeuralNetwork& first = ensemble.networks.front();
  for (const NeuralNetwork& member : ensemble.networks) {
    Require(!member.weights.empty(), "every member has layers");
    Require(member.InputSize() == first.InputSize() && member.OutputSize() == first.OutputSize(),
            "every member has the first member's input and output sizes");
  }

  const std::string savedPath = folder.Path("saved");
  std::string saveMessage;
  ensemble.Save(savedPath, &saveMessage);
  Require(saveMessage.empty(), "a loaded ensemble can be saved");
  const std::string saved = ReadFile(savedPath);
  Require(saved.size() <= size && std::memcmp(saved.data(), data, saved.size()) == 0,
          "a loaded ensemble saves to the bytes it was read from");

  const ImageSample sample{Vector(first.InputSize(), 0.5), Vector(first.OutputSize(), 0.0)};
  Require(ensemble.Evaluate(sample).size() == first.OutputSize(), "the ensemble gives one value per output");
  const double correct = ensemble.CountCorrect(SamplesFor(first.InputSize(), first.OutputSize()), 2);
  Require(correct == 0.0 || correct == 1.0 || correct == 2.0 || correct == 3.0, "a count of samples");
  return 0;
}
