// mnist-lab against hostile and careless files: links where outputs go, outputs that are
// inputs, folders that cannot take them, pictures whose headers claim too much, models that
// cannot classify digits, and file names that are not text.
#include "image/image_file.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Case {
  std::vector<std::string> arguments;
  int exitCode;
  std::string error;  // a part of standard error
  std::function<void(const ChildResult&)> check = nullptr;
};

}  // namespace

TEST(LabHostileFiles, EachIsRefusedWithItsCauseOrHandledWithoutHarm) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 0, 30);
  SaveNetworks(folder, {{"digits.net", {784, 10}}, {"one.net", {784, 1}}});
  NeuralNetwork diverged = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  diverged.weights[0].data[3][5] = NAN;
  diverged.SaveFile(folder.Path("nan.net"), nullptr);
  const Bytes images = ReadFile(folder.Path("t10k-images.idx3-ubyte"));
  const Bytes victim{'k', 'e', 'e', 'p'};
  WriteFile(folder.Path("victim"), victim);
  // Dangling links and a link to a file where the report's outputs go.
  for (const char* name : {"elsewhere", "out"}) fs::create_directory(folder.Path(name));
  fs::create_symlink(folder.Path("elsewhere/svg"), folder.Path("out/confusion.svg"));
  fs::create_symlink("../elsewhere/png", folder.Path("out/mistakes.png"));
  fs::create_symlink(folder.Path("victim"), folder.Path("out/report.json"));
  // Pictures whose headers claim too much; endless zeros (/dev/zero) are one too.
  WriteFile(folder.Path("sparse.png"), PngHeader(100, 100, 8, 0));
  fs::resize_file(folder.Path("sparse.png"), uint64_t{3} << 30);
  WriteFile(folder.Path("huge.png"), PngHeader(100000, 100000, 8, 0));
  WriteFile(folder.Path("deep.png"), PngHeader(8192, 8192, 16, 6));
  WriteFile(folder.Path("two.png"), EncodePng(40, 60, 1, Bytes(2400, 255)));
  WriteFile(folder.Path("b.bmp"), Bytes{'B', 'M', 0, 0});
  Bytes digit(40 * 60, 250);
  for (size_t y = 10; y < 50; ++y) digit[y * 40 + 20] = 10;
  // A forged result line, a byte that is not UTF-8, then U+1F600 and U+10FFFF (4 bytes each).
  const std::string wide = "\xf0\x9f\x98\x80\xf4\x8f\xbf\xbf", oddName = "a\nb.png: 7\xff" + wide + ".png";
  WriteFile(folder.Path(oddName), EncodePng(40, 60, 1, digit));
  ASSERT_TRUE(FeedPipe(folder.Path("model.pipe"), folder.Path("digits.net")));
  std::vector<std::string> manyDigits{"show", "t10k-images.idx3-ubyte", "-o", "many.png"};
  for (int i = 0; i < 400; ++i) manyDigits.push_back(std::to_string(i % 30));

  const Case cases[] = {
      {{"report", "digits.net", "--out", "out"},
       0,
       "",
       [&](const ChildResult&) {
         EXPECT_EQ(folder.EntryCount(), 15u) << "a file was made outside out/";
         EXPECT_TRUE(fs::is_empty(folder.Path("elsewhere")));
         EXPECT_EQ(ReadFile(folder.Path("victim")), victim);
         for (const char* name : {"confusion.svg", "mistakes.png", "report.json"})
           EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder.Path("out/") + name))) << name;
       }},
      {{"show", "t10k-images.idx3-ubyte", "-o", "./elsewhere/../t10k-images.idx3-ubyte"},
       1,
       "mnist-lab: ./elsewhere/../t10k-images.idx3-ubyte: is t10k-images.idx3-ubyte, one of the inputs"},
      {{"report", "digits.net", "--out", "a/b"},
       1,
       "mnist-lab: a/b: the output folder cannot be made: No such file or directory (mnist-lab makes only "
       "the "
       "last folder of the path)\n"},
      {{"show", "t10k-images.idx3-ubyte", "-o", "a/d.png"},
       1,
       "mnist-lab: a: the output folder cannot be used: No such file or directory\n"},
      {{"show", "t10k-images.idx3-ubyte", "-o", "elsewhere"},
       1,
       "mnist-lab: elsewhere: could not be written"},
      {{"show", "t10k-images.idx3-ubyte", "7x"}, 2, "mnist-lab: show: \"7x\" is not an index; usage: show "},
      {{"report", "digits.net", "--bogus"}, 2, "mnist-lab: report: unexpected argument \"--bogus\""},
      {{"report", "digits.net", "--out", "victim"},
       1,
       "mnist-lab: victim: the output folder is not a folder\n"},
      {{"report", "digits.net", "--data", "elsewhere"},
       1,
       "mnist-lab: elsewhere/t10k-images.idx3-ubyte: cannot be opened: No such file or directory; the MNIST "
       "test "
       "files are looked up in elsewhere (--data DIR names another folder); to get them there, run "
       "scripts/get-mnist elsewhere\n"},
      {manyDigits, 0,
       "mnist-lab: show: drew the first 300 of the 400 indices given (at most 300 in one picture)\n",
       [](const ChildResult& result) {
         EXPECT_NE(result.output.find(": 300 digits, labelled"), std::string::npos);
       }},
      {{"classify", "digits.net", "/dev/zero"},
       1,
       "mnist-lab: /dev/zero: not a PNG, JPEG, PGM or BMP image\n"},
      {{"classify", "digits.net", "sparse.png"},
       1,
       "mnist-lab: sparse.png: 3221225472 bytes, larger than a picture of its size can be (1128576 bytes)\n"},
      {{"classify", "digits.net", "huge.png"},
       1,
       "mnist-lab: huge.png: 100000 x 100000 pixels, more than the 65536 accepted on a side\n"},
      {{"classify", "digits.net", "deep.png"},
       1,
       "mnist-lab: deep.png: 8192 x 8192 pixels of 4 channels at 16 bits need 512 MiB to decode, more than "
       "the "
       "256 MiB accepted\n"},
      {{"classify", "one.net", "x.png"},
       1,
       "mnist-lab: one.net: the model takes 784 inputs and gives 1 outputs, but a digit needs 784 (28 x 28) "
       "and "
       "10\n"},
      {{"classify", "nan.net", "x.png"},
       1,
       "mnist-lab: nan.net: the model holds weights that are not numbers (NaN or infinite)"},
      {{"classify", "two.png", "digits.net"},
       1,
       "mnist-lab: two.png: not a network or ensemble file (mnist-mlp writes those; they begin with the "
       "bytes 42 "
       "42); it looks like a picture: the model file comes first\n"},
      {{"classify", "b.bmp", "x.png"}, 1, "it looks like a picture: the model file comes first"},
      {{"classify", "t10k-images.idx3-ubyte", "x.png"},
       1,
       "it looks like an MNIST data file: the model file"},
      {{"classify", "model.pipe", oddName, "--json"},
       0,
       "",
       [&](const ChildResult& result) {
         EXPECT_TRUE(result.output.starts_with("{\"file\": \"a\\u000ab.png: 7\\ufffd" + wide +
                                               ".png\", \"answer\": "))
             << result.output;
       }},
      {{"classify", "digits.net", oddName},
       0,
       "",
       [&](const ChildResult& result) {
         EXPECT_TRUE(result.output.starts_with("a\\nb.png: 7\xff" + wide + ".png: ")) << result.output;
         EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 2) << result.output;
       }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.arguments[0] + " " + test.arguments[1] + " " + test.arguments[2]);
    const ChildResult result = RunLab(folder, test.arguments);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.errors;
    // An expected message that ends its line is the whole of standard error: nothing more went wrong.
    EXPECT_TRUE(test.error.empty() || test.error.ends_with('\n')
                    ? result.errors == test.error
                    : result.errors.find(test.error) != std::string::npos)
        << result.errors;
    if (test.check) test.check(result);
  }
  EXPECT_EQ(ReadFile(folder.Path("t10k-images.idx3-ubyte")), images);
}
