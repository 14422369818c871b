"""Jobs: an option string run through the library, with Python callbacks."""

import contextlib
import ctypes
import os
import threading
from typing import NamedTuple

from . import _native

MAX_COM_NUMBER = 64
_OPTION_STRING_SIZE = 8192  # more than the longest option string a record gives

# The library finds the home directory and each COM port's device through
# environment variables, which belong to the whole process and which a job
# sets for its run: one job at a time in a process, so every use of a session
# goes through this lock. Several handsets at once take a process each, as
# flashcli --handsets does.
_session_lock = threading.Lock()


class Result(NamedTuple):
    """The result of a job: its error code and the code's name."""
    code: int
    name: str

    @property
    def ok(self):
        return self.code == _native.SUCCESS


class CallbackError(Exception):
    """A callback raised an exception; the job was aborted.

    `result` holds the job's result, `__cause__` the callback's exception.
    """

    def __init__(self, result):
        super().__init__("a callback raised an exception; the job ended with %s" % result.name)
        self.result = result


def error_name(code):
    """The name of an error code: "ERR_TIMEOUT", "Unknown error: 39" ..."""
    buffer = ctypes.create_string_buffer(_native.ERROR_NAME_SIZE)
    _native.library().FlashGetErrorString(code, buffer)
    return buffer.value.decode("ascii", "replace")


def _text(raw):
    return raw.decode("utf-8", "replace") if raw else ""


def _field(value, what):
    """A path as the bytes of a record's text field; ValueError when it does not fit."""
    data = os.fsencode(value)
    if len(data) >= _native.TEXT_FIELD:
        raise ValueError("flashdll: %s has %d bytes; at most %d fit" % (what, len(data), _native.TEXT_FIELD - 1))
    return data


@contextlib.contextmanager
def _environment(variables):
    """Sets environment variables for the duration of a job, then restores them."""
    saved = {name: os.environ.get(name) for name in variables}
    os.environ.update(variables)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


@contextlib.contextmanager
def _session():
    """FlashInit ... FlashFinish around a block: yields the library, the host descriptor and the record."""
    if not _session_lock.acquire(blocking=False):
        raise RuntimeError("flashdll: another job is running in this process")
    try:
        library = _native.library()
        host = _native.HostDescriptor(size=ctypes.sizeof(_native.HostDescriptor))
        record = _native.LoadOptions()
        code = library.FlashInit(ctypes.byref(host), ctypes.byref(record))
        if code != _native.SUCCESS:
            raise OSError("flashdll: FlashInit failed with %s" % error_name(code))
        try:
            yield library, host, record
        finally:
            library.FlashFinish(ctypes.byref(host))
    finally:
        _session_lock.release()


class Job:
    """One job, described by an option string such as
    "/platform=P1 /com=1,2 /mode=flash /file=image.s19".

    home:  directory of platform.def, flash.types and the loader files
           (FLASHDLL_HOME); without it, the directory of the Python program.
    ports: {COM number: device path}, for example {1: "/dev/ttyUSB0"}
           (FLASHDLL_COM<n>); COM ports not named are /dev/ttyS<n-1>.
    contents_file, contents_mode, polling_variant: the record's fields that
           the option string has no key for.

    Callbacks, all optional, run on the library's delivery thread while the
    job runs (on the calling thread during the parse):
      on_message(level, text)   level 0 information, 1 warning, 2 error
      on_status(text)
      on_progress_begin(title, total), on_progress_update(current, percent),
      on_progress_end()
      on_poll_abort() -> bool   asked about every 750 ms; true aborts
    An exception in a callback aborts the job; run() then raises CallbackError.
    """

    def __init__(self, options, *, home=None, ports=None, contents_file=None, contents_mode=0,
                 polling_variant=0, on_message=None, on_status=None, on_progress_begin=None,
                 on_progress_update=None, on_progress_end=None, on_poll_abort=None):
        self.options = options
        self.home = home
        self.ports = dict(ports or {})
        self.contents_file = contents_file
        self.contents_mode = contents_mode
        self.polling_variant = polling_variant
        self.on_message = on_message
        self.on_status = on_status
        self.on_progress_begin = on_progress_begin
        self.on_progress_update = on_progress_update
        self.on_progress_end = on_progress_end
        self.on_poll_abort = on_poll_abort
        self._abort = threading.Event()
        self._callback_error = None

    def abort(self):
        """Asks the running job (or the next one) to stop; it then ends with ERR_ABORT.

        May be called from any thread or from a callback."""
        self._abort.set()

    def run(self):
        """Runs the job to its end and returns its Result."""
        self._callback_error = None
        try:
            with _environment(self._variables()), _session() as (library, host, record):
                self._install_callbacks(host)
                code = self._parse(library, host, record)
                if code == _native.SUCCESS:
                    code = library.FlashLoad(ctypes.byref(host), ctypes.byref(record))
        finally:
            self._abort.clear()
        result = Result(code, error_name(code))
        if self._callback_error is not None:
            raise CallbackError(result) from self._callback_error
        return result

    def option_string(self):
        """The option string the library makes of this job's record (FlashMakeOptionString)."""
        with _environment(self._variables()), _session() as (library, host, record):
            code = self._parse(library, host, record)
            if code != _native.SUCCESS:
                raise ValueError("flashdll: option string refused (%s)" % error_name(code))
            buffer = ctypes.create_string_buffer(_OPTION_STRING_SIZE)
            code = library.FlashMakeOptionString(ctypes.byref(record), buffer, len(buffer))
            if code != _native.SUCCESS:
                raise ValueError("flashdll: no option string for this record (%s)" % error_name(code))
            return _text(buffer.value)

    def _variables(self):
        variables = {}
        if self.home is not None:
            variables["FLASHDLL_HOME"] = os.fspath(self.home)
        for number, path in self.ports.items():
            if not 1 <= int(number) <= MAX_COM_NUMBER:
                raise ValueError("flashdll: COM number %r is not 1 .. %d" % (number, MAX_COM_NUMBER))
            variables["FLASHDLL_COM%d" % int(number)] = os.fspath(path)
        return variables

    def _parse(self, library, host, record):
        """Fills the record from the option string, then sets the fields it has no key for."""
        code = library.FlashParseOptionString(ctypes.byref(host), os.fsencode(self.options), None,
                                              ctypes.byref(record))
        if code == _native.SUCCESS:
            if self.contents_file is not None:
                record.contentsfile = _field(self.contents_file, "the contents file's path")
            record.contentsmode = self.contents_mode
            record.pollingvariant = self.polling_variant
        return code

    def _install_callbacks(self, host):
        """Sets the host descriptor's callbacks (after FlashInit, which clears them)."""
        wanted = [  # field, prototype, the host's callable, how texts reach it
            ("OnMessage", _native.Message, self.on_message, lambda f: lambda level, raw: f(level, _text(raw))),
            ("OnStatusText", _native.StatusText, self.on_status, lambda f: lambda raw: f(_text(raw))),
            ("OnProgressBegin", _native.ProgressBegin, self.on_progress_begin,
             lambda f: lambda raw, total: f(_text(raw), total)),
            ("OnProgressUpdate", _native.ProgressUpdate, self.on_progress_update, lambda f: f),
            ("OnProgressEnd", _native.ProgressEnd, self.on_progress_end, lambda f: f),
        ]
        for field, prototype, function, adapt in wanted:
            if function is not None:
                setattr(host, field, prototype(self._guarded(adapt(function), None)))
        # Always present, so that abort() works without a callback of the host's.
        host.OnPollAbort = _native.PollAbort(self._guarded(self._poll_abort, 1))

    def _poll_abort(self):
        if self._abort.is_set():
            return 1
        return 1 if self.on_poll_abort is not None and self.on_poll_abort() else 0

    def _guarded(self, function, on_error):
        """Calls function without the host pointer; an exception aborts the job and is kept for run()."""
        def call(_host, *args):
            try:
                return function(*args)
            except BaseException as error:  # noqa: B036 - nothing may unwind into the library
                if self._callback_error is None:
                    self._callback_error = error
                self._abort.set()
                return on_error
        return call
