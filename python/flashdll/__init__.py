"""flashdll for Python: runs flashdll jobs from station scripts.

    import flashdll
    job = flashdll.Job("/platform=DEMO /com=1,2 /mode=flash /file=image.s19",
                       home="/opt/station", ports={1: "/dev/ttyUSB0", 2: "/dev/ttyUSB1"})
    job.on_message = lambda level, text: print(text)
    result = job.run()
    print(result.code, result.name)

The library is the one named by the environment variable FLASHDLL_LIBRARY,
else the installed libflashdll.so.1. Only ctypes and the standard library
are used.
"""

__version__ = "1.0.0"

from ._native import ERR_ABORT, ERR_BAD_CMDLINE, ERR_VERIFY_DIFFERENCE, SUCCESS  # noqa: F401
from .job import CallbackError, Job, Result, error_name  # noqa: F401

__all__ = ["Job", "Result", "CallbackError", "error_name",
           "SUCCESS", "ERR_ABORT", "ERR_VERIFY_DIFFERENCE", "ERR_BAD_CMDLINE"]
