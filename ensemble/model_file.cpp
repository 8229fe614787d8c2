// Telling a network file from an ensemble file, and classifying with either.
#include "ensemble/model_file.h"

#include <istream>
#include <stdexcept>

#include "ensemble/network_ensemble.h"
#include "io/byte_order.h"
#include "io/stream.h"
#include "network/network_file.h"

namespace {

// Whether the first bytes read as an ensemble header followed by a record's magic.
bool LooksLikeEnsemble(const unsigned char* header, size_t length) {
  return length >= 8 && DecodeLittleEndian<uint32_t>(header + 2) != 0 &&
         DecodeLittleEndian<uint16_t>(header + 6) == NetworkFileMagic;
}

bool ReadEnsemble(std::istream& input, std::vector<ForwardNetwork>* members, std::string* errorMessage) {
  input.clear();
  input.seekg(0);
  return ReadEnsembleForClassifying(input, members, errorMessage);
}

bool ReadNetwork(std::istream& input, std::vector<ForwardNetwork>* members, std::string* errorMessage) {
  input.clear();
  input.seekg(0);
  ForwardNetwork network;
  std::string message;
  ReadForwardNetwork(input, &network, &message);
  if (message.empty() && network.LayerCount() == 0) message = "The network file holds no layers.";
  if (!message.empty()) {
    *errorMessage = message;
    return false;
  }
  members->push_back(std::move(network));
  return true;
}

}  // namespace

Model::Model(ModelKind kind, std::vector<ForwardNetwork> members, uint32_t threadCount)
    : kind_(kind), members_(std::move(members)), pool_(std::make_unique<ThreadPool>(threadCount)) {}

std::unique_ptr<Model> Model::Read(std::istream& input, uint32_t threadCount, std::string* errorMessage) {
  unsigned char header[8] = {};
  input.read(reinterpret_cast<char*>(header), sizeof header);
  const size_t length = static_cast<size_t>(input.gcount());
  if (length < 2 || DecodeLittleEndian<uint16_t>(header) != NetworkFileMagic) {
    *errorMessage = "Neither a network file nor an ensemble file: it does not begin with the bytes 42 42.";
    return nullptr;
  }
  std::vector<ForwardNetwork> members;
  std::string ensembleMessage, networkMessage;
  if (ReadEnsemble(input, &members, &ensembleMessage)) {
    return std::unique_ptr<Model>(new Model(ModelKind::Ensemble, std::move(members), threadCount));
  }
  if (ReadNetwork(input, &members, &networkMessage)) {
    return std::unique_ptr<Model>(new Model(ModelKind::Network, std::move(members), threadCount));
  }
  *errorMessage = LooksLikeEnsemble(header, length) ? ensembleMessage : networkMessage;
  return nullptr;
}

double Model::CountCorrect(const ImageSet& samples) const {
  return CountCorrectOfMean(members_, samples, *pool_);
}

SetOutputs Model::Outputs(const ImageSet& samples) const { return OutputsOfMean(members_, samples, *pool_); }

SetOutputs Model::Outputs(std::span<const std::span<const double>> inputs) const {
  for (const std::span<const double> input : inputs) {
    if (input.size() < InputSize()) throw std::out_of_range("invalid vector subscript");
  }
  return OutputsOfMean(
      members_, inputs.size(), [&](size_t i) { return inputs[i].data(); }, *pool_);
}
