// Measures mnist-lab classify's path per picture: decoding a PNG or JPEG, preparing the digit
// and classifying it with a 3-member ensemble of the default size (784-500-300-200-100-10,
// random weights), on one thread as a single picture is classified.
//
// It first checks that the model's engine agrees with the plain NetworkEnsemble::Evaluate on
// the prepared digits, then times each stage over many pictures and prints milliseconds per
// picture. Exits with status 1 when the check fails.
#include <stb/stb_image_write.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ensemble/model_file.h"
#include "ensemble/network_ensemble.h"
#include "image/digit_preparation.h"
#include "image/image_file.h"
#include "network/random.h"

namespace {

constexpr int kPictureSide = 280;  // a digit drawn 10 times MNIST's size
constexpr int kRepeats = 200;
constexpr size_t kBatch = 100;

double MillisecondsPerRun(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kRepeats; ++i) work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() /
         kRepeats;
}

// A slanted "1" with a flag, dark ink on light paper.
std::vector<unsigned char> DrawnDigit() {
  std::vector<unsigned char> levels(kPictureSide * kPictureSide, 235);
  for (int y = 40; y < 240; ++y) {
    for (int x = 0; x < kPictureSide; ++x) {
      const int stroke = 150 - (y - 40) / 8;
      if (std::abs(x - stroke) < 12 ||
          (y < 80 && x > stroke - 60 && x < stroke && std::abs(y - 40 - (stroke - x)) < 10))
        levels[y * kPictureSide + x] = 25;
    }
  }
  return levels;
}

}  // namespace

int main() {
  ResetRandomSeeds(7);
  std::ostringstream file;
  file << std::string{'\x42', '\x42', 3, 0, 0, 0};
  for (int member = 0; member < 3; ++member) {
    NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0).Save(file, nullptr);
  }
  std::istringstream input(file.str());
  std::string message;
  const std::unique_ptr<Model> model = Model::Read(input, 1, &message);
  if (model == nullptr) {
    std::printf("cannot build the ensemble: %s\n", message.c_str());
    return 1;
  }

  const std::vector<unsigned char> levels = DrawnDigit();
  std::vector<unsigned char> jpeg;
  const std::vector<unsigned char> png = EncodePng(kPictureSide, kPictureSide, 1, levels);
  stbi_write_jpg_to_func(
      [](void* to, void* data, int size) {
        auto* bytes = static_cast<std::vector<unsigned char>*>(to);
        bytes->insert(bytes->end(), static_cast<unsigned char*>(data),
                      static_cast<unsigned char*>(data) + size);
      },
      &jpeg, kPictureSide, kPictureSide, 1, levels.data(), 90);

  GreyImage picture;
  Vector pixels;
  if (!DecodeImage(png.data(), png.size(), &picture, &message) || !PrepareDigit(picture, &pixels, &message)) {
    std::printf("cannot prepare the picture: %s\n", message.c_str());
    return 1;
  }
  const std::span<const double> one[] = {pixels};
  const Vector fast = model->Outputs(one).mean[0];
  NetworkEnsemble ensemble;
  std::istringstream again(file.str());
  ensemble.Load(again, &message);
  const Vector plain = ensemble.Evaluate({pixels, {}});
  for (size_t i = 0; i < plain.size(); ++i) {
    if (std::fabs(fast[i] - plain[i]) > 1e-9) {
      std::printf("the engine's mean output %zu is %.17g, the plain one %.17g\n", i, fast[i], plain[i]);
      return 1;
    }
  }
  std::printf("check: the engine's mean output agrees with NetworkEnsemble::Evaluate within 1e-9\n");

  const double decodePng =
      MillisecondsPerRun([&] { DecodeImage(png.data(), png.size(), &picture, &message); });
  const double decodeJpeg =
      MillisecondsPerRun([&] { DecodeImage(jpeg.data(), jpeg.size(), &picture, &message); });
  const double prepare = MillisecondsPerRun([&] { PrepareDigit(picture, &pixels, &message); });
  const double classify = MillisecondsPerRun([&] { model->Outputs(one); });
  // classify prepares every picture first and classifies them together: the weights are read
  // once per block of pictures instead of once per picture.
  const std::vector<std::span<const double>> batch(kBatch, pixels);
  const double batched = MillisecondsPerRun([&] { model->Outputs(batch); }) / kBatch;
  std::printf("per %d x %d picture, 3-member 784-500-300-200-100-10 ensemble, 1 thread:\n", kPictureSide,
              kPictureSide);
  std::printf("  decode PNG %.3f ms, decode JPEG %.3f ms, prepare %.3f ms, classify %.3f ms\n", decodePng,
              decodeJpeg, prepare, classify);
  std::printf("  total %.3f ms (PNG), %.3f ms (JPEG) for a picture alone\n", decodePng + prepare + classify,
              decodeJpeg + prepare + classify);
  std::printf("  classify in a batch of %zu: %.3f ms per picture; total %.3f ms (PNG), %.3f ms (JPEG)\n",
              kBatch, batched, decodePng + prepare + batched, decodeJpeg + prepare + batched);
  return 0;
}
