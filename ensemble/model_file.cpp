// Telling a network file from an ensemble file, and classifying with either.
#include "ensemble/model_file.h"

#include <istream>

#include "io/byte_order.h"
#include "io/stream.h"

namespace {

// Whether the first bytes read as an ensemble header followed by a record's magic.
bool LooksLikeEnsemble(const unsigned char* header, size_t length) {
  return length >= 8 && DecodeLittleEndian<uint32_t>(header + 2) != 0 &&
         DecodeLittleEndian<uint16_t>(header + 6) == NetworkFileMagic;
}

bool ReadEnsemble(std::istream& input, NetworkEnsemble* ensemble, std::string* errorMessage) {
  input.clear();
  input.seekg(0);
  std::string message;
  ensemble->Load(input, &message);
  if (message.empty()) return true;
  *errorMessage = message;
  return false;
}

bool ReadNetwork(std::istream& input, NetworkEnsemble* ensemble, std::string* errorMessage) {
  input.clear();
  input.seekg(0);
  NeuralNetwork network;
  std::string message;
  network.Load(input, &message);
  if (message.empty() && network.weights.empty()) message = "The network file holds no layers.";
  if (!message.empty()) {
    *errorMessage = message;
    return false;
  }
  ensemble->networks.push_back(std::move(network));
  return true;
}

}  // namespace

Model::Model(ModelKind kind, NetworkEnsemble ensemble, uint32_t threadCount)
    : kind_(kind), ensemble_(std::move(ensemble)), pool_(std::make_unique<ThreadPool>(threadCount)) {
  engines_.reserve(ensemble_.networks.size());
  for (const NeuralNetwork& network : ensemble_.networks) engines_.push_back(network.Engine(*pool_));
}

std::unique_ptr<Model> Model::Read(std::istream& input, uint32_t threadCount, std::string* errorMessage) {
  unsigned char header[8] = {};
  input.read(reinterpret_cast<char*>(header), sizeof header);
  const size_t length = static_cast<size_t>(input.gcount());
  if (length < 2 || DecodeLittleEndian<uint16_t>(header) != NetworkFileMagic) {
    *errorMessage = "Neither a network file nor an ensemble file: it does not begin with the bytes 42 42.";
    return nullptr;
  }
  NetworkEnsemble ensemble;
  std::string ensembleMessage, networkMessage;
  if (ReadEnsemble(input, &ensemble, &ensembleMessage)) {
    return std::unique_ptr<Model>(new Model(ModelKind::Ensemble, std::move(ensemble), threadCount));
  }
  if (ReadNetwork(input, &ensemble, &networkMessage)) {
    return std::unique_ptr<Model>(new Model(ModelKind::Network, std::move(ensemble), threadCount));
  }
  *errorMessage = LooksLikeEnsemble(header, length) ? ensembleMessage : networkMessage;
  return nullptr;
}

SetOutputs Model::Outputs(const ImageSet& samples) const {
  std::vector<const TrainingEngine*> members;
  for (const TrainingEngine& engine : engines_) members.push_back(&engine);
  return OutputsOfMeanOutput(members, samples);
}
