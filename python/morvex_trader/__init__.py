"""morvex_trader: the host platform's package.

The compiled modules (security, comhost, tradelink, db, bot) are built into this
tree; the pure-Python modules stand in for the platform core that hosts them.
"""

import os
import sys

if sys.platform == "win32":
    # The compiled modules load the host's shared libraries (the COM runtime, the COM
    # host's core) from _lib. Linux finds them through each module's run path; Windows
    # searches an extension module's dependencies only in folders it has been given.
    _LIB_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_lib")
    if os.path.isdir(_LIB_DIR):
        _lib_dll_directory = os.add_dll_directory(_LIB_DIR)
