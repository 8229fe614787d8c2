// The network record, little-endian, no padding:
//   0            u16  magic 0x4242 (NetworkFileMagic)
//   2            f64  learningRate
//   10           f64  weightDecayFactor
//   18           u32  batchSize
//   22           u32  epochCount
//   26           u64  layer count L (input layer included; always below 2^32)
//   34           u32  L layer sizes n(0) .. n(L-1)
//   34 + 4L      f64  weights: matrix by matrix, row by row, n(k) rows of n(k-1) values
//   then         f64  biases: layer by layer, n(k) values
// The record ends after the last bias; records of an ensemble file follow one another.
#include <bit>
#include <cstring>
#include <fstream>
#include <istream>
#include <limits>
#include <ostream>

#include "network/atomic_file.h"
#include "network/neural_network.h"

namespace {

static_assert(std::endian::native == std::endian::little,
              "the record is written with the host's byte order");

constexpr size_t kHeaderSize = 34;

template <typename T>
void EncodeFixed(unsigned char* destination, T value) {
  std::memcpy(destination, &value, sizeof value);
}

template <typename T>
T DecodeFixed(const unsigned char* source) {
  T value;
  std::memcpy(&value, source, sizeof value);
  return value;
}

bool StreamFailed(const std::ios& stream) { return stream.fail() || stream.bad(); }

void Report(std::string* errorMessage, const char* message) {
  if (errorMessage != nullptr) *errorMessage = message;
}

// Bytes left between the read position and the end, or the largest value when the stream
// cannot tell (a pipe); then only the overflow checks guard the sizes.
uint64_t RemainingBytes(std::istream& stream) {
  const std::streampos here = stream.tellg();
  if (here < 0) {
    stream.clear(stream.rdstate() & ~std::ios::failbit);
    return std::numeric_limits<uint64_t>::max();
  }
  stream.seekg(0, std::ios::end);
  const std::streampos end = stream.tellg();
  stream.seekg(here);
  if (end < here) return 0;
  return static_cast<uint64_t>(end - here);
}

// Bytes that the weights and biases of these sizes take, or false on 64-bit overflow.
bool ParameterBytes(const std::vector<uint32_t>& sizes, uint64_t* weightBytes,
                    uint64_t* biasBytes) {
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
    EncodeFixed(bytes, value);
    output.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    if (StreamFailed(output)) return false;
  }
  return true;
}

bool ReadVector(std::istream& input, Vector& v) {
  if (v.empty()) return false;
  for (double& value : v) {
    unsigned char bytes[8];
    input.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (StreamFailed(input)) return false;
    value = DecodeFixed<double>(bytes);
  }
  return true;
}

void NeuralNetwork::Save(std::ostream& output, std::string* errorMessage) const {
  unsigned char header[kHeaderSize];
  EncodeFixed(header, NetworkFileMagic);
  EncodeFixed(header + 2, learningRate);
  EncodeFixed(header + 10, weightDecayFactor);
  EncodeFixed(header + 18, batchSize);
  EncodeFixed(header + 22, epochCount);
  EncodeFixed(header + 26, uint64_t{weights.size() + 1});
  output.write(reinterpret_cast<const char*>(header), sizeof header);
  if (StreamFailed(output)) return Report(errorMessage, "Failed to write neural network header to disk.");

  std::vector<uint32_t> sizes{InputSize()};
  for (const Vector& bias : biases) sizes.push_back(static_cast<uint32_t>(bias.size()));
  for (uint32_t size : sizes) {
    unsigned char bytes[4];
    EncodeFixed(bytes, size);
    output.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
    if (StreamFailed(output)) return Report(errorMessage, "Failed to write layer sizes to disk.");
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
      return Report(errorMessage, "Failed to write layer biases to disk.");
    }
  }
}

void NeuralNetwork::Load(std::istream& input, std::string* errorMessage) {
  unsigned char header[kHeaderSize];
  input.read(reinterpret_cast<char*>(header), sizeof header);
  if (StreamFailed(input)) return Report(errorMessage, "Failed to read neural network header from disk.");
  if (DecodeFixed<uint16_t>(header) != NetworkFileMagic) {
    return Report(errorMessage, "Invalid neural network file format detected.");
  }
  learningRate = DecodeFixed<double>(header + 2);
  weightDecayFactor = DecodeFixed<double>(header + 10);
  batchSize = DecodeFixed<uint32_t>(header + 18);
  epochCount = DecodeFixed<uint32_t>(header + 22);

  // Every count below is untrusted: the size table, the layers and their values are only
  // allocated once the stream is known to hold the bytes they claim.
  const uint64_t layerCount = DecodeFixed<uint64_t>(header + 26);
  const char* sizesMessage = "Failed to read neural network layer sizes from disk.";
  if (layerCount > std::numeric_limits<uint32_t>::max() || layerCount * 4 > RemainingBytes(input)) {
    return Report(errorMessage, sizesMessage);
  }
  std::vector<uint32_t> sizes(layerCount, 0);
  for (uint32_t& size : sizes) {
    unsigned char bytes[4];
    input.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (StreamFailed(input)) return Report(errorMessage, sizesMessage);
    size = DecodeFixed<uint32_t>(bytes);
  }
  if (sizes.size() < 2) return;

  uint64_t weightBytes = 0;
  uint64_t biasBytes = 0;
  if (!ParameterBytes(sizes, &weightBytes, &biasBytes)) {
    return Report(errorMessage, "Failed to read layer weights from disk.");
  }
  const uint64_t remaining = RemainingBytes(input);
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
      "Failed to write layer biases to disk.", errorMessage);
}

void NeuralNetwork::LoadFile(const std::string& fileName, std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  Load(input, errorMessage);
}
