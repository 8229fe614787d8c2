// mnist-lab against hostile and careless files: links where outputs go, outputs that are
// inputs, folders that cannot take them, pictures whose headers claim too much, models that
// cannot classify digits, and file names that are not text.
#include "image/image_file.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct Case {
  std::string name;
  std::function<void(const TemporaryFolder&)> setUp;
  std::vector<std::string> arguments;
  int exitCode;
  std::string error;  // a part of standard error
  std::function<void(const TemporaryFolder&, const ChildResult&)> check = nullptr;
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
  fs::create_directory(folder.Path("elsewhere"));
  const Bytes good = EncodePng(40, 60, 1, Bytes(2400, 255));
  Bytes digit(40 * 60, 250);
  for (size_t y = 10; y < 50; ++y) digit[y * 40 + 20] = 10;
  const Case cases[] = {
      {"dangling links and a link to a file, named as the report's outputs",
       [](const TemporaryFolder& f) {
         fs::create_directory(f.Path("out"));
         fs::create_symlink(f.Path("elsewhere/svg"), f.Path("out/confusion.svg"));
         fs::create_symlink("../elsewhere/png", f.Path("out/mistakes.png"));
         fs::create_symlink(f.Path("victim"), f.Path("out/report.json"));
       },
       {"report", "digits.net", "--out", "out"},
       0,
       "",
       [&](const TemporaryFolder& f, const ChildResult&) {
         EXPECT_EQ(f.EntryCount(), 8u) << "a file was made outside out/";
         EXPECT_TRUE(fs::is_empty(f.Path("elsewhere")));
         EXPECT_EQ(ReadFile(f.Path("victim")), victim);
         for (const char* name : {"confusion.svg", "mistakes.png", "report.json"})
           EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(f.Path("out/") + name))) << name;
       }},
      {"an output that is the input it draws, by another spelling",
       nullptr,
       {"show", "t10k-images.idx3-ubyte", "-o", "./elsewhere/../t10k-images.idx3-ubyte"},
       1,
       "mnist-lab: ./elsewhere/../t10k-images.idx3-ubyte: is t10k-images.idx3-ubyte, one of the inputs"},
      {"a report folder two levels down",
       nullptr,
       {"report", "digits.net", "--out", "a/b"},
       1,
       "mnist-lab: a/b: the output folder cannot be made: No such file or directory (mnist-lab makes only "
       "the "
       "last folder of the path)\n"},
      {"a picture into a missing folder",
       nullptr,
       {"show", "t10k-images.idx3-ubyte", "-o", "a/d.png"},
       1,
       "mnist-lab: a: the output folder cannot be used: No such file or directory\n"},
      {"a report folder that is a file",
       nullptr,
       {"report", "digits.net", "--out", "victim"},
       1,
       "mnist-lab: victim: the output folder is not a folder\n"},
      {"no test files where the report looks",
       nullptr,
       {"report", "digits.net", "--data", "elsewhere"},
       1,
       "mnist-lab: elsewhere/t10k-images.idx3-ubyte: cannot be opened: No such file or directory; the MNIST "
       "test "
       "files are looked up in elsewhere (--data DIR names another folder); to get them there, run "
       "scripts/get-mnist elsewhere\n"},
      {"more digits than one picture holds", nullptr,
       [] {
         std::vector<std::string> arguments{"show", "t10k-images.idx3-ubyte", "-o", "many.png"};
         for (int i = 0; i < 400; ++i) arguments.push_back(std::to_string(i % 30));
         return arguments;
       }(),
       0, "mnist-lab: show: drew the first 300 of the 400 indices given (at most 300 in one picture)\n",
       [](const TemporaryFolder&, const ChildResult& result) {
         EXPECT_NE(result.output.find(": 300 digits, labelled"), std::string::npos);
       }},
      {"endless zeros for a picture",
       nullptr,
       {"classify", "digits.net", "/dev/zero"},
       1,
       "mnist-lab: /dev/zero: not a PNG, JPEG, PGM or BMP image\n"},
      {"a 3 GiB sparse file that begins as a small PNG",
       [](const TemporaryFolder& f) {
         WriteFile(f.Path("sparse.png"), PngHeader(100, 100, 8, 0));
         fs::resize_file(f.Path("sparse.png"), uint64_t{3} << 30);
       },
       {"classify", "digits.net", "sparse.png"},
       1,
       "mnist-lab: sparse.png: 3221225472 bytes, larger than a picture of its size can be (1128576 bytes)\n"},
      {"sides too long",
       [](const TemporaryFolder& f) { WriteFile(f.Path("huge.png"), PngHeader(100000, 100000, 8, 0)); },
       {"classify", "digits.net", "huge.png"},
       1,
       "mnist-lab: huge.png: 100000 x 100000 pixels, more than the 65536 accepted on a side\n"},
      {"16-bit RGBA too large to decode",
       [](const TemporaryFolder& f) { WriteFile(f.Path("deep.png"), PngHeader(8192, 8192, 16, 6)); },
       {"classify", "digits.net", "deep.png"},
       1,
       "mnist-lab: deep.png: 8192 x 8192 pixels of 4 channels at 16 bits need 512 MiB to decode, more than "
       "the "
       "256 MiB accepted\n"},
      {"models that do not classify digits",
       nullptr,
       {"classify", "one.net", "x.png"},
       1,
       "mnist-lab: one.net: the model takes 784 inputs and gives 1 outputs, but a digit needs 784 (28 x 28) "
       "and 10\n"},
      {"a model whose training diverged",
       nullptr,
       {"classify", "nan.net", "x.png"},
       1,
       "mnist-lab: nan.net: the model holds weights that are not numbers (NaN or infinite)"},
      {"the picture given first, the model second",
       [&](const TemporaryFolder& f) { WriteFile(f.Path("two.png"), good); },
       {"classify", "two.png", "digits.net"},
       1,
       "mnist-lab: two.png: not a network or ensemble file (mnist-mlp writes those; they begin with the "
       "bytes 42 "
       "42); it looks like a picture: the model file comes first\n"},
      {"a model from a pipe and names that are not one line of text",
       [&](const TemporaryFolder& f) {
         ASSERT_TRUE(FeedPipe(f.Path("model.pipe"), f.Path("digits.net")));
         WriteFile(f.Path("a\nb.png: 7\xff.png"), EncodePng(40, 60, 1, digit));
       },
       {"classify", "model.pipe", "a\nb.png: 7\xff.png", "--json"},
       0,
       "",
       [](const TemporaryFolder&, const ChildResult& result) {
         EXPECT_TRUE(result.output.starts_with("{\"file\": \"a\\u000ab.png: 7\\ufffd.png\", \"answer\": "))
             << result.output;
       }},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    if (test.setUp) test.setUp(folder);
    const ChildResult result = RunLab(folder, test.arguments);
    EXPECT_EQ(result.exitCode, test.exitCode) << result.errors;
    if (test.error.empty()) {
      EXPECT_EQ(result.errors, "");
    } else {
      EXPECT_NE(result.errors.find(test.error), std::string::npos) << result.errors;
    }
    if (test.check) test.check(folder, result);
  }
  EXPECT_EQ(ReadFile(folder.Path("t10k-images.idx3-ubyte")), images);
  const ChildResult text = RunLab(folder, {"classify", "digits.net", "a\nb.png: 7\xff.png"});
  EXPECT_TRUE(text.output.starts_with("a\\nb.png: 7\xff.png: ")) << text.output;
  EXPECT_EQ(std::count(text.output.begin(), text.output.end(), '\n'), 2) << text.output;
}
