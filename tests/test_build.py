import importlib


def test_kernel_module_is_the_installed_extension():
    quarnet = importlib.import_module("vantrel.backend.quarnet")
    assert quarnet.__file__.endswith(".so")
    assert "site-packages" in quarnet.__file__
