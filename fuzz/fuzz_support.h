// Helpers shared by the fuzz targets: a private scratch folder for loaders that take file
// names, and Require, which stops the run when a property of the loaders does not hold (the
// fuzzer then keeps the input that broke it, like any crash).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>

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
