// The ensemble's mean output, its batched count, and the ensemble file.
#include "ensemble/network_ensemble.h"

#include <cassert>
#include <fstream>

#include "engine/thread_pool.h"
#include "ensemble/mean_output.h"
#include "io/atomic_file.h"
#include "io/byte_order.h"
#include "io/stream.h"
#include "math/activation.h"
#include "settings/settings.h"  // kMaxThreadCount

namespace {

constexpr size_t kHeaderSize = 6;
constexpr const char* kHeaderWriteMessage = "Failed to write neural network ensemble header to disk.";
constexpr const char* kHeaderReadMessage = "Failed to read neural network ensemble header from disk.";
constexpr const char* kInvalidFormatMessage = "Invalid neural network ensemble file format detected.";

void Report(std::string* errorMessage, const std::string& message) { ReportError(errorMessage, message); }

std::string MemberName(size_t index, size_t count) {
  return "Neural network ensemble member " + std::to_string(index + 1) + " of " + std::to_string(count);
}

}  // namespace

Vector NetworkEnsemble::Evaluate(SampleView sample) {
  assert(!networks.empty());
  const size_t outputSize = networks.front().OutputSize();
  Vector sum(outputSize, 0.0);
  for (NeuralNetwork& network : networks) {
    const Vector output = network.FeedForward(sample.pixels);
    for (size_t i = 0; i < outputSize; ++i) sum[i] += ElementAt(output, i);
  }
  // One division per entry after all members are added: no running mean.
  const double memberCount = static_cast<double>(networks.size());
  Vector mean(outputSize, 0.0);
  for (size_t i = 0; i < outputSize; ++i) mean[i] = sum[i] / memberCount;
  return mean;
}

double NetworkEnsemble::CountCorrect(const ImageSet& samples, uint32_t threadCount) {
  if (samples.empty()) return 0.0;
  assert(!networks.empty());
  // Blocks of images through copies of the members in the engine's layout, on the threads the
  // processors can run; the mean is formed as Evaluate forms it (members added in order from
  // 0.0, then one division).
  ThreadPool pool(ThreadsWorthStarting(threadCount == 0 ? kMaxThreadCount : threadCount));
  std::vector<ForwardNetwork> members;
  members.reserve(networks.size());
  for (const NeuralNetwork& network : networks) members.push_back(network.ForClassifying());
  const double correct = CountCorrectOfMean(members, samples, pool);
  Evaluate(samples.back());  // the members' caches hold the last sample, as Evaluate leaves them
  return correct;
}

void NetworkEnsemble::Save(const std::string& fileName, std::string* errorMessage) const {
  const auto write = [this](std::ostream& output, std::string* message) {
    unsigned char header[kHeaderSize];
    EncodeLittleEndian(header, NetworkFileMagic);
    EncodeLittleEndian(header + 2, static_cast<uint32_t>(networks.size()));
    if (!WriteBytes(output, header, sizeof header)) return Report(message, kHeaderWriteMessage);
    for (const NeuralNetwork& network : networks) {
      network.Save(output, message);
      if (!message->empty()) return;
    }
  };
  WriteFileAtomically(fileName, write, networks.empty() ? kHeaderWriteMessage : kNetworkFinalStageMessage,
                      errorMessage);
}

void NetworkEnsemble::Load(const std::string& fileName, std::string* errorMessage) {
  std::ifstream input(fileName, std::ios::binary);
  Load(input, errorMessage);
}

namespace {

bool HasLayers(const NeuralNetwork& network) { return !network.weights.empty(); }
bool HasLayers(const ForwardNetwork& network) { return network.LayerCount() != 0; }

void ReadMember(std::istream& input, NeuralNetwork* member, std::string* errorMessage) {
  member->Load(input, errorMessage);
}
void ReadMember(std::istream& input, ForwardNetwork* member, std::string* errorMessage) {
  ReadForwardNetwork(input, member, errorMessage);
}

// Reads an ensemble file's members from the stream's position into *members, whose input and
// output sizes must be those of *first (or of the first member read when null). False with the
// sentence on failure.
template <class Member>
bool ReadMembers(std::istream& input, const Member* first, std::vector<Member>* members,
                 std::string* errorMessage) {
  unsigned char header[kHeaderSize];
  if (!ReadBytes(input, header, sizeof header)) return ReportError(errorMessage, kHeaderReadMessage);
  const uint16_t magic = DecodeLittleEndian<uint16_t>(header);
  const uint32_t memberCount = DecodeLittleEndian<uint32_t>(header + 2);
  if (magic != NetworkFileMagic || memberCount == 0) return ReportError(errorMessage, kInvalidFormatMessage);

  // The count is untrusted: members are read one by one (never reserved), and each one must
  // load completely, so a short file fails at its first missing record. Evaluate reads every
  // member's layers up to the first member's sizes, so sizes must agree before anyone uses
  // them.
  std::pair<uint32_t, uint32_t> firstSizes;  // inputs and outputs
  if (first != nullptr) firstSizes = {first->InputSize(), first->OutputSize()};
  for (size_t index = 0; index < memberCount; ++index) {
    Member& member = members->emplace_back();
    std::string memberMessage;
    ReadMember(input, &member, &memberMessage);
    const std::string name = MemberName(index, memberCount);
    if (!memberMessage.empty()) {
      return ReportError(errorMessage, name + " could not be read: " + memberMessage);
    }
    if (!HasLayers(member)) return ReportError(errorMessage, name + " has no layers.");
    if (index == 0 && first == nullptr) firstSizes = {member.InputSize(), member.OutputSize()};
    if (member.InputSize() != firstSizes.first || member.OutputSize() != firstSizes.second) {
      return ReportError(errorMessage, name + " has " + std::to_string(member.InputSize()) + " inputs and " +
                                           std::to_string(member.OutputSize()) +
                                           " outputs, unlike the first member's " +
                                           std::to_string(firstSizes.first) + " and " +
                                           std::to_string(firstSizes.second) + ".");
    }
  }
  return true;
}

}  // namespace

void NetworkEnsemble::Load(std::istream& input, std::string* errorMessage) {
  std::vector<NeuralNetwork> members;
  if (!ReadMembers(input, networks.empty() ? nullptr : &networks.front(), &members, errorMessage)) return;
  if (networks.empty()) {
    networks = std::move(members);
    return;
  }
  networks.reserve(networks.size() + members.size());
  for (NeuralNetwork& member : members) networks.push_back(std::move(member));
}

bool ReadEnsembleForClassifying(std::istream& input, std::vector<ForwardNetwork>* members,
                                std::string* errorMessage) {
  std::vector<ForwardNetwork> read;
  if (!ReadMembers<ForwardNetwork>(input, nullptr, &read, errorMessage)) return false;
  *members = std::move(read);
  return true;
}
