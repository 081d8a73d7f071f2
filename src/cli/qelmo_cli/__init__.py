"""The qelmo command-line tool: look inside an ONNX model and run it."""
