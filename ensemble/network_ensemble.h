// Several networks that classify together: the answer is the largest entry of the mean of the
// members' outputs. The ensemble owns its members by value, in the order they were added,
// which is also their order in the ensemble file. Members share one input and one output size.
//
// Ensemble file, little-endian, no padding:
//   0   u16  magic 0x4242 (NetworkFileMagic, the same value that begins a network record)
//   2   u32  member count N, at least 1
//   6        N network records (network/network_file.h), back to back, in member order;
//            a record's length follows from its own layer sizes
// Bytes after the N-th record are ignored. A network file whose learningRate has zero low
// 32 bits (the train command's 0.5 does) reads as a member count of 0 and is refused.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "mnist/image_set.h"
#include "network/neural_network.h"

class NetworkEnsemble {
 public:
  // The element-wise mean of the members' outputs for the sample, as many entries as the
  // first member has outputs. Rewrites every member's cache. Precondition: at least one
  // member, all with the first member's output size.
  Vector Evaluate(SampleView sample);
  // Number of samples whose target's 1.0 sits at the first largest entry of Evaluate,
  // computed for blocks of samples at once on up to threadCount threads (0: one per
  // processor; ensemble/mean_output.h).
  double CountCorrect(const ImageSet& samples, uint32_t threadCount = 0);

  // Replaces the named file atomically with the ensemble (see io/atomic_file.h). On
  // failure fills *errorMessage (if given) and leaves an existing file as it was.
  void Save(const std::string& fileName, std::string* errorMessage) const;
  // Appends the file's members. On failure fills *errorMessage (if given) and leaves the
  // ensemble unchanged: an unreadable or foreign file, a member record that does not load, a
  // member without layers, or members whose input or output sizes disagree.
  void Load(const std::string& fileName, std::string* errorMessage);
  // The same from the stream's position (an ensemble file in memory, or a pipe: it is read
  // only as far as the members' bytes arrive).
  void Load(std::istream& input, std::string* errorMessage);

  std::vector<NeuralNetwork> networks;
};

// Reads an ensemble file's members from the stream's position, each held once in the engine's
// layout to classify with (ensemble/mean_output.h), with Load's checks and sentences. On
// failure returns false, fills *errorMessage and leaves *members as it was.
bool ReadEnsembleForClassifying(std::istream& input, std::vector<ForwardNetwork>* members,
                                std::string* errorMessage);
