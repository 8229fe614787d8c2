// The parts of the module _core (module.cpp), each adding its names.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

// Network, Ensemble and load(): networks and ensembles, their files, predictions and training.
void BindNetworks(py::module_& module);
// read_idx() and prepare_picture(): MNIST's files and pictures of digits as network inputs.
void BindDigits(py::module_& module);

// Raises OSError (FileNotFoundError, PermissionError, ...) for a file that cannot be opened for
// reading, naming it: the library's loaders say only that a read failed.
void CheckReadable(const std::string& path);
