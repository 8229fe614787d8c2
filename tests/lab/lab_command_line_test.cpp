// mnist-lab end to end on small files made here.
#include <stb/stb_image.h>

#include "ensemble/network_ensemble.h"
#include "image/image_file.h"
#include "network/random.h"
#include "test_support.h"

namespace {

// A digit network (784 inputs, 10 outputs) whose answer is route[lit pixel] for a lit pixel of
// the first ten: sigmoid(20 x - 10) is about 1 where the routed pixel is lit and about 0
// elsewhere.
NeuralNetwork Router(const std::vector<uint32_t>& route) {
  NeuralNetwork network = NeuralNetwork::WithLayers({784, 10}, 0.5, 1.0);
  for (uint32_t output = 0; output < 10; ++output) {
    for (uint32_t pixel = 0; pixel < 10; ++pixel)
      network.weights[0].data[output][pixel] = route[pixel] == output ? 20 : 0;
    network.biases[0][output] = -10;
  }
  return network;
}

GreyImage Decoded(const Bytes& file) {
  GreyImage image;
  std::string message;
  EXPECT_TRUE(DecodeImage(file.data(), file.size(), &image, &message)) << message;
  return image;
}

}  // namespace

TEST(LabReport, CountsWithTheMeanPerDigitAndInItsMatrix) {
  TemporaryFolder folder;
  // Five images per digit d light pixel d, except that two 4s light pixel 9 and one 7 pixel 1.
  Bytes pixels(50 * 784, 0), labels;
  for (uint32_t i = 0; i < 50; ++i) {
    const uint32_t digit = i % 10;
    labels.push_back(static_cast<unsigned char>(digit));
    pixels[i * 784 + ((digit == 4 && i < 20) ? 9 : (digit == 7 && i < 10) ? 1 : digit)] = 255;
  }
  WriteFile(folder.Path("t10k-images.idx3-ubyte"), ImageFileBytes(50, 28, 28, pixels));
  WriteFile(folder.Path("t10k-labels.idx1-ubyte"), LabelFileBytes(labels));
  NetworkEnsemble pair{{Router({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}), Router({0, 1, 2, 5, 4, 5, 6, 7, 8, 9})}};
  std::string message;
  pair.Save(folder.Path("pair.ens"), &message);
  pair.networks[0].SaveFile(folder.Path("named-like-an-ensemble.ens"), &message);
  ASSERT_EQ(message, "");

  const ChildResult report = RunLab(folder, {"report", "pair.ens"});
  ASSERT_EQ(report.exitCode, 0) << report.errors;
  // The per-digit table and the matrix (rows: true digit) where the mistakes are.
  for (const char* line :
       {"Model: ensemble of 2 networks (pair.ens)\nTotal correct: 47 of 50 (94.00%)\n",
        "\n    3       5        5   100.00\n    4       5        3    60.00\n",
        "\n    7       5        4    80.00\n",
        "\n    4     0     0     0     0     3     0     0     0     0     2\n",
        "\n    7     0     1     0     0     0     0     0     4     0     0\n",
        "\n    9     0     0     0     0     0     0     0     0     0     5\n\nMost frequent confusions\n",
        "  4 read as 9: 2 times\n  7 read as 1: 1 time\n\n", "  member 1: 47 correct (94.00%)\n",
        "  member 2: 42 correct (84.00%)\n  ensemble: 47 correct (94.00%)\n"}) {
    EXPECT_NE(report.output.find(line), std::string::npos) << line << "\n" << report.output;
  }
  // The heat map: a right cell green by its share of the row, a wrong one red by the square
  // root of its count against the largest wrong count, the count in white on a dark cell.
  const Bytes svgFile = ReadFile(folder.Path("report/confusion.svg"));
  const std::string svg(svgFile.begin(), svgFile.end());
  EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"570\""));
  for (const char* cell :
       {"<rect x=\"100\" y=\"90\" width=\"46\" height=\"46\" fill=\"#1b7837\"",   // 5 of 5
        "<rect x=\"284\" y=\"274\" width=\"46\" height=\"46\" fill=\"#76ae87\"",  // 3 of 5
        "<rect x=\"514\" y=\"274\" width=\"46\" height=\"46\" fill=\"#c81e1e\"",  // 2 of 2
        "<rect x=\"146\" y=\"412\" width=\"46\" height=\"46\" fill=\"#d86060\"",  // 1 of 2
        "<rect x=\"146\" y=\"90\" width=\"46\" height=\"46\" fill=\"#ffffff\"", "fill=\"white\">2</text>\n",
        "<text x=\"169\" y=\"117\" font-size=\"12\" text-anchor=\"middle\" "
        "fill=\"black\">0</text>",
        ">60.0%</text>", ">Confusion matrix: 94.00% of 50 test images right</text>",
        "<text x=\"169\" y=\"80\" font-size=\"14\" text-anchor=\"middle\">1</text>",  // column heads
        "<text x=\"600\" y=\"80\" font-size=\"12\" text-anchor=\"middle\">right</text>"})
    EXPECT_NE(svg.find(cell), std::string::npos) << cell;
  EXPECT_EQ(svg.find("<rect x=\"100\" y=\"550\""), std::string::npos);  // ten rows, not eleven
  // The mistakes, most confident first (all three tie: by image), each cell 64 x 78: the digit
  // twice its size 2 pixels down, the label in green (truth), grey, red (answer) under it.
  const Bytes png = ReadFile(folder.Path("report/mistakes.png"));
  int width = 0, height = 0, channels = 0;
  unsigned char* rgb = stbi_load_from_memory(png.data(), int(png.size()), &width, &height, &channels, 3);
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(width, 3 * 64);
  EXPECT_EQ(height, 78);
  const auto pixel = [&](int x, int y) {
    const unsigned char* p = rgb + (size_t(y) * size_t(width) + size_t(x)) * 3;
    return std::vector<int>{p[0], p[1], p[2]};
  };
  const std::vector<int> green{90, 220, 110}, red{255, 90, 90}, grey{160, 160, 160}, white{255, 255, 255},
      black{0, 0, 0};
  EXPECT_EQ(pixel(4 + 18, 2), white);  // image 4 lights pixel 9
  EXPECT_EQ(pixel(4 + 16, 3), black);
  EXPECT_EQ(pixel(64 + 4 + 2, 3), white);   // image 7 lights pixel 1
  EXPECT_EQ(pixel(4, 62), green);           // "4"
  EXPECT_EQ(pixel(12, 62), grey);           // ">"
  EXPECT_EQ(pixel(16, 66), grey);           // its point, in the right column
  EXPECT_EQ(pixel(20, 63), red);            // "9"
  EXPECT_EQ(pixel(64 + 4 + 5, 62), green);  // "7"
  EXPECT_EQ(pixel(64 + 4, 66), black);
  EXPECT_EQ(pixel(128 + 4, 62), green);  // image 14, a 4 again
  stbi_image_free(rgb);
  const Bytes json = ReadFile(folder.Path("report/report.json"));
  EXPECT_NE(std::string(json.begin(), json.end()).find("\"correct\": 47,"), std::string::npos);

  // Most confident first whatever the order of the file: image 1, a 1 read as 9 from full ink,
  // before image 0, a 0 read as 9 from fainter ink.
  std::filesystem::create_directory(folder.Path("faint"));
  Bytes two(2 * 784, 0);
  two[9] = 200;
  two[784 + 9] = 255;
  WriteFile(folder.Path("faint/t10k-images.idx3-ubyte"), ImageFileBytes(2, 28, 28, two));
  WriteFile(folder.Path("faint/t10k-labels.idx1-ubyte"), LabelFileBytes({0, 1}));
  ASSERT_EQ(RunLab(folder, {"report", "pair.ens", "--data", "faint", "--out", "faint"}).exitCode, 0);
  const GreyImage ordered = Decoded(ReadFile(folder.Path("faint/mistakes.png")));
  EXPECT_EQ(ordered.levels[62 * ordered.width + 4], 0.0f);   // the 1's top row: its middle only
  EXPECT_GT(ordered.levels[62 * ordered.width + 68], 0.3f);  // the 0's top row: all three

  const ChildResult single = RunLab(folder, {"report", "named-like-an-ensemble.ens", "--out", "single"});
  EXPECT_NE(single.output.find("Model: network (named-like-an-ensemble.ens)\nTotal correct: 47 of 50"),
            std::string::npos)
      << single.output << single.errors;
}

TEST(LabClassify, EachBadPictureGetsOneLineAndTheOthersAreStillRead) {
  TemporaryFolder folder;
  ResetRandomSeeds(2);
  SaveNetworks(folder, {{"digits.net", {784, 30, 10}}});
  Bytes bar(40 * 60, 250), line(5000, 255);
  for (size_t y = 10; y < 50; ++y) bar[y * 40 + 20] = bar[y * 40 + 21] = 10;
  std::fill(line.begin() + 2000, line.begin() + 3000, 0);
  const Bytes good = EncodePng(40, 60, 1, bar);
  // Other kinds and depths of picture are decoded in tests/image.
  const std::pair<std::string, Bytes> pictures[] = {{"blank.png", EncodePng(30, 30, 1, Bytes(900, 255))},
                                                    {"good.png", good},
                                                    {"cut.png", Bytes(good.begin(), good.begin() + 60)},
                                                    {"notes.png", Bytes{'a', ' ', 'n', 'o', 't', 'e'}},
                                                    {"line.png", EncodePng(5000, 1, 1, line)}};
  std::vector<std::string> arguments{"classify", "digits.net", "--show"};
  for (const auto& [name, bytes] : pictures) {
    WriteFile(folder.Path(name), bytes);
    arguments.push_back(name);
  }
  arguments.push_back("missing.png");
  const ChildResult text = RunLab(folder, arguments);
  EXPECT_EQ(text.exitCode, 1);
  EXPECT_EQ(text.errors,
            "mnist-lab: blank.png: no ink found (the picture is blank or has too little contrast)\n"
            "mnist-lab: cut.png: a damaged or cut-short PNG file (a chunk runs past the end of the file, or "
            "an empty image data chunk)\n"
            "mnist-lab: notes.png: not a PNG, JPEG, PGM or BMP image\n"
            "mnist-lab: missing.png: cannot be opened: No such file or directory\n");
  EXPECT_TRUE(text.output.starts_with("good.png: ")) << text.output;
  EXPECT_NE(text.output.find("\nline.png: "), std::string::npos) << text.output;
  EXPECT_EQ(std::count(text.output.begin(), text.output.end(), '|'), 2 * 28 * 2);  // two 28-row fields

  arguments[2] = "--json";
  const ChildResult json = RunLab(folder, arguments);
  EXPECT_EQ(json.exitCode, 1);
  EXPECT_TRUE(json.output.starts_with("{\"file\": \"blank.png\", \"error\": \"no ink found ("))
      << json.output;
  EXPECT_NE(json.output.find("}\n{\"file\": \"good.png\", \"answer\": "), std::string::npos);
  EXPECT_TRUE(json.output.ends_with(
      "}\n{\"file\": \"missing.png\", \"error\": \"cannot be opened: No such file or directory\"}\n"));
  EXPECT_EQ(std::count(json.output.begin(), json.output.end(), '\n'), 6);
}

TEST(LabShow, DrawsTheChosenDigitsWithTheirLabels) {
  TemporaryFolder folder;
  WriteDataSets(folder.Root(), 0, 30);
  const ChildResult shown =
      RunLab(folder, {"show", "t10k-images.idx3-ubyte", "0", "7", "29", "30", "-o", "d.png"});
  EXPECT_EQ(shown.exitCode, 1);
  EXPECT_EQ(shown.errors, "mnist-lab: t10k-images.idx3-ubyte: has no image 30 (it holds 30)\n");
  EXPECT_EQ(shown.output, "Wrote d.png: 3 digits, labelled from t10k-labels.idx1-ubyte.\n");
  const GreyImage grid = Decoded(ReadFile(folder.Path("d.png")));
  EXPECT_EQ(grid.width, 3u * 64u);
  // Under image 0 its index and label, "0:0", the top rows of both zeros in full.
  for (uint32_t x : {4u, 8u, 20u, 24u}) EXPECT_GT(grid.levels[62 * grid.width + x], 0.6f) << x;
  EXPECT_EQ(grid.levels[64 * grid.width + 6], 0.0f);
  EXPECT_EQ(grid.levels[72 * grid.width + 8], 0.0f);   // nothing under the five rows of a glyph
  EXPECT_GT(grid.levels[2 * grid.width + 4], 0.6f);    // image 0's first pixel, in the top row of ink
  EXPECT_GT(grid.levels[68 * grid.width + 86], 0.6f);  // image 7's label "7", its stem (not 5 or ?)
  std::filesystem::rename(folder.Path("t10k-labels.idx1-ubyte"), folder.Path("elsewhere"));
  const ChildResult unlabelled = RunLab(folder, {"show", "t10k-images.idx3-ubyte"});
  EXPECT_EQ(unlabelled.exitCode, 0);
  EXPECT_EQ(unlabelled.output, "Wrote digits.png: 30 digits, without labels (no label file beside).\n");

  // --distorted: a row per digit, the digit and 8 copies, the same for the same seed.
  const auto distorted = [&](const std::string& seed, const std::string& distortion,
                             const std::string& name) {
    return RunLab(folder, {"show", "t10k-images.idx3-ubyte", "3", "4", "--distorted", "-o", name},
                  {{"MNIST_MLP_SEED", seed}, {"MNIST_MLP_DISTORTION", distortion}});
  };
  EXPECT_EQ(distorted("5", "affine:rotate=20", "a.png").output,
            "Wrote a.png: 2 digits, without labels (no label file beside), each followed by 8 distortions "
            "affine:rotate=20,scale=10,shear=10 drawn with seed 5.\n");
  const GreyImage distortedGrid = Decoded(ReadFile(folder.Path("a.png")));
  EXPECT_EQ(distortedGrid.width, 9u * 64u);
  EXPECT_EQ(distortedGrid.height, 2u * grid.height);
  // The labels "3", "#1" and (a row down) "4": the top of the 3, both top and bottom right
  // corners of the #, the stem of the 4.
  for (uint32_t at : {62u * 576u + 4u, 62u * 576u + 72u, 70u * 576u + 72u, 146u * 576u + 8u})
    EXPECT_GT(distortedGrid.levels[at], 0.6f) << at;
  distorted("5", "affine:rotate=20", "again.png");
  distorted("6", "affine:rotate=20", "other.png");
  EXPECT_EQ(ReadFile(folder.Path("again.png")), ReadFile(folder.Path("a.png")));
  EXPECT_NE(ReadFile(folder.Path("other.png")), ReadFile(folder.Path("a.png")));
  EXPECT_NE(distorted("5", "none", "e.png").output.find("8 distortions elastic:alpha=34,sigma=4,"),
            std::string::npos);
  EXPECT_EQ(
      distorted("5", "twist", "e.png").errors,
      "mnist-lab: MNIST_MLP_DISTORTION=\"twist\" is not valid: it accepts none, affine or elastic, "
      "optionally "
      "followed by a colon and name=value pairs separated by commas, such as "
      "elastic:alpha=34,sigma=4,rotate=10,scale=10,shear=10 (alpha from 0 to 1000, sigma above 0 and at most "
      "10, rotate degrees to 180, scale percent to 50, shear degrees to 60; alpha and sigma for elastic "
      "only), or unset it.\n");
}

// A count is a whole number however large: a million and one correct is not 1e+06. (mnist-lab
// reads only models of 784 inputs, so its counts are checked elsewhere; they are integers.)
TEST(LabCommandLine, CountsOfAMillionOrMorePrintInFull) {
  TemporaryFolder folder;
  constexpr uint32_t kCount = 1'000'001;
  WriteFile(folder.Path("t10k-images.idx3-ubyte"), ImageFileBytes(kCount, 1, 1, Bytes(kCount, 0)));
  WriteFile(folder.Path("t10k-labels.idx1-ubyte"), LabelFileBytes(Bytes(kCount, 0)));
  NeuralNetwork network = NeuralNetwork::WithLayers({1, 10}, 0.5, 1.0);
  network.biases[0].assign(10, -5.0);
  network.biases[0][0] = 5.0;  // blank pixels: digit 0 every time
  NetworkEnsemble ensemble;
  ensemble.networks.push_back(network);
  ensemble.Save(folder.Path("e.ens"), nullptr);

  const ChildResult verified = RunProgram(folder, {"--verify", "e.ens"});
  EXPECT_NE(verified.output.find("Total correct: 1000001\nTraining accuracy: 100.\n"), std::string::npos)
      << verified.output;
}

TEST(LabCommands, UnknownOnesAreRefusedWithTheUsage) {
  TemporaryFolder folder;
  const ChildResult none = RunLab(folder, {});
  EXPECT_EQ(none.exitCode, 2);
  EXPECT_TRUE(none.output.starts_with("Usage: mnist-lab COMMAND ...\n  report MODEL")) << none.output;
  const ChildResult help = RunLab(folder, {"help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.output, none.output);
  const ChildResult unknown = RunLab(folder, {"pages", "x.net"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_EQ(unknown.errors, "mnist-lab: unknown command \"pages\"\n");
  EXPECT_EQ(unknown.output, none.output);
}
