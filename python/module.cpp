// mnist_mlp._core: the C++ library for Python. The package's __init__.py adds the parts
// written in Python (PyTorch and ONNX).
#include <cerrno>
#include <cstdio>

#include "python/bindings.h"

PYBIND11_MODULE(_core, module) {
  module.doc() = "Networks of mnist-mlp: their files, forward pass and training (C++ part).";
  BindNetworks(module);
  BindDigits(module);
}

void CheckReadable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    std::fclose(file);
    return;
  }
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  throw py::error_already_set();
}
