// Helpers shared by the fuzz targets: a private scratch folder for loaders that take file
// names, a stream that cannot seek (as a pipe), a few samples to classify, and Require, which
// stops the run when a property of the loaders does not hold (the fuzzer then keeps the input
// that broke it, like any crash).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <istream>
#include <streambuf>
#include <string>

#include "mnist/image_set.h"

inline void Require(bool holds, const char* property) {
  if (holds) return;
  std::fprintf(stderr, "fuzz property violated: %s\n", property);
  std::abort();
}

inline bool IsOneOf(const std::string& message, std::initializer_list<const char*> messages) {
  for (const char* known : messages) {
    if (message == known) return true;
  }
  return false;
}

// A folder made once per process, in memory where the system offers /dev/shm, so that the
// file written for every input costs little. It is removed when the process exits normally.
class ScratchFolder {
 public:
  static const ScratchFolder& Get() {
    static const ScratchFolder folder;
    return folder;
  }

  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  ScratchFolder() {
    const std::filesystem::path parent = std::filesystem::is_directory("/dev/shm")
                                             ? std::filesystem::path("/dev/shm")
                                             : std::filesystem::temp_directory_path();
    std::string pattern = (parent / "mnist-mlp-fuzz-XXXXXX").string();
    Require(mkdtemp(pattern.data()) != nullptr, "scratch folder can be created");
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  Require(file != nullptr, "scratch file can be created");
  Require(size == 0 || std::fwrite(data, 1, size, file) == size, "scratch file can be written");
  Require(std::fclose(file) == 0, "scratch file can be closed");
}

// An input stream over bytes that, like a pipe, can neither seek nor tell its length: the
// loaders take their other path for it.
class UnseekableStream : private std::streambuf, public std::istream {
 public:
  explicit UnseekableStream(std::string bytes) : std::istream(this), bytes_(std::move(bytes)) {
    setg(bytes_.data(), bytes_.data(), bytes_.data() + bytes_.size());
  }

 private:
  std::string bytes_;
};

// Three samples of pixelCount pixels for a classifier of outputCount outputs, targets 0, 1, 2
// (as far as there are outputs).
inline ImageSet SamplesFor(uint32_t pixelCount, uint32_t outputCount) {
  ImageSet samples;
  for (uint32_t k = 0; k < 3; ++k) {
    ImageSample sample{Vector(pixelCount, 0.25 * k), Vector(outputCount, 0.0)};
    if (k < outputCount) sample.target[k] = 1.0;
    samples.push_back(sample);
  }
  return samples;
}
