"""Networks of the mnist-mlp workbench in Python.

load(path) reads a network file or an ensemble file (told apart by content); Network and Ensemble
give their values as NumPy arrays, answer for arrays of images on all processors, save files
byte for byte as mnist-mlp writes them, and go to PyTorch and ONNX. Everything that computes or
reads a format is the C++ library (_core); this package adds the conversions.
"""

from ._core import Ensemble, Network, load, prepare_digit, read_idx
from . import _core, onnx_export, torch_bridge


def prepare_file(path):
    """The 784 inputs mnist-lab classify gives the network for a picture file of a digit."""
    with open(path, "rb") as picture:
        return _core.prepare_picture(picture.read(), str(path))


Network.to_torch = torch_bridge.to_torch
Network.from_torch = staticmethod(torch_bridge.from_torch)
Network.to_onnx = onnx_export.save_onnx
Ensemble.to_onnx = onnx_export.save_onnx

__all__ = ["Ensemble", "Network", "load", "prepare_digit", "prepare_file", "read_idx"]
