import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
# Tests that compare with onnxruntime's own Python module would otherwise have
# it write a device id and a telemetry queue under the user's cache folder;
# test_privacy.py unsets this for the processes whose home it checks.
os.environ.setdefault("ORT_DISABLE_TELEMETRY", "1")

import models  # noqa: E402


@pytest.fixture
def model_path(tmp_path):
    """A factory: model_path(name, **make_model arguments) -> path of a new file in tmp_path."""

    def build(name="model.onnx", *args, **kwargs):
        return models.make_model(tmp_path / name, *args, **kwargs)

    return build


@pytest.fixture
def identity_path(tmp_path):
    return models.identity_model(tmp_path / "identity.onnx")


@pytest.fixture(scope="session")
def dask_client():
    """A client of one LocalCluster of two worker processes, shared by the
    tests that score on Dask; each test starts with both workers up."""
    pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.fixture
def two_workers(dask_client):
    dask_client.wait_for_workers(2, timeout=60)
    return dask_client
