"""A Network as a torch.nn.Sequential of Linear and Sigmoid layers, and back.

torch is imported inside the functions, so the package works without it.
"""


def to_torch(network):
    """torch.nn.Sequential(Linear, Sigmoid, ...) in float64 holding copies of the weights."""
    import torch

    layers = []
    for weights, biases in zip(network.weights, network.biases):
        linear = torch.nn.Linear(weights.shape[1], weights.shape[0], dtype=torch.float64)
        with torch.no_grad():
            linear.weight.copy_(torch.from_numpy(weights))
            linear.bias.copy_(torch.from_numpy(biases))
        layers += [linear, torch.nn.Sigmoid()]
    return torch.nn.Sequential(*layers)


def from_torch(module, learning_rate=0.5, weight_decay=1.0, batch_size=10):
    """The Network of a module made of Linear layers, each followed by a Sigmoid."""
    import torch

    from ._core import Network

    children = list(module.children()) if isinstance(module, torch.nn.Sequential) else [module]
    kinds = [type(child) for child in children]
    if not children or kinds != [torch.nn.Linear, torch.nn.Sigmoid] * (len(children) // 2):
        raise ValueError(
            "from_torch takes Linear layers each followed by a Sigmoid, not "
            + ", ".join(kind.__name__ for kind in kinds)
        )
    linears = children[0::2]
    if any(linear.bias is None for linear in linears):
        raise ValueError("from_torch needs every Linear layer to have a bias")
    weights = [linear.weight.detach().cpu().double().numpy() for linear in linears]
    biases = [linear.bias.detach().cpu().double().numpy() for linear in linears]
    return Network(weights, biases, learning_rate, weight_decay, batch_size)
