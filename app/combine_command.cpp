// mnist-mlp --combine: loads network files and writes those that fit as one ensemble file.
#include <iostream>

#include "app/commands.h"
#include "ensemble/network_ensemble.h"
#include "network/neural_network.h"

bool CombineCommand(const std::string& ensembleFileName, const std::vector<std::string>& networkFileNames) {
  // The save replaces the output file, so it must be neither one of the inputs (by any name or
  // link) nor a network file: `--combine member-*.net` would otherwise turn the first member
  // into an ensemble of the others. An existing ensemble file may be replaced.
  for (const std::string& networkFileName : networkFileNames) {
    if (SameFile(ensembleFileName, networkFileName)) {
      std::cout << "The ensemble file " << ensembleFileName << " is also the network file " << networkFileName
                << "; choose another name so that combining does not overwrite it." << std::endl;
      return false;
    }
  }
  if (HoldsNetworkRecord(ensembleFileName)) {
    std::cout << "The ensemble file " << ensembleFileName
              << " holds a network; choose another name so that combining does not overwrite it."
              << std::endl;
    return false;
  }

  // Networks are loaded and filtered one at a time, so only the accepted ones stay in memory.
  bool allLoaded = true;
  NetworkEnsemble ensemble;
  for (const std::string& networkFileName : networkFileNames) {
    NeuralNetwork network;
    std::string loadMessage;
    network.LoadFile(networkFileName, &loadMessage);
    if (!loadMessage.empty()) {
      std::cout << loadMessage << std::endl;
      // The message names only the part of the record that failed; a person needs the file.
      if (!ExplainUnreadable(networkFileName)) {
        std::cerr << "mnist-mlp: " << networkFileName
                  << " is not a whole network file (cut short, damaged or of another kind); it is left out"
                  << std::endl;
      }
      allLoaded = false;
      continue;
    }
    if (network.weights.empty()) {
      // A record of fewer than two layers loads without complaint but cannot classify.
      std::cout << "The network file " << networkFileName << " holds no layers; it is left out." << std::endl;
      allLoaded = false;
      continue;
    }
    // The first network sets the sizes; others that differ are left out without a word.
    if (!ensemble.networks.empty()) {
      const NeuralNetwork& first = ensemble.networks.front();
      if (network.InputSize() != first.InputSize() || network.OutputSize() != first.OutputSize()) continue;
    }
    ensemble.networks.push_back(std::move(network));
  }

  // An ensemble file without members would only be refused by --verify later. An empty
  // name goes on to the save, which reports it with its header message.
  if (ensemble.networks.empty() && !ensembleFileName.empty()) {
    std::cout << "No network could be loaded, so the ensemble file " << ensembleFileName
              << " was not written." << std::endl;
    return false;
  }
  std::string saveMessage;
  ensemble.Save(ensembleFileName, &saveMessage);
  if (!saveMessage.empty()) {
    std::cout << saveMessage << std::endl;
    return false;
  }
  return allLoaded;
}
