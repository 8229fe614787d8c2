// A trained model as mnist-lab meets it: a network file or an ensemble file, told apart by
// content rather than by name, that classifies as the ensemble does (a network file is an
// ensemble of one, whose mean output is exactly the network's output).
//
// Both files begin with the magic 0x4242. An ensemble file follows it with a member count of
// at least 1 and then its first record, which begins with the magic again at offset 6; in a
// network file those bytes are the low six bytes of learningRate (all zero for the train
// command's 0.5). A file is taken as an ensemble when it reads completely as one, otherwise as
// a network when it reads completely as one; the error reported is that of the kind its header
// looks like.
//
// The model holds its members once, in the engine's layout (engine/forward_network.h), with its
// own threads; it is read from a stream, never from a file name.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/forward_network.h"
#include "engine/thread_pool.h"
#include "ensemble/mean_output.h"
#include "mnist/image_set.h"

enum class ModelKind { Network, Ensemble };

class Model {
 public:
  // Reads a network file or an ensemble file from the start of a seekable stream and prepares
  // it to classify on threadCount threads. Returns null on failure and sets *errorMessage to
  // the loader's sentence, or to a sentence saying the bytes are neither kind of file.
  static std::unique_ptr<Model> Read(std::istream& input, uint32_t threadCount, std::string* errorMessage);

  ModelKind Kind() const { return kind_; }
  size_t MemberCount() const { return members_.size(); }
  uint32_t InputSize() const { return members_.front().InputSize(); }
  uint32_t OutputSize() const { return members_.front().OutputSize(); }
  const ForwardNetwork& Member(size_t m) const { return members_.at(m); }

  // The number of samples the mean output classifies correctly: what --verify counts.
  double CountCorrect(const ImageSet& samples) const;
  // Every member's outputs and their mean for every sample or input, computed as CountCorrect
  // computes them, so answers taken from the means add up to its count. Samples or inputs with
  // fewer than InputSize() values throw std::out_of_range.
  SetOutputs Outputs(const ImageSet& samples) const;
  SetOutputs Outputs(std::span<const std::span<const double>> inputs) const;

 private:
  Model(ModelKind kind, std::vector<ForwardNetwork> members, uint32_t threadCount);

  ModelKind kind_;
  std::vector<ForwardNetwork> members_;
  std::unique_ptr<ThreadPool> pool_;
};
