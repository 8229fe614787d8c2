// The environment settings: unset gives the default, a valid value is taken whole, and any
// other text, or an unknown MNIST_MLP_* name, is one line naming the variable.
#include "settings/settings.h"

#include "test_support.h"

namespace {

// ReadSettings of exactly these NAME=VALUE entries.
Settings Read(const std::vector<std::string>& entries, std::string* problem) {
  std::vector<const char*> environment;
  for (const std::string& entry : entries) environment.push_back(entry.c_str());
  environment.push_back(nullptr);
  return ReadSettings(environment.data(), problem);
}

auto Fields(const Settings& s) {
  return std::tuple(s.epochCount, s.seed, s.learningRate, s.learningRateDecay, s.batchSize, s.hiddenLayers,
                    s.weightDecay, s.validationCount, DistortionText(s.distortion), s.scaledStartingWeights,
                    s.progress);
}

}  // namespace

TEST(Settings, UnsetGivesTheDocumentedNetworkAndValidValuesAreTaken) {
  std::string problem;
  const Settings defaults = Read({"HOME=/root", "MNIST_MLP_BUILD_DIR=build-bench"}, &problem);
  EXPECT_EQ(problem, "");
  EXPECT_EQ(Fields(defaults), Fields(Settings()));
  EXPECT_EQ(Fields(defaults),
            std::tuple(300u, std::nullopt, 0.5, 1.0, 10u, std::vector<uint32_t>{500, 300, 200, 100}, 1.0, 0u,
                       "none", false, std::nullopt));
  EXPECT_EQ(defaults.threadCount, DefaultSettings().threadCount);

  std::string hundredLayers = "1";
  for (int i = 1; i < 100; ++i) hundredLayers += ",2";
  const Settings set =
      Read({"MNIST_MLP_EPOCHS=007", "MNIST_MLP_SEED=4294967295", "MNIST_MLP_THREADS=300",
            "MNIST_MLP_LEARNING_RATE=5e-2", "MNIST_MLP_LEARNING_RATE_DECAY=1", "MNIST_MLP_BATCH_SIZE=10000",
            "MNIST_MLP_HIDDEN_LAYERS=" + hundredLayers, "MNIST_MLP_WEIGHT_DECAY=.999",
            "MNIST_MLP_VALIDATION=0", "MNIST_MLP_DISTORTION=elastic:sigma=6,alpha=0,shear=0.5",
            "MNIST_MLP_STARTING_WEIGHTS=scaled", "MNIST_MLP_PROGRESS=0"},
           &problem);
  EXPECT_EQ(problem, "");
  std::vector<uint32_t> layers(100, 2);
  layers[0] = 1;
  EXPECT_EQ(Fields(set), std::tuple(7u, 4294967295u, 0.05, 1.0, 10000u, layers, 0.999, 0u,
                                    "elastic:alpha=0,sigma=6,rotate=10,scale=10,shear=0.5", true, false));
  EXPECT_EQ(set.threadCount, kMaxThreadCount);
  EXPECT_EQ(DistortionText(Read({"MNIST_MLP_DISTORTION=affine:rotate=0.1,scale=50"}, &problem).distortion),
            "affine:rotate=0.1,scale=50,shear=10");
  EXPECT_EQ(
      Read({"MNIST_MLP_LEARNING_RATE_DECAY=0.95", "MNIST_MLP_VALIDATION=10000"}, &problem).learningRateDecay,
      0.95);
  EXPECT_EQ(problem, "");
}

TEST(Settings, EveryInvalidValueOfEveryVariableIsNamedAndTheDefaultsAreKept) {
  // What every variable refuses: empty, blanks, signs, hex, trailing text; then each one's own.
  const std::vector<std::string> common{"", " 2", "2 ", "+2", "-1", "0x2", "2abc", "two"};
  std::string hundredAndOneLayers = "1";
  for (int i = 0; i < 100; ++i) hundredAndOneLayers += ",1";
  const std::vector<std::pair<std::string, std::vector<std::string>>> variables{
      {"MNIST_MLP_EPOCHS", {"0", "2.0", "1e3", "4294967296"}},
      {"MNIST_MLP_SEED", {"0x10", "4294967296", "-0"}},
      {"MNIST_MLP_THREADS", {"0", "\t3", "99999999999"}},
      {"MNIST_MLP_LEARNING_RATE",
       {"0", "0.0", "nan", "NaN", "inf", "infinity", "1e999", "-0.5", ".", "1e", "0x1p-3"}},
      {"MNIST_MLP_LEARNING_RATE_DECAY", {"0", "1.01", "nan", "inf"}},
      {"MNIST_MLP_BATCH_SIZE", {"0", "10001", "4000000000"}},
      {"MNIST_MLP_HIDDEN_LAYERS",
       {"0", "800,0", "800,", ",800", "800,,300", "800, 300", "800;300", "5000000000", hundredAndOneLayers}},
      {"MNIST_MLP_WEIGHT_DECAY", {"0", "1.5", "nan", "inf"}},
      {"MNIST_MLP_VALIDATION", {"1.5", "4294967296"}},
      {"MNIST_MLP_DISTORTION",
       {"foo", "elastic:alpha=-1", "elastic:sigma=0", "elastic:sigma=11", "affine:alpha=3", "none:rotate=1",
        "elastic:", "elastic:alpha", "elastic:alpha=1,alpha=2", "affine:rotate=181", "affine:scale=51",
        "affine:shear=61", "affine:turn=3", "Elastic", "affine;rotate=3", "elastic:alpha=34,"}},
      {"MNIST_MLP_STARTING_WEIGHTS", {"Scaled", "xavier", "normal,scaled"}},
      {"MNIST_MLP_PROGRESS", {"2", "yes", "00"}},
  };
  for (const auto& [name, own] : variables) {
    std::vector<std::string> invalid = common;
    invalid.insert(invalid.end(), own.begin(), own.end());
    for (const std::string& value : invalid) {
      SCOPED_TRACE(name + "=\"" + value + "\"");
      std::string problem;
      // A valid neighbour must not hide it.
      const std::string neighbour =
          name == "MNIST_MLP_PROGRESS" ? "MNIST_MLP_EPOCHS=2" : "MNIST_MLP_PROGRESS=1";
      const Settings settings = Read({neighbour, name + "=" + value}, &problem);
      EXPECT_TRUE(problem.starts_with(name + "=\"")) << problem;
      EXPECT_NE(problem.find("is not valid: it accepts "), std::string::npos) << problem;
      EXPECT_EQ(Fields(settings), Fields(Settings()));
    }
  }
  // A control character in the value cannot break the message's single line.
  std::string problem;
  Read({"MNIST_MLP_SEED=1\n"}, &problem);
  EXPECT_EQ(problem.find('\n'), std::string::npos);
}

TEST(Settings, AnUnknownVariableIsRefusedNamingTheNearestKnownOne) {
  for (const auto& [typed, meant] : std::vector<std::pair<std::string, std::string>>{
           {"MNIST_MLP_EPOCS", "MNIST_MLP_EPOCHS"},
           {"MNIST_MLP_LEARNING_RATE_DECY", "MNIST_MLP_LEARNING_RATE_DECAY"},
           {"MNIST_MLP_DISTORTIONS", "MNIST_MLP_DISTORTION"},
           {"MNIST_MLP_THREAD", "MNIST_MLP_THREADS"}}) {
    std::string problem;
    Read({"MNIST_MLP_EPOCHS=2", typed + "=2"}, &problem);
    EXPECT_EQ(problem, typed + " is not a known setting: did you mean " + meant +
                           "? (the README lists the settings), or unset it.");
  }
}
