// classify on real MNIST digits drawn as a user would give them: scaled up 4 to 10 times,
// placed off centre on a margin of paper, half of them dark ink on light paper, saved as PNG
// and as JPEG; and photographed: turned a little, lit unevenly with a shadowed corner, blurred,
// noisy, a third of them written with a thin pen. A network trained here must read them about as
// well as the originals.
#include <stb/stb_image_write.h>

#include "math/activation.h"
#include "network/random.h"
#include "test_support.h"

namespace {

constexpr size_t kPhotographs = 500;  // the first test digits, photographed

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

// One pass of Zhang and Suen's thinning over a 0/1 mask; whether it removed a pixel.
bool ThinOnce(std::vector<unsigned char>& mask, int width, int height, int pass) {
  std::vector<size_t> removed;
  for (int y = 1; y + 1 < height; ++y) {
    for (int x = 1; x + 1 < width; ++x) {
      const auto at = [&](int dx, int dy) { return int(mask[size_t(y + dy) * width + x + dx]); };
      if (!at(0, 0)) continue;
      const int p[8] = {at(0, -1), at(1, -1), at(1, 0), at(1, 1), at(0, 1), at(-1, 1), at(-1, 0), at(-1, -1)};
      int neighbours = 0, rises = 0;
      for (int k = 0; k < 8; ++k) {
        neighbours += p[k];
        rises += !p[k] && p[(k + 1) % 8];
      }
      const bool side = pass == 0 ? !(p[0] && p[2] && p[4]) && !(p[2] && p[4] && p[6])
                                  : !(p[0] && p[2] && p[6]) && !(p[0] && p[4] && p[6]);
      if (neighbours >= 2 && neighbours <= 6 && rises == 1 && side) removed.push_back(size_t(y) * width + x);
    }
  }
  for (size_t i : removed) mask[i] = 0;
  return !removed.empty();
}

// A photo of the digit written on paper: scaled 6 to 9 times and turned by up to 8 degrees;
// for a third of them a thin pen (the stroke's middle line, 3 pixels wide); then lit from one
// side with a corner in shadow (down to about 40% of the light), blurred and noisy.
Picture Photograph(const Vector& digit, unsigned seed) {
  std::mt19937 engine(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const int zoom = 6 + int(seed % 4), side = 36 * zoom;
  const double angle = (unit(engine) - 0.5) * 16.0 * 3.14159265358979 / 180.0, centre = side / 2.0;
  const auto at = [&](int x, int y) {
    return x < 0 || y < 0 || x > 27 || y > 27 ? 0.0 : digit[size_t(y) * 28 + x];
  };
  std::vector<double> ink(size_t(side) * side);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double dx = x + 0.5 - centre, dy = y + 0.5 - centre;
      const double sx = (std::cos(angle) * dx + std::sin(angle) * dy) / zoom + 13.5;
      const double sy = (-std::sin(angle) * dx + std::cos(angle) * dy) / zoom + 13.5;
      const int x0 = int(std::floor(sx)), y0 = int(std::floor(sy));
      const double fx = sx - x0, fy = sy - y0;
      ink[size_t(y) * side + x] = (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                                  (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
    }
  }
  if (seed % 3 == 0) {  // the thin pen: the middle line of the stroke, widened to 3 pixels
    std::vector<unsigned char> mask(ink.size());
    for (size_t i = 0; i < ink.size(); ++i) mask[i] = ink[i] >= 0.5;
    for (int pass = 0; ThinOnce(mask, side, side, pass % 2) || pass % 2 == 0; ++pass) {
    }
    for (int y = 0; y < side; ++y) {
      for (int x = 0; x < side; ++x) {
        double value = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            if (x + dx >= 0 && y + dy >= 0 && x + dx < side && y + dy < side)
              value = std::max(value, double(mask[size_t(y + dy) * side + x + dx]));
        ink[size_t(y) * side + x] = value;
      }
    }
  }
  // The camera's blur: a 3 x 3 mean, twice.
  for (int round = 0; round < 2; ++round) {
    std::vector<double> blurred(ink.size());
    for (int y = 1; y + 1 < side; ++y)
      for (int x = 1; x + 1 < side; ++x)
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            blurred[size_t(y) * side + x] += ink[size_t(y + dy) * side + x + dx] / 9;
    ink.swap(blurred);
  }
  const double light = unit(engine) * 6.28318530717959, shadowX = (engine() % 2) * side,
               shadowY = (engine() % 2) * side;
  std::normal_distribution<double> noise(0.0, 6.0);
  Picture photo{side, side, Bytes(ink.size())};
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      const double across = ((x - centre) * std::cos(light) + (y - centre) * std::sin(light)) / side;
      const double corner = std::hypot(x - shadowX, y - shadowY) / side;
      const double lit = (0.9 + 0.25 * across) * (1.0 - 0.55 * std::clamp(1.4 - 2.0 * corner, 0.0, 1.0));
      const double value = ink[size_t(y) * side + x];
      const double level = lit * (235.0 * (1.0 - value) + 35.0 * value) + noise(engine);
      photo.levels[size_t(y) * side + x] =
          static_cast<unsigned char>(std::clamp(std::lround(level), 0L, 255L));
    }
  }
  return photo;
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
  for (size_t i = 0; i < kPhotographs; ++i) {
    const Picture photo = Photograph(ToVector(test[i].pixels), static_cast<unsigned>(i));
    Bytes jpeg;
    stbi_write_jpg_to_func(AppendBytes, &jpeg, photo.width, photo.height, 1, photo.levels.data(), 85);
    WriteFile(folder.Path(std::to_string(i) + "-photo.jpg"), jpeg);
    arguments.push_back(std::to_string(i) + "-photo.jpg");
  }
  const ChildResult classified = RunLab(folder, arguments);
  ASSERT_EQ(classified.exitCode, 0) << classified.errors;
  // The answers of classify --json, one line a picture in order: PNG, JPEG, PNG, ..., then the
  // photographs; and the originals of the photographed digits, read as MNIST images.
  double correct[3] = {0, 0, 0};
  size_t answers = 0;
  for (size_t at = 0; (at = classified.output.find("\"answer\": ", at + 1)) != std::string::npos; ++answers) {
    const size_t digit = answers < 2 * test.size() ? answers / 2 : answers - 2 * test.size();
    correct[answers < 2 * test.size() ? answers % 2 : 2] +=
        classified.output[at + 10] - '0' == int(ArgMax(test[digit].target));
  }
  ASSERT_EQ(answers, 2 * test.size() + kPhotographs);
  const double png = correct[0] / 10.0, jpeg = correct[1] / 10.0;  // percent of 1,000
  // The photographed digits themselves, as MNIST images, read by the saved network.
  NeuralNetwork saved(folder.Path("digits.net"));
  double photographedOriginals = 0;
  for (size_t i = 0; i < kPhotographs; ++i)
    photographedOriginals += ArgMax(saved.FeedForward(ToVector(test[i].pixels))) == ArgMax(test[i].target);
  const double photos = correct[2] * 100.0 / kPhotographs;
  photographedOriginals *= 100.0 / kPhotographs;
  std::cout << "originals " << originals << "%, drawn as PNG " << png << "%, as JPEG " << jpeg
            << "%; the first " << kPhotographs << " photographed " << photos << "%, as MNIST images "
            << photographedOriginals << "%" << std::endl;
  EXPECT_NEAR(png, originals, 2.0);
  EXPECT_NEAR(jpeg, originals, 2.0);
  EXPECT_NEAR(photos, photographedOriginals, 2.0);
}
