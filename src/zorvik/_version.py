# The package's version: the one place it is written. pyproject.toml reads it
# from here for the distribution's metadata (scikit-build-core's regex
# provider), zorvik.__version__ imports it, and `python -m zorvik --version`
# prints it.
__version__ = "0.1.0"
