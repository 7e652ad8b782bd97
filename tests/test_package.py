import nivra
from nivra import _native


def test_version_attribute_and_function_agree():
    assert nivra.__version__ == "0.3.0"
    assert _native.__version__ == "0.3.0"
    assert _native.version() == "0.3.0"
