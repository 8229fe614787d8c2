// Small helpers shared by the tests: a temporary folder and IDX files made in it.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh folder under the system's temporary directory, removed with everything in it.
class TemporaryFolder {
 public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "mnist-mlp-test-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  std::string Path(const std::string& name) const { return (path_ / name).string(); }
  const std::filesystem::path& Root() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

inline void AppendBigEndian32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

// An IDX image file header followed by the given pixel bytes.
inline Bytes ImageFileBytes(uint32_t count, uint32_t rows, uint32_t columns, const Bytes& pixels) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2051);
  AppendBigEndian32(bytes, count);
  AppendBigEndian32(bytes, rows);
  AppendBigEndian32(bytes, columns);
  bytes.insert(bytes.end(), pixels.begin(), pixels.end());
  return bytes;
}

inline Bytes LabelFileBytes(const Bytes& labels) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2049);
  AppendBigEndian32(bytes, static_cast<uint32_t>(labels.size()));
  bytes.insert(bytes.end(), labels.begin(), labels.end());
  return bytes;
}
