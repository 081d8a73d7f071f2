"""The sample model shipped inside this package (written by
examples/sample_model.py), used when no model is named."""

import os

SAMPLE_MODEL_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample.onnx")
