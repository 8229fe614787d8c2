# Arrays and arguments the module must refuse with a clear exception or handle correctly, never
# crash on. Needs only NumPy, so that it also runs under the sanitizers.
import os
import signal
import threading

import numpy as np
import pytest

import mnist_mlp

RANDOM = np.random.default_rng(7)


def small_network():
    return mnist_mlp.Network.random([784, 5, 10], seed=1)


def test_inputs_of_any_layout_and_float_type_agree_others_are_refused():
    network = small_network()
    wide = RANDOM.random((4, 1568))
    x = np.ascontiguousarray(wide[:, ::2])
    expected = network.predict(x)
    for same in [wide[:, ::2], np.asfortranarray(x), x.reshape(4, 28, 28), x.tolist()]:
        assert np.array_equal(network.predict(same), expected)
    assert np.array_equal(network.predict(x.astype(np.float32)), network.predict(x.astype(np.float32).astype(np.float64)))
    assert network.predict(np.zeros((0, 784))).shape == (0, 10)
    assert network.classify(np.zeros((0, 784), np.uint8)).shape == (0,)
    for wrong_type in [x.astype(np.int64), x > 0.5, np.array([["a"] * 784])]:
        with pytest.raises(TypeError, match="x must hold float64 values in 0..1 or uint8 pixels"):
            network.predict(wrong_type)
    for wrong_shape in [x[0], x[:, :783], np.zeros((0,)), np.float64(1.0)]:
        with pytest.raises(ValueError, match="x (must have one row per image|has 783 values per image)"):
            network.predict(wrong_shape)
    for bad in [np.nan, np.inf]:
        x[2, 100] = bad
        with pytest.raises(ValueError, match="x holds NaN or an infinite value in image 2"):
            network.classify(x)


def test_networks_and_ensembles_of_bad_parts_are_refused():
    weights, biases = [RANDOM.random((5, 784)), RANDOM.random((10, 5))], [np.zeros(5), np.zeros(10)]
    for wrong, message in [
        (([weights[0], weights[0]], biases), r"weights\[1\] has 784 columns, but the layer below has 5 outputs"),
        ((weights, [np.zeros(5), np.zeros(9)]), r"biases\[1\] has 9 values, but weights\[1\] has 10 rows"),
        (([], []), "one array per layer, at least one"),
        ((weights, biases[:1]), "one array per layer"),
        (([weights[0].ravel()], biases[:1]), r"weights\[0\] must have 2 axes, not shape \(3920,\)"),
        (([np.zeros((0, 3))], [np.zeros(0)]), r"weights\[0\] must have 1 to 2\^32 - 1 rows"),
    ]:
        with pytest.raises(ValueError, match=message):
            mnist_mlp.Network(*wrong)
    with pytest.raises(TypeError, match=r"weights\[0\] must hold floating-point values, not int64"):
        mnist_mlp.Network([np.ones((5, 784), np.int64)], biases[:1])
    for settings, message in [
        ({"learning_rate": np.nan}, "learning_rate must be a positive finite number"),
        ({"weight_decay": 1.5}, "weight_decay must be above 0 and at most 1"),
        ({"batch_size": 0}, "batch_size must be 1 to 10000"),
    ]:
        with pytest.raises(ValueError, match=message):
            mnist_mlp.Network(weights, biases, **settings)
    network = mnist_mlp.Network(weights, biases)
    with pytest.raises(ValueError, match="batch_size must be 1 to 10000"):
        network.batch_size = 10001
    with pytest.raises(ValueError, match="at least one member"):
        mnist_mlp.Ensemble([])
    with pytest.raises(ValueError, match=r"member 1 \(784-5-9\) does not take and give as many values"):
        mnist_mlp.Ensemble([network, mnist_mlp.Network.random([784, 5, 9])])
    with pytest.raises(ValueError, match="at least two sizes, none of them 0"):
        mnist_mlp.Network.random([784, 0, 10])


def test_training_arguments_are_checked_before_anything_changes():
    network = small_network()
    x, y = RANDOM.random((20, 784)), RANDOM.integers(0, 10, 20)
    before = network.weights
    for arguments, error, message in [
        ((x, y[:19]), ValueError, r"y must have shape \(20,\)"),
        ((x, np.where(y == y[3], 10, y)), ValueError, "y holds 10 at 3; labels are digits 0 to 9"),
        ((x, y.astype(float)), TypeError, "y must be an array of integer digit labels"),
        ((x[:0], y[:0]), ValueError, "x holds no images to train on"),
    ]:
        with pytest.raises(error, match=message):
            network.train(*arguments)
    with pytest.raises(ValueError, match="epochs must be at least 1"):
        network.train(x, y, epochs=0)
    with pytest.raises(TypeError, match=r"test must be a pair \(images, labels\)"):
        network.train(x, y, test=x)
    with pytest.raises(ValueError, match="one output per digit"):
        mnist_mlp.Network.random([784, 3]).train(x, y)
    assert all(np.array_equal(a, b) for a, b in zip(network.weights, before))


def test_errors_during_training_stop_it_between_mini_batches():
    network = small_network()
    x, y = RANDOM.random((200, 784)), RANDOM.integers(0, 10, 200)

    def fail(epoch, accuracy):
        raise RuntimeError(f"stop at {epoch}")

    with pytest.raises(RuntimeError, match="stop at 0"):
        network.train(x, y, epochs=1000, callback=fail)
    assert network.epoch_count == 1000 and np.isfinite(network.predict(x)).all()
    # Ctrl-C: the signal arrives while the engine runs without the interpreter's lock.
    timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        network.train(x, y, epochs=1_000_000)
    timer.join()


def test_damaged_files_and_pictures_are_refused(tmp_path):
    (tmp_path / "junk").write_bytes(b"\x42\x42" + bytes(40))
    with pytest.raises(ValueError, match="junk: "):
        mnist_mlp.load(tmp_path / "junk")
    (tmp_path / "text").write_bytes(b"not a file of ours")
    with pytest.raises(ValueError, match="text: Neither a network file nor an ensemble file"):
        mnist_mlp.load(tmp_path / "text")
    with pytest.raises(ValueError, match="text, .*text: "):
        mnist_mlp.read_idx(tmp_path / "text", tmp_path / "text")
    with pytest.raises(ValueError, match="text: not a PNG, JPEG, PGM or BMP image"):
        mnist_mlp.prepare_file(tmp_path / "text")
    with pytest.raises(ValueError, match="image: no ink found"):
        mnist_mlp.prepare_digit(np.full((30, 30), 200, np.uint8))
    with pytest.raises(ValueError, match="image must be a 2-D array"):
        mnist_mlp.prepare_digit(np.zeros(30, np.uint8))
    with pytest.raises(ValueError, match="image levels must lie in 0..1"):
        mnist_mlp.prepare_digit(np.full((4, 4), np.nan))
    with pytest.raises(TypeError, match="image must hold uint8 levels"):
        mnist_mlp.prepare_digit(np.zeros((4, 4), np.int32))
