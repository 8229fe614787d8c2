# The network in PyTorch and in ONNX computes what predict computes, and a picture file is
# prepared and scored as mnist-lab classify does it.
import json
import os
import subprocess

import numpy as np
import onnx
import torch
from onnx import helper, numpy_helper

import mnist_mlp
from conftest import as_inputs


def evaluate_onnx(model, x):
    """The graph's output, node by node in NumPy, for the operators the export uses."""
    values = {"input": x, **{tensor.name: numpy_helper.to_array(tensor) for tensor in model.graph.initializer}}
    for node in model.graph.node:
        inputs = [values[name] for name in node.input]
        if node.op_type == "Gemm":
            assert {a.name: helper.get_attribute_value(a) for a in node.attribute} == {"transB": 1}
            result = inputs[0] @ inputs[1].T + inputs[2]
        elif node.op_type == "Sigmoid":
            result = 1.0 / (1.0 + np.exp(-inputs[0]))
        else:
            assert node.op_type == "Mean"
            result = sum(inputs) / len(inputs)
        values[node.output[0]] = result
    return values["output"]


def test_torch_round_trip_computes_predict(trained, test_set):
    network = mnist_mlp.load(trained / "trained.net")
    x = as_inputs(test_set[0])
    module = network.to_torch()
    with torch.no_grad():
        assert np.abs(module(torch.from_numpy(x)).numpy() - network.predict(x)).max() < 1e-12
    back = mnist_mlp.Network.from_torch(module)
    assert all(np.array_equal(a, b) for a, b in zip(back.weights + back.biases, network.weights + network.biases))


def test_onnx_files_check_hold_the_weights_and_compute_predict(trained, test_set, tmp_path):
    network = mnist_mlp.load(trained / "trained.net")
    other = mnist_mlp.Network.random([784, 12, 10], seed=3)
    x = as_inputs(test_set[0])
    for model, weights in [(network, network.weights), (mnist_mlp.Ensemble([network, other]), network.weights + other.weights)]:
        model.to_onnx(tmp_path / "model.onnx")
        exported = onnx.load(tmp_path / "model.onnx")
        onnx.checker.check_model(exported, full_check=True)
        initializers = [numpy_helper.to_array(t) for t in exported.graph.initializer if "weights" in t.name]
        assert all(np.array_equal(a, b) for a, b in zip(initializers, weights)) and len(initializers) == len(weights)
        assert np.abs(evaluate_onnx(exported, x) - model.predict(x)).max() < 1e-12


def write_pgm(path, grey):
    path.write_bytes(b"P5 %d %d 255\n" % (grey.shape[1], grey.shape[0]) + grey.tobytes())


def test_picture_file_prepared_and_scored_as_mnist_lab_classify(trained, test_set, tmp_path):
    # An MNIST digit drawn dark on light, three times its size, as a photo of a digit would be.
    digit = 255 - np.kron(test_set[0][3], np.ones((3, 3), np.uint8))
    write_pgm(tmp_path / "digit.pgm", digit)
    prepared = mnist_mlp.prepare_file(tmp_path / "digit.pgm")
    assert prepared.shape == (784,) and np.array_equal(prepared, mnist_mlp.prepare_digit(digit))
    lab = subprocess.run([os.environ["MNIST_LAB"], "classify", str(trained / "trained.net"), str(tmp_path / "digit.pgm"), "--json"],
                         check=True, capture_output=True, text=True)
    scores = json.loads(lab.stdout)["scores"]
    assert np.abs(mnist_mlp.load(trained / "trained.net").predict(prepared[None]) - scores).max() < 1e-15
