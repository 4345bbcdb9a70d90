"""The package version, written here and nowhere else: the build runs this file to read it."""

__version__ = "0.1.0"

if __name__ == "__main__":
    print(__version__)
