// classify on real MNIST digits drawn as a user would give them: scaled up 4 to 10 times,
// placed off centre on a margin of paper, half of them dark ink on light paper, saved as PNG
// and as JPEG. A network trained here must read them about as well as the originals.
#include <stb/stb_image_write.h>

#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

struct Picture {
  int width = 0, height = 0;
  Bytes levels;
};

// The 28 x 28 digit scaled by `zoom` with bilinear interpolation (as a pen's stroke is smooth,
// not blocky) on paper with the given margins in pixels.
Picture DrawAsUser(const Vector& digit, int zoom, int left, int top, int right, int bottom,
                   bool darkOnLight) {
  Picture picture{left + 28 * zoom + right, top + 28 * zoom + bottom, {}};
  const double paper = darkOnLight ? 235 : 20, ink = darkOnLight ? 25 : 240;
  picture.levels.assign(size_t(picture.width) * picture.height, static_cast<unsigned char>(paper));
  const auto at = [&](int x, int y) {
    return x < 0 || y < 0 || x > 27 || y > 27 ? 0.0 : digit[size_t(y) * 28 + x];
  };
  for (int y = 0; y < 28 * zoom; ++y) {
    for (int x = 0; x < 28 * zoom; ++x) {
      const double sx = (x + 0.5) / zoom - 0.5, sy = (y + 0.5) / zoom - 0.5;
      const int x0 = static_cast<int>(std::floor(sx)), y0 = static_cast<int>(std::floor(sy));
      const double fx = sx - x0, fy = sy - y0;
      const double value = (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                           (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
      picture.levels[size_t(top + y) * picture.width + left + x] =
          static_cast<unsigned char>(std::lround(paper + (ink - paper) * value));
    }
  }
  return picture;
}

}  // namespace

TEST(DrawnDigits, ReadAsWellAsTheOriginals) {
  const std::string data = MNIST_LAB_DIGITS;
  ImageSet training, test;
  std::string message;
  for (const auto& [prefix, set] : {std::pair{"/train", &training}, std::pair{"/t10k", &test}}) {
    ASSERT_TRUE(LoadImageSet(data + prefix + "-images.idx3-ubyte", data + prefix + "-labels.idx1-ubyte", set,
                             &message))
        << message;
  }
  ASSERT_EQ(test.size(), 1000u);

  TemporaryFolder folder;
  ResetRandomSeeds(1);
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 100, 10}, 0.5, 1.0);
  network.epochCount = 5;
  network.Train(folder.Path("digits.net"), training, &test);

  const ChildResult report = RunLab(folder, {"report", "digits.net", "--data", data});
  ASSERT_EQ(report.exitCode, 0) << report.errors;
  const size_t totalAt = report.output.find("Total correct: ");
  ASSERT_NE(totalAt, std::string::npos) << report.output;
  const double originals = std::stod(report.output.substr(totalAt + 15)) / 10.0;

  std::vector<std::string> arguments{"classify", "digits.net", "--json"};
  for (size_t i = 0; i < test.size(); ++i) {
    std::mt19937 engine(static_cast<unsigned>(i));
    const int zoom = 4 + static_cast<int>(i % 7);
    const auto margin = [&] { return static_cast<int>(engine() % (14 * zoom)); };
    const Picture picture =
        DrawAsUser(ToVector(test[i].pixels), zoom, margin(), margin(), margin(), margin(), i % 2 == 0);
    Bytes png, jpeg;
    stbi_write_png_to_func(AppendBytes, &png, picture.width, picture.height, 1, picture.levels.data(),
                           picture.width);
    stbi_write_jpg_to_func(AppendBytes, &jpeg, picture.width, picture.height, 1, picture.levels.data(), 90);
    WriteFile(folder.Path(std::to_string(i) + ".png"), png);
    WriteFile(folder.Path(std::to_string(i) + ".jpg"), jpeg);
    arguments.push_back(std::to_string(i) + ".png");
    arguments.push_back(std::to_string(i) + ".jpg");
  }
  const ChildResult classified = RunLab(folder, arguments);
  ASSERT_EQ(classified.exitCode, 0) << classified.errors;
  // The answers of classify --json, one line a picture in order: PNG, JPEG, PNG, ...
  double correct[2] = {0, 0};
  size_t answers = 0;
  for (size_t at = 0; (at = classified.output.find("\"answer\": ", at + 1)) != std::string::npos; ++answers) {
    correct[answers % 2] += classified.output[at + 10] - '0' == int(ArgMax(test[answers / 2].target));
  }
  ASSERT_EQ(answers, 2 * test.size());
  const double png = correct[0] / 10.0, jpeg = correct[1] / 10.0;  // percent of 1,000
  std::cout << "originals " << originals << "%, drawn as PNG " << png << "%, as JPEG " << jpeg << "%"
            << std::endl;
  EXPECT_NEAR(png, originals, 2.0);
  EXPECT_NEAR(jpeg, originals, 2.0);
}
