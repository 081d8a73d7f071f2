"""Loads the sample model with qelmo, shows what it reports and evaluates it."""

import os
import sys
import tempfile

import numpy as np
import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sample_model  # noqa: E402

import qelmo  # noqa: E402


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "sample.onnx")
        onnx.save(sample_model.build(), path)

        model = qelmo.QelmoModel(path)
        print(f"model:       {model.get_name()}")
        print(f"author:      {model.get_author()}")
        print(f"domain:      {model.get_domain()}")
        print(f"description: {model.get_description()}")
        for name, shape, element_type in model.get_input_details():
            print(f"input:       {name} {element_type} {shape}")
        for name, shape, element_type in model.get_output_details():
            print(f"output:      {name} {element_type} {shape}")

        session = qelmo.QelmoSession(model, qelmo.CPU)
        features = np.array([[1.0, 0.0, 0.0, 1.0], [0.0, 2.0, 1.0, 0.0]], dtype=np.float32)
        session.set_input("features", qelmo.QelmoValue(features))
        outputs = session.evaluate()
        for name in sorted(outputs):
            print(f"{name}:\n{outputs[name].to_numpy()}")


if __name__ == "__main__":
    main()
