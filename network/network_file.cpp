// Reading and writing the network record (layout in network_file.h).
#include "network/network_file.h"

#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>
#include <span>

#include "io/atomic_file.h"
#include "io/byte_order.h"
#include "io/stream.h"
#include "network/neural_network.h"

namespace {

constexpr size_t kHeaderSize = 34;
constexpr const char* kSizesMessage = "Failed to read neural network layer sizes from disk.";
constexpr const char* kWeightsMessage = "Failed to read layer weights from disk.";
constexpr const char* kBiasesMessage = "Failed to read layer biases from disk.";

void Report(std::string* errorMessage, const char* message) { ReportError(errorMessage, message); }

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Bytes that the weights and biases of these sizes take, or UINT64_MAX when that overflows.
uint64_t ParameterBytes(const std::vector<uint32_t>& sizes) {
  uint64_t bytes = 0;
  for (size_t k = 1; k < sizes.size(); ++k) {
    const uint64_t values = uint64_t{sizes[k - 1]} * sizes[k] + sizes[k];  // below 2^64
    bytes = SaturatingAdd(bytes, values > UINT64_MAX / 8 ? UINT64_MAX : values * 8);
  }
  return bytes;
}

// The message of the stage at which reading the weights and then the biases, row by row and
// vector by vector, would stop when only `present` of their bytes are there; null when none
// would. Reading stops at an empty row or vector too (ReadVector refuses them), so a layer
// without neurons fails at its first empty row or bias vector, whether or not bytes follow.
const char* FailingStage(const std::vector<uint32_t>& sizes, uint64_t present) {
  uint64_t used = 0;  // never above present, so no sum below overflows
  for (size_t k = 1; k < sizes.size(); ++k) {
    if (sizes[k] == 0) continue;  // a matrix without rows reads nothing
    const uint64_t values = uint64_t{sizes[k - 1]} * sizes[k];
    if (values == 0 || values > (present - used) / 8) return kWeightsMessage;
    used += values * 8;
  }
  for (size_t k = 1; k < sizes.size(); ++k) {
    if (sizes[k] == 0 || sizes[k] > (present - used) / 8) return kBiasesMessage;
    used += uint64_t{sizes[k]} * 8;
  }
  return nullptr;
}

// Reads exactly values.size() doubles; false for none or when the stream fails.
bool ReadValues(std::istream& input, std::span<double> values) {
  if (values.empty()) return false;
  for (double& value : values) {
    unsigned char bytes[8];
    if (!ReadBytes(input, bytes, sizeof bytes)) return false;
    value = DecodeLittleEndian<double>(bytes);
  }
  return true;
}

double DecodeDouble(const unsigned char*& bytes) {
  const double value = DecodeLittleEndian<double>(bytes);
  bytes += 8;
  return value;
}

}  // namespace

bool WriteVector(std::ostream& output, const Vector& v) {
  if (v.empty()) return false;
  for (double value : v) {
    unsigned char bytes[8];
    EncodeLittleEndian(bytes, value);
    if (!WriteBytes(output, bytes, sizeof bytes)) return false;
  }
  return true;
}

bool ReadVector(std::istream& input, Vector& v) { return ReadValues(input, v); }

void NeuralNetwork::Save(std::ostream& output, std::string* errorMessage) const {
  unsigned char header[kHeaderSize];
  EncodeLittleEndian(header, NetworkFileMagic);
  EncodeLittleEndian(header + 2, learningRate);
  EncodeLittleEndian(header + 10, weightDecayFactor);
  EncodeLittleEndian(header + 18, batchSize);
  EncodeLittleEndian(header + 22, epochCount);
  EncodeLittleEndian(header + 26, uint64_t{weights.size() + 1});
  if (!WriteBytes(output, header, sizeof header))
    return Report(errorMessage, "Failed to write neural network header to disk.");

  std::vector<uint32_t> sizes{InputSize()};
  for (const Vector& bias : biases) sizes.push_back(static_cast<uint32_t>(bias.size()));
  for (uint32_t size : sizes) {
    unsigned char bytes[4];
    EncodeLittleEndian(bytes, size);
    if (!WriteBytes(output, bytes, sizeof bytes))
      return Report(errorMessage, "Failed to write layer sizes to disk.");
  }

  for (const Matrix& matrix : weights) {
    for (const Vector& row : matrix.data) {
      if (!WriteVector(output, row)) {
        return Report(errorMessage, "Failed to write layer weights to disk.");
      }
    }
  }
  for (const Vector& bias : biases) {
    if (!WriteVector(output, bias)) {
      return Report(errorMessage, kNetworkFinalStageMessage);
    }
  }
}

namespace {

// The header fields besides the layers.
struct RecordFields {
  double learningRate = 0.0;
  double weightDecayFactor = 0.0;
  uint32_t batchSize = 0;
  uint32_t epochCount = 0;
};

// Reads one record from the stream's position: the header into *fields, then, once the
// stream is known to hold every value the sizes claim, calls allocate(sizes) and reads the
// weights row by row into rowOf(k, r) and the biases into biasesOf(k), k counted from the
// first layer above the input. Failures are reported as the stage's sentence.
template <class Allocate, class RowOf, class BiasesOf>
void ReadRecord(std::istream& input, std::string* errorMessage, RecordFields* fields,
                const Allocate& allocate, const RowOf& rowOf, const BiasesOf& biasesOf) {
  unsigned char header[kHeaderSize];
  if (!ReadBytes(input, header, sizeof header))
    return Report(errorMessage, "Failed to read neural network header from disk.");
  if (DecodeLittleEndian<uint16_t>(header) != NetworkFileMagic) {
    return Report(errorMessage, "Invalid neural network file format detected.");
  }
  fields->learningRate = DecodeLittleEndian<double>(header + 2);
  fields->weightDecayFactor = DecodeLittleEndian<double>(header + 10);
  fields->batchSize = DecodeLittleEndian<uint32_t>(header + 18);
  fields->epochCount = DecodeLittleEndian<uint32_t>(header + 22);

  // Every count below is untrusted: the size table and the values are read only as far as the
  // stream really holds them, and the layers are allocated only once every byte they claim is
  // known to be there. So a file or a pipe costs memory in proportion to its bytes.
  const uint64_t layerCount = DecodeLittleEndian<uint64_t>(header + 26);
  std::vector<unsigned char> bytes;
  if (layerCount > std::numeric_limits<uint32_t>::max() ||
      ReadUpTo(input, layerCount * 4, &bytes) < layerCount * 4) {
    return Report(errorMessage, kSizesMessage);
  }
  std::vector<uint32_t> sizes(layerCount);
  for (size_t k = 0; k < sizes.size(); ++k) sizes[k] = DecodeLittleEndian<uint32_t>(bytes.data() + 4 * k);
  if (sizes.size() < 2) return;

  // A stream that knows its length is checked against it and read straight into the layers; a
  // pipe is first read as far as its bytes arrive, and the layers are filled from that copy.
  const std::optional<uint64_t> remaining = RemainingBytes(input);
  const uint64_t present = remaining ? *remaining : ReadUpTo(input, ParameterBytes(sizes), &bytes);
  if (const char* stage = FailingStage(sizes, present)) return Report(errorMessage, stage);
  allocate(sizes);
  const unsigned char* next = bytes.data();
  const auto fill = [&](std::span<double> values) {
    if (remaining) return ReadValues(input, values);
    for (double& value : values) value = DecodeDouble(next);
    return true;
  };
  for (size_t k = 1; k < sizes.size(); ++k) {
    for (size_t r = 0; r < sizes[k]; ++r) {
      if (!fill(rowOf(k - 1, r))) return Report(errorMessage, kWeightsMessage);
    }
  }
  for (size_t k = 1; k < sizes.size(); ++k) {
    if (!fill(biasesOf(k - 1))) return Report(errorMessage, kBiasesMessage);
  }
}

}  // namespace

void NeuralNetwork::Load(std::istream& input, std::string* errorMessage) {
  RecordFields fields{learningRate, weightDecayFactor, batchSize, epochCount};
  ReadRecord(
      input, errorMessage, &fields,
      [&](const std::vector<uint32_t>& sizes) {
        for (auto* layers : {&biases, &activations, &weightedInputs}) layers->reserve(sizes.size() - 1);
        weights.reserve(sizes.size() - 1);
        for (size_t k = 1; k < sizes.size(); ++k) AddLayer(sizes[k - 1], sizes[k]);
      },
      [&](size_t k, size_t r) { return std::span<double>(weights[k].data[r]); },
      [&](size_t k) { return std::span<double>(biases[k]); });
  learningRate = fields.learningRate;
  weightDecayFactor = fields.weightDecayFactor;
  batchSize = fields.batchSize;
  epochCount = fields.epochCount;
}

void ReadForwardNetwork(std::istream& input, ForwardNetwork* network, std::string* errorMessage) {
  RecordFields fields;
  ReadRecord(
      input, errorMessage, &fields,
      [&](const std::vector<uint32_t>& sizes) { *network = ForwardNetwork(sizes); },
      [&](size_t k, size_t r) { return network->WeightRow(k, r); },
      [&](size_t k) { return network->Biases(k); });
}

void NeuralNetwork::SaveFile(const std::string& fileName, std::string* errorMessage) const {
  WriteFileAtomically(
      fileName, [this](std::ostream& output, std::string* message) { Save(output, message); },
      kNetworkFinalStageMessage, errorMessage);
}

void NeuralNetwork::LoadFile(const std::string& fileName, std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  Load(input, errorMessage);
}

bool HoldsNetworkRecord(const std::string& fileName) {
  // Only a regular file: opening a pipe or a device to look inside could block or consume it.
  std::error_code error;
  if (!std::filesystem::is_regular_file(fileName, error)) return false;
  NeuralNetwork network;
  std::string message;
  network.LoadFile(fileName, &message);
  return message.empty() && !network.weights.empty();
}
