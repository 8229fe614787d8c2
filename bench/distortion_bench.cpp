// Measures what distorting the training images costs against the training epoch they feed.
//
// On 60,000 random 28 x 28 images it times, best of three, the distortions of one epoch (the
// bank of fields, then every image) dealt among 1 and 2 threads as training deals them, for
// the affine and the elastic defaults, and one training epoch of the default network
// (784-500-300-200-100-10, mini-batches of 10) on 2 threads; it prints each distortion's time
// as a share of that epoch. The images are random, not digits: the cost of a warp does not
// depend on what the pixels show.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

#include "distortion/epoch_distortion.h"
#include "engine/thread_pool.h"
#include "network/neural_network.h"
#include "network/random.h"

namespace {

constexpr size_t kImageCount = 60000;
constexpr uint32_t kSide = 28;

double BestSeconds(int repeats, const std::function<void()>& work) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

ImageSet RandomDigits(size_t count) {
  std::mt19937 engine(1);
  std::uniform_real_distribution<double> pixel(0.0, 1.0);
  ImageSet images;
  ImageSample sample{Vector(kSide * kSide), Vector(10, 0.0)};
  for (size_t i = 0; i < count; ++i) {
    for (double& value : sample.pixels) value = pixel(engine);
    std::fill(sample.target.begin(), sample.target.end(), 0.0);
    sample.target[i % 10] = 1.0;
    images.push_back(sample);
  }
  return images;
}

}  // namespace

int main() {
  const ImageSet images = RandomDigits(kImageCount);
  ImageSet distorted(images.begin(), images.end());

  ResetRandomSeeds(1);
  const NeuralNetwork network = NeuralNetwork::WithLayers({784, 500, 300, 200, 100, 10}, 0.5, 1.0);
  ThreadPool trainingPool(2);
  TrainingEngine engine = network.Engine(trainingPool);
  const double epoch = BestSeconds(3, [&] { engine.TrainEpoch(images, 10); });
  std::printf("training epoch, 784-500-300-200-100-10, 2 threads: %.3f s\n", epoch);

  for (const char* text : {"affine", "elastic"}) {
    const DistortionParameters parameters = *ParseDistortion(text);
    for (const uint32_t threads : {1u, 2u}) {
      ThreadPool pool(threads);
      uint64_t seed = 0;
      const double seconds = BestSeconds(3, [&] {
        EpochDistortion distortion(parameters, kSide, ++seed);
        pool.Run([&](uint32_t thread) {
          const Share fields = ShareOf(distortion.FieldCount(), 1, thread, threads);
          for (size_t f = fields.begin; f < fields.end; ++f) distortion.DrawField(f);
        });
        pool.Run([&](uint32_t thread) {
          const Share share = ShareOf(images.size(), 1, thread, threads);
          DistortSamples(images, distortion, distorted, share.begin, share.end);
        });
      });
      std::printf("%-8s distortions of an epoch, %u thread%s: %.3f s, %.1f%% of the epoch\n", text, threads,
                  threads == 1 ? " " : "s", seconds, 100.0 * seconds / epoch);
    }
  }
  return 0;
}
