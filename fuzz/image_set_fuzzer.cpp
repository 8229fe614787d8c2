// LoadImageSet on an image file and a label file cut from one input: the first two bytes
// (little-endian) give the image file's length, the bytes after the image file form the
// label file. A missing or short prefix means an empty image file.
//
// Checked besides the sanitizers: the same bytes through streams that cannot seek (pipes) load
// the same; a failure gives a known message and leaves the set as it was; a success appends
// the N samples of the header, R x C pixels in 0..1 and a one-hot target each.
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "mnist/image_set.h"

namespace {

uint32_t BigEndian32(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t prefix = size < 2 ? size : 2;
  const size_t declaredLength = size < 2 ? 0 : data[0] | size_t{data[1]} << 8;
  const uint8_t* image = data + prefix;
  const size_t imageLength = std::min(declaredLength, size - prefix);
  const uint8_t* labels = image + imageLength;
  const size_t labelLength = size - prefix - imageLength;

  const ScratchFolder& folder = ScratchFolder::Get();
  const std::string imagePath = folder.Path("images");
  const std::string labelPath = folder.Path("labels");
  WriteFile(imagePath, image, imageLength);
  WriteFile(labelPath, labels, labelLength);

  const ImageSample earlier{{0.25}, Vector(DigitCount, 0.5)};
  ImageSet set{earlier};
  std::string message;
  const bool loaded = LoadImageSet(imagePath, labelPath, &set, &message);
  UnseekableStream imagePipe(std::string(reinterpret_cast<const char*>(image), imageLength));
  UnseekableStream labelPipe(std::string(reinterpret_cast<const char*>(labels), labelLength));
  ImageSet pipeSet{earlier};
  std::string pipeMessage;
  const bool pipesLoaded = LoadImageSet(imagePipe, labelPipe, &pipeSet, &pipeMessage);
  Require(pipesLoaded == loaded && pipeMessage == message && pipeSet.size() == set.size(),
          "pipes load what files load");

  Require(
      !set.empty() && ToVector(set[0].pixels) == earlier.pixels && ToVector(set[0].target) == earlier.target,
      "samples already in the set stay first and unchanged");
  if (!loaded) {
    Require(IsOneOf(message, {"Failed to read MNIST image and/or label file headers.",
                              "Invalid MNIST data file(s) detected.", "Image and label count mismatch.",
                              "Failed to read image data from disk.", "Failed to read label data from disk.",
                              "MNIST label file holds a label outside 0 to 9.",
                              "MNIST image file declares images without pixels."}),
            "a failed load gives a known message");
    Require(set.size() == 1, "a failed load appends nothing");
    return 0;
  }

  Require(message.empty(), "a successful load leaves the message alone");
  Require(imageLength >= 16, "a successful load read a whole image header");
  const uint64_t imageCount = BigEndian32(image + 4);
  const uint64_t pixelsPerImage = uint64_t{BigEndian32(image + 8)} * BigEndian32(image + 12);
  Require(set.size() == 1 + imageCount, "a successful load appends one sample per image");
  for (size_t k = 1; k < set.size(); ++k) {
    Require(set[k].pixels.size() == pixelsPerImage, "every image has R x C pixels");
    for (double pixel : set[k].pixels) Require(pixel >= 0.0 && pixel <= 1.0, "pixels lie in 0..1");
    Require(set[k].target.size() == DigitCount, "every target has ten entries");
    int ones = 0;
    for (double value : set[k].target) {
      Require(value == 0.0 || value == 1.0, "targets hold only 0 and 1");
      ones += value == 1.0;
    }
    Require(ones == 1, "every target is one-hot");
  }
  return 0;
}
