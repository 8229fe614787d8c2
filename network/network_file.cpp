// Reading and writing the network record (layout in network_file.h).
#include "network/network_file.h"

#include <fstream>
#include <istream>
#include <limits>
#include <ostream>

#include "io/atomic_file.h"
#include "io/byte_order.h"
#include "io/stream.h"
#include "network/neural_network.h"

namespace {

constexpr size_t kHeaderSize = 34;
constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();

void Report(std::string* errorMessage, const char* message) { ReportError(errorMessage, message); }

// Bytes that the weights and biases of these sizes take, or false on 64-bit overflow.
bool ParameterBytes(const std::vector<uint32_t>& sizes, uint64_t* weightBytes, uint64_t* biasBytes) {
  constexpr uint64_t kLimit = std::numeric_limits<uint64_t>::max() / 16;
  uint64_t weightCount = 0;
  uint64_t biasCount = 0;
  for (size_t k = 1; k < sizes.size(); ++k) {
    const uint64_t matrixCount = uint64_t{sizes[k - 1]} * sizes[k];  // below 2^64
    if (matrixCount > kLimit) return false;
    weightCount += matrixCount;
    biasCount += sizes[k];
    if (weightCount > kLimit || biasCount > kLimit) return false;
  }
  *weightBytes = weightCount * 8;
  *biasBytes = biasCount * 8;
  return true;
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

bool ReadVector(std::istream& input, Vector& v) {
  if (v.empty()) return false;
  for (double& value : v) {
    unsigned char bytes[8];
    if (!ReadBytes(input, bytes, sizeof bytes)) return false;
    value = DecodeLittleEndian<double>(bytes);
  }
  return true;
}

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

void NeuralNetwork::Load(std::istream& input, std::string* errorMessage) {
  unsigned char header[kHeaderSize];
  if (!ReadBytes(input, header, sizeof header))
    return Report(errorMessage, "Failed to read neural network header from disk.");
  if (DecodeLittleEndian<uint16_t>(header) != NetworkFileMagic) {
    return Report(errorMessage, "Invalid neural network file format detected.");
  }
  learningRate = DecodeLittleEndian<double>(header + 2);
  weightDecayFactor = DecodeLittleEndian<double>(header + 10);
  batchSize = DecodeLittleEndian<uint32_t>(header + 18);
  epochCount = DecodeLittleEndian<uint32_t>(header + 22);

  // Every count below is untrusted: the size table, the layers and their values are only
  // allocated once the stream is known to hold the bytes they claim. A stream that cannot
  // tell its length (a pipe) is not refused; then only the overflow checks guard the sizes.
  const uint64_t layerCount = DecodeLittleEndian<uint64_t>(header + 26);
  const char* sizesMessage = "Failed to read neural network layer sizes from disk.";
  if (layerCount > std::numeric_limits<uint32_t>::max() ||
      layerCount * 4 > RemainingBytes(input).value_or(kUnknown)) {
    return Report(errorMessage, sizesMessage);
  }
  std::vector<uint32_t> sizes(layerCount, 0);
  for (uint32_t& size : sizes) {
    unsigned char bytes[4];
    if (!ReadBytes(input, bytes, sizeof bytes)) return Report(errorMessage, sizesMessage);
    size = DecodeLittleEndian<uint32_t>(bytes);
  }
  if (sizes.size() < 2) return;

  uint64_t weightBytes = 0;
  uint64_t biasBytes = 0;
  if (!ParameterBytes(sizes, &weightBytes, &biasBytes)) {
    return Report(errorMessage, "Failed to read layer weights from disk.");
  }
  const uint64_t remaining = RemainingBytes(input).value_or(kUnknown);
  if (weightBytes > remaining) return Report(errorMessage, "Failed to read layer weights from disk.");
  if (biasBytes > remaining - weightBytes) {
    return Report(errorMessage, "Failed to read layer biases from disk.");
  }

  for (size_t k = 1; k < sizes.size(); ++k) AddLayer(sizes[k - 1], sizes[k]);
  for (Matrix& matrix : weights) {
    for (Vector& row : matrix.data) {
      if (!ReadVector(input, row)) return Report(errorMessage, "Failed to read layer weights from disk.");
    }
  }
  for (Vector& bias : biases) {
    if (!ReadVector(input, bias)) return Report(errorMessage, "Failed to read layer biases from disk.");
  }
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
