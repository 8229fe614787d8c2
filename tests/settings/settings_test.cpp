// The environment settings: unset gives the default, a valid value is taken whole, and any
// other text is named by SettingsProblem while the getter keeps its default.
#include "settings/settings.h"

#include "test_support.h"

TEST(Settings, UnsetGivesTheDocumentedNetworkAndValidValuesAreTaken) {
  ClearSettings();
  const auto settings = [] {
    return std::tuple(SettingsProblem(), EpochCountSetting(), SeedSetting(), LearningRateSetting(),
                      BatchSizeSetting(), WeightDecaySetting(), ProgressSetting());
  };
  EXPECT_EQ(settings(), std::tuple(std::nullopt, 300u, std::nullopt, 0.5, 10u, 1.0, std::nullopt));
  EXPECT_EQ(HiddenLayersSetting(), (std::vector<uint32_t>{500, 300, 200, 100}));

  std::string hundredLayers = "1";
  for (int i = 1; i < 100; ++i) hundredLayers += ",2";
  for (const auto& [name, value] : Environment{{"MNIST_MLP_EPOCHS", "007"},
                                               {"MNIST_MLP_SEED", "4294967295"},
                                               {"MNIST_MLP_THREADS", "300"},
                                               {"MNIST_MLP_LEARNING_RATE", "5e-2"},
                                               {"MNIST_MLP_BATCH_SIZE", "10000"},
                                               {"MNIST_MLP_HIDDEN_LAYERS", hundredLayers},
                                               {"MNIST_MLP_WEIGHT_DECAY", ".999"},
                                               {"MNIST_MLP_PROGRESS", "0"}})
    setenv(name.c_str(), value.c_str(), 1);
  EXPECT_EQ(settings(), std::tuple(std::nullopt, 7u, 4294967295u, 0.05, 10000u, 0.999, false));
  EXPECT_EQ(ThreadCountSetting(), kMaxThreadCount);
  EXPECT_EQ(HiddenLayersSetting().size(), 100u);
  EXPECT_EQ(HiddenLayersSetting()[1], 2u);
  ClearSettings();
}

TEST(Settings, EveryInvalidValueOfEveryVariableIsNamedAndTheGetterKeepsItsDefault) {
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
      {"MNIST_MLP_BATCH_SIZE", {"0", "10001", "4000000000"}},
      {"MNIST_MLP_HIDDEN_LAYERS",
       {"0", "800,0", "800,", ",800", "800,,300", "800, 300", "800;300", "5000000000", hundredAndOneLayers}},
      {"MNIST_MLP_WEIGHT_DECAY", {"0", "1.5", "nan", "inf"}},
      {"MNIST_MLP_PROGRESS", {"2", "yes", "00"}},
  };
  for (const auto& [name, own] : variables) {
    std::vector<std::string> invalid = common;
    invalid.insert(invalid.end(), own.begin(), own.end());
    for (const std::string& value : invalid) {
      SCOPED_TRACE(name + "=\"" + value + "\"");
      ClearSettings();
      setenv("MNIST_MLP_PROGRESS", "1", 1);  // a valid neighbour must not hide it
      setenv(name.c_str(), value.c_str(), 1);
      const std::optional<std::string> problem = SettingsProblem();
      ASSERT_TRUE(problem.has_value());
      EXPECT_TRUE(problem->starts_with(name + "=\"")) << *problem;
      EXPECT_NE(problem->find("is not valid: it accepts "), std::string::npos) << *problem;
      // Every getter keeps its default: 300 x 0.5 x 10 x 1.0, and four hidden layers.
      EXPECT_EQ(EpochCountSetting() * LearningRateSetting() * BatchSizeSetting() * WeightDecaySetting(),
                1500.0);
      EXPECT_EQ(HiddenLayersSetting().size(), 4u);
    }
  }
  // A control character in the value cannot break the message's single line.
  setenv("MNIST_MLP_SEED", "1\n", 1);
  EXPECT_EQ(SettingsProblem()->find('\n'), std::string::npos);
  ClearSettings();
}
