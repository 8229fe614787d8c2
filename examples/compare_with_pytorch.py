"""Classifies the MNIST test set with a network or an ensemble twice, with mnist_mlp and with
its members as PyTorch modules (the mean of their outputs), and says how far they differ.

    PYTHONPATH=build/python python3 examples/compare_with_pytorch.py MODEL DATA_FOLDER
"""
import os
import sys

import torch

import mnist_mlp


def main(model_path, data_folder):
    model = mnist_mlp.load(model_path)
    members = model.members if isinstance(model, mnist_mlp.Ensemble) else [model]
    images, labels = mnist_mlp.read_idx(
        os.path.join(data_folder, "t10k-images.idx3-ubyte"), os.path.join(data_folder, "t10k-labels.idx1-ubyte")
    )
    x = images.reshape(len(images), -1) / 255.0
    ours = model.predict(x)
    with torch.no_grad():
        inputs = torch.from_numpy(x)
        theirs = (sum(member.to_torch()(inputs) for member in members) / len(members)).numpy()
    for name, outputs in [("mnist_mlp", ours), ("PyTorch", theirs)]:
        correct = (outputs.argmax(axis=1) == labels).sum()
        print(f"{name}: {correct} of {len(labels)} correct ({100.0 * correct / len(labels):.2f} %)")
    disagreements = (ours.argmax(axis=1) != theirs.argmax(axis=1)).sum()
    print(f"answers that differ: {disagreements}; largest output difference: {abs(ours - theirs).max():.3g}")


if __name__ == "__main__":
    main(*sys.argv[1:])
