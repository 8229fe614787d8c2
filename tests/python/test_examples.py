# The examples run as the README shows them, on the ensemble of the trained network.
import os
import subprocess
import sys

from conftest import DIGITS, run_mnist_mlp

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def run_example(name, *arguments, folder):
    return subprocess.run([sys.executable, os.path.join(EXAMPLES, name), *map(str, arguments)], cwd=folder,
                          check=True, capture_output=True, text=True).stdout


def test_examples_plot_the_first_layer_and_agree_with_pytorch(trained):
    run_mnist_mlp(trained, "--combine", "single.ens", "trained.net")
    plotted = run_example("plot_first_layer.py", "single.ens", "weights.png", folder=trained)
    assert plotted == "weights.png: the first 16 of the 16 neurons of layer 1\n"
    assert (trained / "weights.png").read_bytes().startswith(b"\x89PNG")
    compared = run_example("compare_with_pytorch.py", "single.ens", DIGITS, folder=trained).splitlines()
    assert compared[0].replace("mnist_mlp", "") == compared[1].replace("PyTorch", "")
    assert compared[2].startswith("answers that differ: 0; largest output difference: ")
    assert float(compared[2].rsplit(" ", 1)[1]) < 1e-12
