"""On Windows the package gives its _lib folder to the DLL search before any compiled
module loads: Python looks for an extension module's DLLs only in folders it was given."""

from __future__ import annotations

import ast
import os
import subprocess
import sys
import textwrap

import morvex_trader

LIB = os.path.join(os.path.dirname(os.path.abspath(morvex_trader.__file__)), "_lib")


def folders_added_on_import(platform: str) -> list[str]:
    script = textwrap.dedent(
        f"""
        import os, sys
        added = []
        sys.platform = {platform!r}
        os.add_dll_directory = lambda path: added.append(path)
        import morvex_trader
        print(repr(added))
    """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return ast.literal_eval(out.stdout)


def test_on_windows_the_lib_folder_joins_the_dll_search():
    assert folders_added_on_import("win32") == [LIB]


def test_elsewhere_the_run_path_serves_and_nothing_is_added():
    assert folders_added_on_import("linux") == []
