# What the module's tests share: the real digits that ctest unpacks (DIGITS), the mnist-mlp
# binary (MNIST_MLP), and one small network that it trains there, once per run.
import os
import subprocess

import numpy as np
import pytest

DIGITS = os.environ.get("DIGITS", "")
MNIST_MLP = os.environ.get("MNIST_MLP", "")
# A network small enough to train in seconds: 784-16-10, two epochs, a fixed seed.
TRAINING = {"MNIST_MLP_HIDDEN_LAYERS": "16", "MNIST_MLP_EPOCHS": "2", "MNIST_MLP_SEED": "5"}


def run_mnist_mlp(folder, *arguments, settings=None):
    """mnist-mlp run in a folder that holds (links to) the four data files; its standard output."""
    for name in os.listdir(DIGITS):
        link = os.path.join(folder, name)
        if not os.path.exists(link):
            os.symlink(os.path.join(DIGITS, name), link)
    environment = {key: value for key, value in os.environ.items() if not key.startswith("MNIST_MLP_")}
    environment.update(settings or {})
    return subprocess.run(
        [MNIST_MLP, *arguments], cwd=folder, env=environment, check=True, capture_output=True, text=True
    ).stdout


@pytest.fixture(scope="session")
def trained(tmp_path_factory):
    """The folder in which mnist-mlp trained trained.net with TRAINING."""
    folder = tmp_path_factory.mktemp("trained")
    run_mnist_mlp(folder, "--train", "trained.net", settings=TRAINING)
    return folder


@pytest.fixture(scope="session")
def test_set():
    import mnist_mlp

    return mnist_mlp.read_idx(os.path.join(DIGITS, "t10k-images.idx3-ubyte"), os.path.join(DIGITS, "t10k-labels.idx1-ubyte"))


@pytest.fixture(scope="session")
def training_set():
    import mnist_mlp

    return mnist_mlp.read_idx(
        os.path.join(DIGITS, "train-images.idx3-ubyte"), os.path.join(DIGITS, "train-labels.idx1-ubyte")
    )


def as_inputs(images):
    return images.reshape(len(images), -1) / 255.0


def pixels_of(images):
    return np.ascontiguousarray(images.reshape(len(images), -1))
