// Network and Ensemble: the library's NeuralNetwork and NetworkEnsemble as Python classes.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <optional>
#include <span>
#include <string>

#include "ensemble/model_file.h"
#include "ensemble/network_ensemble.h"
#include "network/random.h"
#include "python/array_input.h"
#include "python/bindings.h"
#include "python/network_training.h"
#include "python/prediction.h"
#include "settings/settings.h"

namespace {

std::string LayerSizesText(const NeuralNetwork& network) {
  std::string text = std::to_string(network.InputSize());
  for (const Vector& bias : network.biases) {
    text += '-';
    text += std::to_string(bias.size());
  }
  return text;
}

// The bounds mnist-mlp's settings put on the same values.
void CheckHyperparameters(double learningRate, double weightDecay, int64_t batchSize) {
  if (!std::isfinite(learningRate) || learningRate <= 0.0) {
    throw py::value_error("learning_rate must be a positive finite number, not " +
                          std::to_string(learningRate));
  }
  if (!(weightDecay > 0.0 && weightDecay <= 1.0)) {
    throw py::value_error("weight_decay must be above 0 and at most 1, not " + std::to_string(weightDecay));
  }
  if (batchSize < 1 || batchSize > kMaxBatchSize) {
    throw py::value_error("batch_size must be 1 to " + std::to_string(kMaxBatchSize) + ", not " +
                          std::to_string(batchSize));
  }
}

NeuralNetwork MakeNetwork(const py::sequence& weights, const py::sequence& biases, double learningRate,
                          double weightDecay, int64_t batchSize) {
  CheckHyperparameters(learningRate, weightDecay, batchSize);
  if (weights.size() == 0 || weights.size() != biases.size()) {
    throw py::value_error("weights and biases must hold one array per layer, at least one; got " +
                          std::to_string(weights.size()) + " and " + std::to_string(biases.size()));
  }
  NeuralNetwork network;
  network.learningRate = learningRate;
  network.weightDecayFactor = weightDecay;
  network.batchSize = static_cast<uint32_t>(batchSize);
  network.epochCount = kDefaultEpochCount;
  for (size_t k = 0; k < weights.size(); ++k) {
    const std::string index = '[' + std::to_string(k) + ']';
    Matrix layerWeights = ToMatrix(weights[k], ("weights" + index).c_str());
    Vector layerBiases = ToVector(biases[k], ("biases" + index).c_str());
    if (k > 0 && layerWeights.columnCount != network.OutputSize()) {
      throw py::value_error("weights" + index + " has " + std::to_string(layerWeights.columnCount) +
                            " columns, but the layer below has " + std::to_string(network.OutputSize()) +
                            " outputs");
    }
    if (layerBiases.size() != layerWeights.rowCount) {
      throw py::value_error("biases" + index + " has " + std::to_string(layerBiases.size()) +
                            " values, but weights" + index + " has " + std::to_string(layerWeights.rowCount) +
                            " rows");
    }
    network.activations.emplace_back(layerBiases.size(), 0.0);
    network.weightedInputs.emplace_back(layerBiases.size(), 0.0);
    network.weights.push_back(std::move(layerWeights));
    network.biases.push_back(std::move(layerBiases));
  }
  return network;
}

NeuralNetwork RandomNetwork(const std::vector<uint32_t>& layerSizes, std::optional<uint32_t> seed,
                            double learningRate, double weightDecay, int64_t batchSize) {
  CheckHyperparameters(learningRate, weightDecay, batchSize);
  if (layerSizes.size() < 2 || std::find(layerSizes.begin(), layerSizes.end(), 0u) != layerSizes.end()) {
    throw py::value_error("layer_sizes must hold at least two sizes, none of them 0");
  }
  if (seed) ResetRandomSeeds(*seed);
  NeuralNetwork network = NeuralNetwork::WithLayers(layerSizes, learningRate, weightDecay);
  network.batchSize = static_cast<uint32_t>(batchSize);
  return network;
}

NetworkEnsemble MakeEnsemble(std::vector<NeuralNetwork> members) {
  if (members.empty()) throw py::value_error("an ensemble needs at least one member");
  for (size_t m = 1; m < members.size(); ++m) {
    if (members[m].InputSize() != members[0].InputSize() ||
        members[m].OutputSize() != members[0].OutputSize()) {
      throw py::value_error("member " + std::to_string(m) + " (" + LayerSizesText(members[m]) +
                            ") does not take and give as many values as member 0 (" +
                            LayerSizesText(members[0]) + ")");
    }
  }
  NetworkEnsemble ensemble;
  ensemble.networks = std::move(members);
  return ensemble;
}

void RaiseOSError(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

// Saves with the library's atomic save; its failure becomes an OSError naming the file.
template <typename Model, void (Model::*Save)(const std::string&, std::string*) const>
void SaveFile(const Model& model, const std::filesystem::path& file) {
  const std::string path = file.string();
  std::string message;
  (model.*Save)(path, &message);
  if (!message.empty()) RaiseOSError(path + ": " + message);
}

py::object Load(const std::filesystem::path& file) {
  const std::string path = file.string();
  CheckReadable(path);
  std::ifstream input(path, std::ios::binary);
  std::string message;
  // The model reader tells the kinds apart (one thread: it only reads); the members are then
  // read again as networks, which keep what the file says besides the layers.
  std::unique_ptr<Model> model = Model::Read(input, 1, &message);
  if (!model) throw py::value_error(path + ": " + message);
  const ModelKind kind = model->Kind();
  model.reset();
  input.clear();
  input.seekg(0);
  NetworkEnsemble ensemble;
  if (kind == ModelKind::Ensemble) {
    ensemble.Load(input, &message);
  } else {
    ensemble.networks.emplace_back().Load(input, &message);
  }
  if (!message.empty()) throw py::value_error(path + ": " + message);
  if (kind == ModelKind::Network) return py::cast(std::move(ensemble.networks.front()));
  return py::cast(std::move(ensemble));
}

py::array_t<double> Predict(std::span<const NeuralNetwork> members, const py::handle& x) {
  const InputRows rows = ToInputRows(x, members.front().InputSize(), "x");
  const size_t outputSize = members.front().OutputSize();
  std::vector<double> outputs;
  {
    py::gil_scoped_release release;
    outputs = MeanOutputs(members, rows.data(), rows.count);
  }
  py::array_t<double> result({rows.count, outputSize});
  std::copy(outputs.begin(), outputs.end(), result.mutable_data());
  return result;
}

py::array_t<int64_t> Classify(std::span<const NeuralNetwork> members, const py::handle& x) {
  const py::array_t<double> outputs = Predict(members, x);
  const size_t width = members.front().OutputSize();
  const std::vector<double> values(outputs.data(), outputs.data() + outputs.size());
  const std::vector<int64_t> answers = Answers(values, width);
  py::array_t<int64_t> result(answers.size());
  std::copy(answers.begin(), answers.end(), result.mutable_data());
  return result;
}

ImageSet SamplesOf(const NeuralNetwork& network, const py::handle& x, const py::handle& y, const char* xName,
                   const char* yName) {
  const InputRows rows = ToInputRows(x, network.InputSize(), xName);
  const std::vector<uint8_t> labels = ToLabels(y, rows.count, yName);
  return LabelledSamples(rows.data(), rows.count, rows.width, labels);
}

void Train(NeuralNetwork& network, const py::handle& x, const py::handle& y, int64_t epochs,
           std::optional<uint32_t> seed, const py::object& test, const py::object& callback) {
  if (epochs < 1 || epochs > std::numeric_limits<uint32_t>::max()) {
    throw py::value_error("epochs must be at least 1, not " + std::to_string(epochs));
  }
  if (network.OutputSize() != DigitCount) {
    throw py::value_error("training needs one output per digit (10); this network has " +
                          std::to_string(network.OutputSize()));
  }
  CheckHyperparameters(network.learningRate, network.weightDecayFactor, network.batchSize);
  ImageSet trainingSet = SamplesOf(network, x, y, "x", "y");
  if (trainingSet.empty()) throw py::value_error("x holds no images to train on");
  std::optional<ImageSet> testSet;
  if (!test.is_none()) {
    if (!py::isinstance<py::sequence>(test) || py::len(test) != 2) {
      throw py::type_error("test must be a pair (images, labels)");
    }
    testSet = SamplesOf(network, test[py::int_(0)], test[py::int_(1)], "test images", "test labels");
  }

  // Python errors (Ctrl-C, or one the callback raises) stop the training before the next
  // mini-batch and are raised once the engine's weights are back in the network.
  std::optional<py::error_already_set> pythonError;
  TrainingObserver observer;
  observer.stopRequested = [&pythonError] {
    if (pythonError) return true;
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() != 0) pythonError.emplace();
    return pythonError.has_value();
  };
  if (!callback.is_none()) {
    observer.onEpoch = [&pythonError, &callback](uint32_t epoch, double accuracy) {
      py::gil_scoped_acquire acquire;
      try {
        callback(epoch, accuracy);
      } catch (py::error_already_set& error) {
        pythonError.emplace(std::move(error));
      }
    };
  }
  {
    py::gil_scoped_release release;
    TrainNetwork(network, trainingSet, testSet ? &*testSet : nullptr, static_cast<uint32_t>(epochs), seed,
                 observer);
  }
  if (pythonError) throw std::move(*pythonError);
}

// Binds the read-write hyperparameters of a network, checked as the constructor checks them.
void BindHyperparameters(py::class_<NeuralNetwork>& network) {
  network.def_property(
      "learning_rate", [](const NeuralNetwork& n) { return n.learningRate; },
      [](NeuralNetwork& n, double value) {
        CheckHyperparameters(value, 1.0, 1);
        n.learningRate = value;
      });
  network.def_property(
      "weight_decay", [](const NeuralNetwork& n) { return n.weightDecayFactor; },
      [](NeuralNetwork& n, double value) {
        CheckHyperparameters(1.0, value, 1);
        n.weightDecayFactor = value;
      });
  network.def_property(
      "batch_size", [](const NeuralNetwork& n) { return n.batchSize; },
      [](NeuralNetwork& n, int64_t value) {
        CheckHyperparameters(1.0, 1.0, value);
        n.batchSize = static_cast<uint32_t>(value);
      });
  network.def_property(
      "epoch_count", [](const NeuralNetwork& n) { return n.epochCount; },
      [](NeuralNetwork& n, uint32_t value) { n.epochCount = value; },
      "The epochs the file records: those of the last train(), else 300 or what the file held.");
}

}  // namespace

void BindNetworks(py::module_& module) {
  py::class_<NeuralNetwork> network(
      module, "Network", "A fully connected network of sigmoid layers, as mnist-mlp trains and saves it.");
  network.def(py::init(&MakeNetwork), py::arg("weights"), py::arg("biases"),
              py::arg("learning_rate") = kDefaultLearningRate, py::arg("weight_decay") = kDefaultWeightDecay,
              py::arg("batch_size") = kDefaultBatchSize,
              "weights[k]: (outputs, inputs) of layer k+1; biases[k]: (outputs,). Values are copied.");
  network.def_static(
      "random", &RandomNetwork, py::arg("layer_sizes"), py::arg("seed") = py::none(),
      py::arg("learning_rate") = kDefaultLearningRate, py::arg("weight_decay") = kDefaultWeightDecay,
      py::arg("batch_size") = kDefaultBatchSize,
      "Standard-normal weights and biases, as `mnist-mlp --train` starts with MNIST_MLP_SEED=seed.");
  network.def_property_readonly("weights", [](const NeuralNetwork& n) {
    py::list arrays;
    for (const Matrix& layer : n.weights) arrays.append(MatrixArray(layer));
    return arrays;
  });
  network.def_property_readonly("biases", [](const NeuralNetwork& n) {
    py::list arrays;
    for (const Vector& layer : n.biases) arrays.append(VectorArray(layer));
    return arrays;
  });
  network.def_property_readonly("layer_sizes", &LayerSizes);
  BindHyperparameters(network);
  network.def(
      "predict",
      [](const NeuralNetwork& n, const py::handle& x) {
        return Predict({&n, 1}, x);
      },
      py::arg("x"),
      "Outputs (n, outputs) for inputs (n, inputs): float64 in 0..1, or uint8 pixels scaled by 1/255.");
  network.def(
      "classify",
      [](const NeuralNetwork& n, const py::handle& x) {
        return Classify({&n, 1}, x);
      },
      py::arg("x"), "The answer per input: the first largest output, as --verify counts it.");
  network.def(
      "train", &Train, py::arg("x"), py::arg("y"), py::arg("epochs") = 1, py::arg("seed") = py::none(),
      py::arg("test") = py::none(), py::arg("callback") = py::none(),
      "Trains as `mnist-mlp --train` with MNIST_MLP_SEED=seed and MNIST_MLP_EPOCHS=epochs; see the README.");
  network.def("save", &SaveFile<NeuralNetwork, &NeuralNetwork::SaveFile>, py::arg("path"),
              "Replaces the file atomically with the network file mnist-mlp writes.");
  network.def("__repr__",
              [](const NeuralNetwork& n) { return "<mnist_mlp.Network " + LayerSizesText(n) + ">"; });

  py::class_<NetworkEnsemble> ensemble(module, "Ensemble",
                                       "Networks that answer together by their mean output.");
  ensemble.def(py::init(&MakeEnsemble), py::arg("members"), "Copies of the networks, in file order.");
  ensemble.def_property_readonly("members", [](const NetworkEnsemble& e) { return e.networks; });
  ensemble.def("__len__", [](const NetworkEnsemble& e) { return e.networks.size(); });
  ensemble.def(
      "predict", [](const NetworkEnsemble& e, const py::handle& x) { return Predict(e.networks, x); },
      py::arg("x"), "The mean of the members' outputs, (n, outputs).");
  ensemble.def(
      "classify", [](const NetworkEnsemble& e, const py::handle& x) { return Classify(e.networks, x); },
      py::arg("x"), "The answer per input: the first largest mean output, as --verify counts it.");
  ensemble.def("save", &SaveFile<NetworkEnsemble, &NetworkEnsemble::Save>, py::arg("path"),
               "Replaces the file atomically with the ensemble file mnist-mlp --combine writes.");
  ensemble.def("__repr__", [](const NetworkEnsemble& e) {
    return "<mnist_mlp.Ensemble of " + std::to_string(e.networks.size()) + " networks " +
           LayerSizesText(e.networks.front()) + ">";
  });

  module.def("load", &Load, py::arg("path"), "A Network or an Ensemble, told apart by the file's content.");
}
