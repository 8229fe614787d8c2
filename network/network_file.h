// The network file: one network record, read and written by NeuralNetwork::Load and
// NeuralNetwork::Save (neural_network.h). Little-endian, no padding:
//   0            u16  magic 0x4242 (NetworkFileMagic)
//   2            f64  learningRate
//   10           f64  weightDecayFactor
//   18           u32  batchSize
//   22           u32  epochCount
//   26           u64  layer count L (input layer included; always below 2^32)
//   34           u32  L layer sizes n(0) .. n(L-1)
//   34 + 4L      f64  weights: matrix by matrix, row by row, n(k) rows of n(k-1) values
//   then         f64  biases: layer by layer, n(k) values
// The record ends after the last bias; the records of an ensemble file follow one another.
// A record of fewer than two layers is valid and holds no weights or biases.
//
// Failures are reported with one sentence per stage, naming the part that could not be read
// or written ("Failed to read layer weights from disk."). A load reads the sizes and values
// only as far as the stream holds them, a pipe included, and allocates the layers only once
// all their bytes are there: its memory follows the bytes, not what the header claims.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "engine/forward_network.h"
#include "math/vector.h"

inline constexpr uint16_t NetworkFileMagic = 0x4242;

// What a save reports when the whole record was written but could not reach the disk: the
// message of the record's last stage.
inline constexpr const char* kNetworkFinalStageMessage = "Failed to write layer biases to disk.";

// Transfer a vector's elements as 8-byte little-endian doubles. Both return false for an
// empty vector or when the stream is failed after any element. ReadVector reads exactly
// v.size() values and never resizes v.
bool WriteVector(std::ostream& output, const Vector& v);
bool ReadVector(std::istream& input, Vector& v);

// Reads one record from the stream's position into a network that only classifies, with
// NeuralNetwork::Load's checks and failure sentences: the model held once, in the engine's
// layout, without the lists of vectors and the caches a NeuralNetwork keeps. A record of fewer
// than two layers leaves *network without layers.
void ReadForwardNetwork(std::istream& input, ForwardNetwork* network, std::string* errorMessage);

// Whether the named file is a regular file that begins with a complete network record of at
// least one layer: what a network file holds. An ensemble file does not read as one.
bool HoldsNetworkRecord(const std::string& fileName);
