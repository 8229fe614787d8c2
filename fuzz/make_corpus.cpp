// Writes the seed corpus of the fuzz targets: for every format a few valid files and cuts of
// them at the boundaries between their parts, one folder per target:
//   OUT/image_set/      inputs of image_set_fuzzer (2-byte image length, image file, label file)
//   OUT/network_file/   network records
//   OUT/ensemble_file/  ensemble files
//   OUT/image_reader/   picture files of every accepted format
// Usage: make_fuzz_corpus OUT. The content is the same on every run (fixed seeds).
#include <stb/stb_image_write.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image/image_file.h"
#include "network/neural_network.h"
#include "network/random.h"

namespace {

using Bytes = std::string;

void Write(const std::filesystem::path& folder, const std::string& name, const Bytes& bytes) {
  std::filesystem::create_directories(folder);
  std::ofstream file(folder / name, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void AppendBigEndian32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(value >> shift));
}

void AppendLittleEndian(Bytes& bytes, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
}

Bytes ImageFile(uint32_t count, uint32_t rows, uint32_t columns) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2051);
  AppendBigEndian32(bytes, count);
  AppendBigEndian32(bytes, rows);
  AppendBigEndian32(bytes, columns);
  for (uint32_t i = 0; i < count * rows * columns; ++i) bytes.push_back(static_cast<char>(i * 37));
  return bytes;
}

Bytes LabelFile(uint32_t count) {
  Bytes bytes;
  AppendBigEndian32(bytes, 2049);
  AppendBigEndian32(bytes, count);
  for (uint32_t i = 0; i < count; ++i) bytes.push_back(static_cast<char>(i % 10));
  return bytes;
}

Bytes ImageSetInput(const Bytes& images, const Bytes& labels) {
  Bytes input;
  AppendLittleEndian(input, images.size(), 2);
  return input + images + labels;
}

Bytes Record(const std::vector<uint32_t>& layerSizes) {
  NeuralNetwork network = NeuralNetwork::WithLayers(layerSizes, 0.5, 1.0);
  std::ostringstream stream;
  network.Save(stream, nullptr);
  return stream.str();
}

Bytes EnsembleFile(const std::vector<Bytes>& records) {
  Bytes bytes;
  AppendLittleEndian(bytes, NetworkFileMagic, 2);
  AppendLittleEndian(bytes, records.size(), 4);
  for (const Bytes& record : records) bytes += record;
  return bytes;
}

// The record's parts end at these offsets: header, size table, weights, biases.
std::vector<size_t> RecordCuts(const std::vector<uint32_t>& layerSizes) {
  size_t weights = 0, biases = 0;
  for (size_t k = 1; k < layerSizes.size(); ++k) {
    weights += size_t{layerSizes[k - 1]} * layerSizes[k];
    biases += layerSizes[k];
  }
  const size_t header = 34, sizes = header + 4 * layerSizes.size();
  return {0,
          1,
          2,
          20,
          header - 1,
          header,
          sizes - 1,
          sizes,
          sizes + 8 * weights - 1,
          sizes + 8 * weights,
          sizes + 8 * (weights + biases) - 1};
}

void WriteImageSetCorpus(const std::filesystem::path& folder) {
  const Bytes images = ImageFile(3, 4, 4), labels = LabelFile(3);
  Write(folder, "valid", ImageSetInput(images, labels));
  Write(folder, "one-pixel-images", ImageSetInput(ImageFile(5, 1, 1), LabelFile(5)));
  Write(folder, "no-images", ImageSetInput(ImageFile(0, 28, 28), LabelFile(0)));
  for (size_t length : {0, 4, 15, 16, 30, 63}) {
    Write(folder, "image-cut-" + std::to_string(length), ImageSetInput(images.substr(0, length), labels));
  }
  for (size_t length : {0, 7, 8, 10}) {
    Write(folder, "labels-cut-" + std::to_string(length), ImageSetInput(images, labels.substr(0, length)));
  }
}

void WriteNetworkCorpus(const std::filesystem::path& folder) {
  const std::vector<std::vector<uint32_t>> layouts{{2, 1}, {3, 2, 2}, {5, 4, 3, 2}};
  for (const auto& layout : layouts) {
    std::string name = "layers";
    for (uint32_t size : layout) name.append("-").append(std::to_string(size));
    const Bytes record = Record(layout);
    Write(folder, name, record);
    for (size_t cut : RecordCuts(layout)) {
      Write(folder, name + "-cut-" + std::to_string(cut), record.substr(0, cut));
    }
  }
  Write(folder, "one-layer", Record({2, 1}).substr(0, 34) + Bytes("\x02\0\0\0", 4));
}

void WriteEnsembleCorpus(const std::filesystem::path& folder) {
  const Bytes first = Record({2, 1}), second = Record({3, 2, 2});
  const Bytes single = EnsembleFile({first}), pair = EnsembleFile({first, second});
  Write(folder, "one-member", single);
  Write(folder, "two-members", pair);
  Write(folder, "no-members", EnsembleFile({}));
  for (size_t cut : {size_t{0}, size_t{3}, size_t{5}, size_t{6}, size_t{7}, size_t{40}, single.size() - 1,
                     pair.size() - 50, pair.size() - 1}) {
    Write(folder, "two-members-cut-" + std::to_string(cut), pair.substr(0, cut));
  }
}

// A 12 x 16 stroke in each accepted format (grey and colour), with cuts of the PNG and JPEG.
void WriteImageReaderCorpus(const std::filesystem::path& folder) {
  const int width = 12, height = 16;
  std::vector<unsigned char> grey(width * height, 230), colour;
  for (int y = 3; y < 13; ++y) grey[static_cast<size_t>(y * width + 5 + y / 4)] = 20;
  for (unsigned char level : grey)
    colour.insert(colour.end(), {level, static_cast<unsigned char>(level / 2), 90});
  const auto encoded = [&](auto encode, int channels) {
    Bytes bytes;
    const auto append = [](void* to, void* data, int size) {
      static_cast<Bytes*>(to)->append(static_cast<char*>(data), size);
    };
    encode(append, &bytes, channels, channels == 1 ? grey.data() : colour.data());
    return bytes;
  };
  for (int channels : {1, 3}) {
    const std::string suffix = channels == 1 ? "-grey" : "-colour";
    const std::vector<unsigned char> png = EncodePng(width, height, channels, channels == 1 ? grey : colour);
    const Bytes pngBytes(png.begin(), png.end());
    const Bytes jpeg =
        encoded([&](auto f, Bytes* to, int c,
                    const unsigned char* p) { stbi_write_jpg_to_func(f, to, width, height, c, p, 80); },
                channels);
    Write(folder, "png" + suffix, pngBytes);
    Write(folder, "jpeg" + suffix, jpeg);
    Write(folder, "bmp" + suffix,
          encoded([&](auto f, Bytes* to, int c,
                      const unsigned char* p) { stbi_write_bmp_to_func(f, to, width, height, c, p); },
                  channels));
    for (size_t cut : {size_t{20}, pngBytes.size() / 2, pngBytes.size() - 13})
      Write(folder, "png" + suffix + "-cut-" + std::to_string(cut), pngBytes.substr(0, cut));
    for (size_t cut : {size_t{20}, jpeg.size() / 2})
      Write(folder, "jpeg" + suffix + "-cut-" + std::to_string(cut), jpeg.substr(0, cut));
  }
  Write(folder, "pgm", "P5 12 16 255\n" + Bytes(grey.begin(), grey.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_corpus OUT\n");
    return 2;
  }
  ResetRandomSeeds(1);
  const std::filesystem::path out = argv[1];
  WriteImageSetCorpus(out / "image_set");
  WriteNetworkCorpus(out / "network_file");
  WriteEnsembleCorpus(out / "ensemble_file");
  WriteImageReaderCorpus(out / "image_reader");
  return 0;
}
