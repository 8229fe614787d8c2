# The module against mnist-mlp itself: the files it writes, the count --verify prints and the
# network --train makes, on the real digits.
import os
import re
import struct

import numpy as np
import pytest

import mnist_mlp
from conftest import TRAINING, as_inputs, pixels_of, run_mnist_mlp


def read_network_record(data):
    """The fields of a network file, read from its bytes as the format describes them."""
    rate, decay, batch, epochs, count = struct.unpack_from("<ddIIQ", data, 2)
    sizes = struct.unpack_from(f"<{count}I", data, 34)
    offset, weights, biases = 34 + 4 * count, [], []
    for inputs, outputs in zip(sizes, sizes[1:]):
        weights.append(np.frombuffer(data, "<f8", inputs * outputs, offset).reshape(outputs, inputs))
        offset += 8 * inputs * outputs
    for outputs in sizes[1:]:
        biases.append(np.frombuffer(data, "<f8", outputs, offset))
        offset += 8 * outputs
    return (rate, decay, batch, epochs, list(sizes)), weights, biases


def test_trained_file_reads_as_its_bytes_say_and_saves_back_identically(trained, tmp_path):
    data = (trained / "trained.net").read_bytes()
    network = mnist_mlp.load(trained / "trained.net")
    (rate, decay, batch, epochs, sizes), weights, biases = read_network_record(data)
    assert isinstance(network, mnist_mlp.Network)
    assert (network.learning_rate, network.weight_decay, network.batch_size, network.epoch_count) == (rate, decay, batch, epochs)
    assert network.layer_sizes == sizes == [784, 16, 10]
    for ours, theirs in zip(network.weights + network.biases, weights + biases):
        assert ours.dtype == np.float64 and np.array_equal(ours, theirs)
    network.save(tmp_path / "again.net")
    assert (tmp_path / "again.net").read_bytes() == data
    rebuilt = mnist_mlp.Network(weights, biases, rate, decay, batch)
    rebuilt.epoch_count = epochs
    rebuilt.save(tmp_path / "rebuilt.net")
    assert (tmp_path / "rebuilt.net").read_bytes() == data


def test_training_from_numpy_writes_the_file_of_mnist_mlp_train(trained, training_set, test_set, tmp_path):
    seed = int(TRAINING["MNIST_MLP_SEED"])
    network = mnist_mlp.Network.random([784, 16, 10], seed=seed)
    epochs = []
    network.train(*training_set, epochs=2, seed=seed, test=test_set, callback=lambda *epoch: epochs.append(epoch))
    network.save(tmp_path / "numpy.net")
    assert (tmp_path / "numpy.net").read_bytes() == (trained / "trained.net").read_bytes()
    assert [epoch for epoch, _ in epochs] == [0, 1] and all(50 < accuracy < 100 for _, accuracy in epochs)


def test_ensemble_counts_as_verify_and_saves_as_combine(trained, test_set, tmp_path):
    run_mnist_mlp(trained, "--combine", "pair.ens", "trained.net", "trained.net")
    ensemble = mnist_mlp.load(trained / "pair.ens")
    assert isinstance(ensemble, mnist_mlp.Ensemble) and len(ensemble.members) == 2
    mnist_mlp.Ensemble(ensemble.members).save(tmp_path / "pair.ens")
    assert (tmp_path / "pair.ens").read_bytes() == (trained / "pair.ens").read_bytes()

    verified = run_mnist_mlp(trained, "--verify", "pair.ens")
    count = int(re.search(r"Total correct: (\d+)", verified).group(1))
    images, labels = test_set
    assert np.sum(ensemble.classify(images) == labels) == count
    outputs = ensemble.predict(pixels_of(images))
    assert np.array_equal(outputs, ensemble.predict(as_inputs(images)))
    assert np.array_equal(outputs, ensemble.members[0].predict(images))


def test_damaged_files_raise_the_loaders_messages(trained, tmp_path):
    data = (trained / "trained.net").read_bytes()
    (tmp_path / "cut.net").write_bytes(data[:-100])
    with pytest.raises(ValueError, match=re.escape(f"{tmp_path / 'cut.net'}: Failed to read layer biases")):
        mnist_mlp.load(tmp_path / "cut.net")
    with pytest.raises(FileNotFoundError):
        mnist_mlp.load(tmp_path / "missing.net")
    images = (trained / "t10k-images.idx3-ubyte").read_bytes()
    labels = bytearray((trained / "t10k-labels.idx1-ubyte").read_bytes())
    labels[8] = 10
    (tmp_path / "labels").write_bytes(bytes(labels))
    (tmp_path / "images").write_bytes(images)
    with pytest.raises(ValueError, match="label file holds a label outside 0 to 9"):
        mnist_mlp.read_idx(tmp_path / "images", tmp_path / "labels")
    with pytest.raises(OSError):
        mnist_mlp.Network.random([3, 10]).save(tmp_path / "no-such-folder" / "x.net")
