"""What the shared library exports."""
import shutil
import subprocess
import sys

import pytest

import undarix


@pytest.mark.skipif(not sys.platform.startswith("linux") or shutil.which("nm") is None,
                    reason="reads the ELF dynamic symbol table with nm")
def test_only_the_initialisation_function_is_exported():
    # Hidden visibility alone still exports the C++ runtime's template
    # instantiations and type information as weak symbols, which another
    # library loaded into the process could then bind to; the linker's export
    # list must leave PyInit_undarix alone.
    listing = subprocess.run(["nm", "-D", "--defined-only", undarix.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines() if line.strip()] == ["PyInit_undarix"]
