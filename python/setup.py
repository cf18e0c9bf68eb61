"""Packs the table of error meanings, which lives beside klia's sources in share/, into the
package, so that an installed package carries the very words klia prints."""

import os

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
MEANINGS = os.path.join(HERE, "..", "share", "error-meanings.json")


class BuildWithMeanings(build_py):  # type: ignore[misc]
    def run(self) -> None:
        super().run()
        if not os.path.exists(MEANINGS):
            raise SystemExit(f"{MEANINGS} is missing: build the package from a complete mviahlp source tree")
        self.copy_file(MEANINGS, os.path.join(self.build_lib, "mviahlp", "error-meanings.json"))


setup(cmdclass={"build_py": BuildWithMeanings})
