// read_idx, prepare_digit and prepare_picture: MNIST's files and pictures of digits as inputs.
#include <pybind11/numpy.h>
#include <pybind11/stl/filesystem.h>

#include <cmath>
#include <fstream>
#include <string>

#include "image/digit_preparation.h"
#include "image/image_file.h"
#include "io/byte_order.h"
#include "math/activation.h"
#include "mnist/image_set.h"
#include "python/array_input.h"
#include "python/bindings.h"

namespace {

// The rows and columns of an image file that LoadImageSet has accepted (its header words 2, 3).
std::pair<size_t, size_t> ImageShape(const std::string& imagesPath) {
  unsigned char header[16] = {};
  std::ifstream file(imagesPath, std::ios::binary);
  file.read(reinterpret_cast<char*>(header), sizeof header);
  return {DecodeBigEndian32(header + 8), DecodeBigEndian32(header + 12)};
}

py::tuple ReadIdx(const std::filesystem::path& imagesFile, const std::filesystem::path& labelsFile) {
  const std::string imagesPath = imagesFile.string();
  const std::string labelsPath = labelsFile.string();
  CheckReadable(imagesPath);
  CheckReadable(labelsPath);
  ImageSet set;
  std::string message;
  bool loaded = false;
  {
    py::gil_scoped_release release;
    loaded = LoadImageSet(imagesPath, labelsPath, &set, &message);
  }
  if (!loaded) throw py::value_error(imagesPath + ", " + labelsPath + ": " + message);
  auto [rows, columns] = ImageShape(imagesPath);
  const size_t pixelCount = set.empty() ? rows * columns : set.front().pixels.size();
  if (rows * columns != pixelCount)
    throw py::value_error(imagesPath + ": the file changed while it was read");

  py::array_t<uint8_t> images({set.size(), rows, columns});
  py::array_t<uint8_t> labels(set.size());
  uint8_t* pixelBytes = images.mutable_data();
  for (size_t i = 0; i < set.size(); ++i) {
    // The loader keeps byte / 255.0; multiplying back and rounding gives the byte exactly.
    for (const double pixel : set[i].pixels) *pixelBytes++ = static_cast<uint8_t>(std::lround(pixel * 255.0));
    labels.mutable_data()[i] = static_cast<uint8_t>(ArgMax(set[i].target));
  }
  return py::make_tuple(images, labels);
}

// A 2-D grey array as the decoder's picture: uint8 levels 0..255 or floating levels 0..1, 0 black.
GreyImage ToGreyImage(const py::handle& image) {
  const py::array array = py::array::ensure(image);
  if (!array || array.ndim() != 2 || array.shape(0) == 0 || array.shape(1) == 0) {
    throw py::value_error("image must be a 2-D array of grey levels (rows, columns), not empty");
  }
  if (array.shape(0) > 65536 || array.shape(1) > 65536) {
    throw py::value_error("image has more than 65,536 rows or columns");
  }
  GreyImage picture;
  picture.height = static_cast<uint32_t>(array.shape(0));
  picture.width = static_cast<uint32_t>(array.shape(1));
  const size_t count = size_t{picture.width} * picture.height;
  if (array.dtype().kind() == 'u' && array.itemsize() == 1) {
    const auto bytes = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(array);
    picture.levels.resize(count);
    for (size_t i = 0; i < count; ++i) picture.levels[i] = bytes.data()[i] / 255.0f;
    return picture;
  }
  if (array.dtype().kind() != 'f') {
    throw py::type_error("image must hold uint8 levels 0..255 or floating levels 0..1, not " +
                         py::str(array.dtype()).cast<std::string>());
  }
  const auto levels = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(array);
  picture.levels.assign(levels.data(), levels.data() + count);
  for (const float level : picture.levels) {
    if (!(level >= 0.0f && level <= 1.0f))
      throw py::value_error("image levels must lie in 0..1 (0 is black)");
  }
  return picture;
}

py::array_t<double> Prepared(const GreyImage& picture, const std::string& name) {
  Vector pixels;
  std::string message;
  if (!PrepareDigit(picture, &pixels, &message)) throw py::value_error(name + ": " + message);
  return VectorArray(pixels);
}

}  // namespace

void BindDigits(py::module_& module) {
  module.def("read_idx", &ReadIdx, py::arg("images_path"), py::arg("labels_path"),
             "(images uint8 (n, rows, columns), labels uint8 (n,)) from a pair of MNIST IDX files.");
  module.def(
      "prepare_digit", [](const py::handle& image) { return Prepared(ToGreyImage(image), "image"); },
      py::arg("image"),
      "The 784 inputs mnist-lab classify gives the network for a grey picture (0 black) of a digit.");
  module.def(
      "prepare_picture",
      [](const py::bytes& data, const std::string& name) {
        const std::string bytes = data;
        GreyImage picture;
        std::string message;
        if (!DecodeImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &picture,
                         &message)) {
          throw py::value_error(name + ": " + message);
        }
        return Prepared(picture, name);
      },
      py::arg("data"), py::arg("name"), "prepare_digit for the bytes of a PNG, JPEG, PGM or BMP file.");
}
