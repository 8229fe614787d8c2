"""Draws the first layer's weights of a network (or of an ensemble's first member) as a grid of
28 x 28 pictures, one per hidden neuron: red where ink raises its output, blue where ink lowers it.

    PYTHONPATH=build/python python3 examples/plot_first_layer.py MODEL [PICTURE.png]
"""
import sys

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt
import numpy as np

import mnist_mlp

NEURONS_SHOWN = 64


def main(model_path, picture_path="first-layer.png"):
    model = mnist_mlp.load(model_path)
    network = model.members[0] if isinstance(model, mnist_mlp.Ensemble) else model
    weights = network.weights[0][:NEURONS_SHOWN]
    side = int(np.ceil(np.sqrt(len(weights))))
    figure, axes = plt.subplots(side, side, figsize=(side, side), squeeze=False)
    for axis in axes.flat:
        axis.axis("off")
    for axis, neuron in zip(axes.flat, weights):
        limit = np.abs(neuron).max()
        axis.imshow(neuron.reshape(28, 28), cmap="RdBu_r", vmin=-limit, vmax=limit)
    figure.savefig(picture_path, dpi=60)
    print(f"{picture_path}: the first {len(weights)} of the {network.layer_sizes[1]} neurons of layer 1")


if __name__ == "__main__":
    main(*sys.argv[1:])
