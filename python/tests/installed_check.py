"""Run by check_install.cmake with an installed package: it imports from where it was
installed, finds its table of meanings in the package, finds the library (under the
directory given as the first argument, when one is given) and drives the virtual board."""

from __future__ import annotations

import os
import sys
from importlib import resources

import mviahlp
from mviahlp import _library, vboard

package = os.path.dirname(os.path.abspath(mviahlp.__file__))
assert package.startswith(os.path.abspath(sys.argv[1])), f"imported from {package}"
assert resources.files("mviahlp").joinpath("error-meanings.json").is_file(), "no error-meanings.json in the package"
assert resources.files("mviahlp").joinpath("py.typed").is_file(), "no py.typed in the package"
if len(sys.argv) > 2:
    library = os.path.realpath(_library.native().path)
    assert library.startswith(os.path.realpath(sys.argv[2])), f"library loaded from {library}"
vboard.create(vboard.Geometry.standard(4, 4, 1))
with mviahlp.open() as board:
    assert board.info().user_count == 4
    try:
        board.read_user(5)
    except mviahlp.OutOfRangeError as error:
        assert error.last_error_meaning.startswith("out of range"), error.last_error_meaning
    else:
        raise AssertionError("user 5 of 4 was read")
print("installed package works:", package, _library.native().path)
