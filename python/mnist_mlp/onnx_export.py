"""A Network or an Ensemble as an ONNX model (opset 13, float64), written with the onnx package.

The graph takes "input" (n, inputs) and gives "output" (n, outputs). Each member is a chain of
Gemm(x, W, b, transB=1) and Sigmoid per layer, so the initializers hold the weights exactly as
the network file does, (outputs, inputs) row after row; an ensemble's members meet in one Mean.
"""

OPSET = 13


def _member_nodes(network, prefix, helper, numpy_helper):
    nodes, initializers = [], []
    current = "input"
    for k, (weights, biases) in enumerate(zip(network.weights, network.biases)):
        names = [f"{prefix}weights{k}", f"{prefix}biases{k}", f"{prefix}sum{k}", f"{prefix}layer{k}"]
        initializers += [numpy_helper.from_array(weights, names[0]), numpy_helper.from_array(biases, names[1])]
        nodes.append(helper.make_node("Gemm", [current, names[0], names[1]], [names[2]], transB=1))
        nodes.append(helper.make_node("Sigmoid", [names[2]], [names[3]]))
        current = names[3]
    return nodes, initializers, current


def to_onnx_model(model):
    """The onnx.ModelProto of a Network or an Ensemble, checked with onnx.checker (full check)."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    members = model.members if hasattr(model, "members") else [model]
    nodes, initializers, outputs = [], [], []
    for m, network in enumerate(members):
        prefix = f"member{m}_" if len(members) > 1 else ""
        member_nodes, member_initializers, output = _member_nodes(network, prefix, helper, numpy_helper)
        nodes += member_nodes
        initializers += member_initializers
        outputs.append(output)
    if len(members) > 1:
        nodes.append(helper.make_node("Mean", outputs, ["output"]))
    else:
        nodes[-1].output[0] = "output"
    sizes = members[0].layer_sizes
    graph = helper.make_graph(
        nodes,
        "mnist_mlp",
        [helper.make_tensor_value_info("input", TensorProto.DOUBLE, ["n", sizes[0]])],
        [helper.make_tensor_value_info("output", TensorProto.DOUBLE, ["n", sizes[-1]])],
        initializers,
    )
    onnx_model = helper.make_model(
        graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name="mnist_mlp"
    )
    onnx.checker.check_model(onnx_model, full_check=True)
    return onnx_model


def save_onnx(model, path):
    """Replaces the file atomically with the ONNX model of the Network or Ensemble: a reader
    sees the old file or the whole new one, never a part."""
    import os
    import tempfile

    data = to_onnx_model(model).SerializeToString()
    folder = os.path.dirname(os.path.abspath(path))
    descriptor, temporary = tempfile.mkstemp(dir=folder, prefix=".onnx-")
    try:
        with os.fdopen(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise
