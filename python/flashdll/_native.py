"""The shared library and its records, as ctypes sees them.

The records mirror include/flashdll/flashdll.h field by field; their sizes
are checked on import so that a change of the header cannot go unnoticed.
"""

import ctypes
import os
import sys
import threading

SUCCESS = 0
ERR_ABORT = 3
ERR_VERIFY_DIFFERENCE = 24
ERR_BAD_CMDLINE = 28

ERROR_NAME_SIZE = 26          # FLASH_ERROR_NAME_SIZE
TEXT_FIELD = 250              # FLASH_TEXT_FIELD
MAX_RANGES = 50               # FLASH_MAX_RANGES
CONTENTS_SLOTS = 4            # FLASH_CONTENTS_SLOTS
CONTENTS_SLOT_SIZE = 17104    # FLASH_CONTENTS_SLOT_SIZE
LOAD_OPTIONS_SIZE = 70296     # sizeof(FlashLoadOptions) on every target

# The file names the library is found under when FLASHDLL_LIBRARY is not
# set: the SONAME of the ABI this module speaks (major version 1).
if sys.platform.startswith("win"):
    _LIBRARY_NAMES = ("libflashdll.dll", "flashdll.dll")
elif sys.platform == "darwin":
    _LIBRARY_NAMES = ("libflashdll.1.dylib",)
else:
    _LIBRARY_NAMES = ("libflashdll.so.1",)


class FlashRange(ctypes.Structure):
    _fields_ = [("first", ctypes.c_uint32), ("last", ctypes.c_uint32)]


class LoadOptions(ctypes.Structure):
    """FlashLoadOptions: one job."""
    _fields_ = [
        ("platform", ctypes.c_char * TEXT_FIELD),
        ("contentsfile", ctypes.c_char * TEXT_FIELD),
        ("file", ctypes.c_char * TEXT_FIELD),
        ("savefile", ctypes.c_char * TEXT_FIELD),
        ("contents", (ctypes.c_uint8 * CONTENTS_SLOT_SIZE) * CONTENTS_SLOTS),
        ("com", ctypes.c_uint32 * 2),
        ("maxspeed", ctypes.c_uint32 * 2),
        ("mode", ctypes.c_uint32),
        ("contentsmode", ctypes.c_uint32),
        ("erase", ctypes.c_uint32),
        ("phases", ctypes.c_uint32),
        ("pollingvariant", ctypes.c_uint32),
        ("reservedcount", ctypes.c_uint32),
        ("reserved", FlashRange * MAX_RANGES),
        ("readcount", ctypes.c_uint32),
        ("read", FlashRange * MAX_RANGES),
    ] + [(name, ctypes.c_uint32) for name in (
        "debug", "eraseunused", "sparenand", "fsformat", "extprotect", "noretry", "unattended", "diff",
        "asyncerase")]


class HostDescriptor(ctypes.Structure):
    """FlashHostDescriptor: the callbacks and the session pointer."""


_Host = ctypes.POINTER(HostDescriptor)
ProgressBegin = ctypes.CFUNCTYPE(None, _Host, ctypes.c_char_p, ctypes.c_uint32)
ProgressUpdate = ctypes.CFUNCTYPE(None, _Host, ctypes.c_uint32, ctypes.c_uint32)
ProgressEnd = ctypes.CFUNCTYPE(None, _Host)
StatusText = ctypes.CFUNCTYPE(None, _Host, ctypes.c_char_p)
Message = ctypes.CFUNCTYPE(None, _Host, ctypes.c_uint32, ctypes.c_char_p)
PollAbort = ctypes.CFUNCTYPE(ctypes.c_int32, _Host)

HostDescriptor._fields_ = [
    ("size", ctypes.c_uint32),
    ("OnProgressBegin", ProgressBegin),
    ("OnProgressUpdate", ProgressUpdate),
    ("OnProgressEnd", ProgressEnd),
    ("OnStatusText", StatusText),
    ("OnMessage", Message),
    ("OnPollAbort", PollAbort),
    ("session", ctypes.c_void_p),
]

if ctypes.sizeof(LoadOptions) != LOAD_OPTIONS_SIZE:
    raise ImportError("flashdll: the load options record has %d bytes, not %d"
                      % (ctypes.sizeof(LoadOptions), LOAD_OPTIONS_SIZE))

_PROTOTYPES = {
    "FlashInit": (_Host, ctypes.POINTER(LoadOptions)),
    "FlashFinish": (_Host,),
    "FlashParseOptionString": (_Host, ctypes.c_char_p, ctypes.POINTER(ctypes.c_uint32),
                               ctypes.POINTER(LoadOptions)),
    "FlashMakeOptionString": (ctypes.POINTER(LoadOptions), ctypes.c_char_p, ctypes.c_uint32),
    "FlashLoad": (_Host, ctypes.POINTER(LoadOptions)),
    "FlashGetErrorString": (ctypes.c_uint32, ctypes.c_char_p),
}

_library = None
_library_lock = threading.Lock()


def _open():
    """The library named by FLASHDLL_LIBRARY, else the installed one."""
    path = os.environ.get("FLASHDLL_LIBRARY")
    if path:
        return ctypes.CDLL(path)
    errors = []
    for name in _LIBRARY_NAMES:
        try:
            return ctypes.CDLL(name)
        except OSError as error:
            errors.append(str(error))
    raise OSError("flashdll: the library was not found (set FLASHDLL_LIBRARY to its path): "
                  + "; ".join(errors))


def library():
    """The loaded library with the prototypes of its six exports; loaded on first use."""
    global _library
    with _library_lock:
        if _library is None:
            loaded = _open()
            for name, arguments in _PROTOTYPES.items():
                function = getattr(loaded, name)
                function.argtypes = arguments
                function.restype = ctypes.c_uint32
            _library = loaded
        return _library
