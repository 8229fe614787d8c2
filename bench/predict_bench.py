"""How long predict takes on the 10,000 MNIST test images, beside the count of mnist-mlp --verify
(its own "Verification took" figure) for the same ensemble: untrained ensembles of one and three
networks of the default shape (784-500-300-200-100-10), whose cost does not depend on the values.
Best of five runs each; run it on an idle machine.

    PYTHONPATH=build/python python3 bench/predict_bench.py DATA_FOLDER [build/app/mnist-mlp]

DATA_FOLDER holds t10k-images.idx3-ubyte and t10k-labels.idx1-ubyte (scripts/get-mnist).
"""
import os
import re
import subprocess
import sys
import tempfile
import time

import mnist_mlp

DEFAULT_SHAPE = [784, 500, 300, 200, 100, 10]
RUNS = 5


def best_seconds(action):
    timings = []
    for _ in range(RUNS):
        start = time.perf_counter()
        action()
        timings.append(time.perf_counter() - start)
    return min(timings)


def verify_seconds(binary, data_folder, ensemble_path):
    output = subprocess.run([binary, "--verify", ensemble_path], cwd=data_folder, check=True,
                            capture_output=True, text=True).stdout
    return float(re.search(r"Verification took ([0-9.e+-]+) seconds", output).group(1))


def main(data_folder, binary="build/app/mnist-mlp"):
    binary = os.path.abspath(binary)
    images, labels = mnist_mlp.read_idx(
        os.path.join(data_folder, "t10k-images.idx3-ubyte"), os.path.join(data_folder, "t10k-labels.idx1-ubyte")
    )
    pixels = images.reshape(len(images), -1)
    inputs = pixels / 255.0
    print(f"{len(images)} images, {os.cpu_count()} processors")
    with tempfile.TemporaryDirectory() as folder:
        for members in (1, 3):
            ensemble = mnist_mlp.Ensemble([mnist_mlp.Network.random(DEFAULT_SHAPE, seed=m) for m in range(members)])
            path = os.path.join(folder, f"{members}.ens")
            ensemble.save(path)
            verify = min(verify_seconds(binary, data_folder, path) for _ in range(RUNS))
            from_bytes = best_seconds(lambda: ensemble.predict(pixels))
            from_doubles = best_seconds(lambda: ensemble.predict(inputs))
            print(f"{members} member(s): --verify {verify:.3f} s, predict {from_doubles:.3f} s (float64), "
                  f"{from_bytes:.3f} s (uint8)")


if __name__ == "__main__":
    main(*sys.argv[1:])
