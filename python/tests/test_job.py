"""Jobs through the Python module against the stand-in handset."""

import os
import random
import re
import threading

import pytest

import flashdll
from conftest import REPOSITORY, IMAGE_BASE

IMAGE_SIZE = 96 * 1024        # the eight 8-KiB boot sectors and half a 64-KiB sector
CHANGED_BYTE = 70000          # inside the 64-KiB sector


def job_on(handset, station, options, **arguments):
    return flashdll.Job("/platform=DEMO /com=1,2 /maxspeed=921600,921600 " + options, home=station.home,
                        ports={1: handset.uarts[0], 2: handset.uarts[1]}, **arguments)


def run_on_new_handset(station, options, **arguments):
    handset = station.start_handset()
    try:
        return job_on(handset, station, options, **arguments).run()
    finally:
        handset.stop()


def test_flash_then_verify_finds_a_changed_byte(station):
    image = bytes(random.Random(2).getrandbits(8) for _ in range(IMAGE_SIZE))
    changed = bytearray(image)
    changed[CHANGED_BYTE] ^= 0xFF
    flashed, other = station.write_image("image.s19", image), station.write_image("changed.s19", bytes(changed))
    messages, percents = [], []

    result = run_on_new_handset(station, "/mode=flash /file=%s" % flashed,
                                on_message=lambda level, text: messages.append((level, text)),
                                on_progress_update=lambda current, percent: percents.append(percent))
    assert result == (flashdll.SUCCESS, "SUCCESS") and result.ok, messages
    assert (0, "All is well !") in messages
    assert percents and all(0 <= p <= 100 for p in percents)
    assert not any(name.startswith("FLASHDLL_COM") for name in os.environ), "ports outlived the job"

    assert run_on_new_handset(station, "/mode=verify /file=%s" % flashed) == (0, "SUCCESS")
    result = run_on_new_handset(station, "/mode=verify /file=%s" % other)
    assert result == (flashdll.ERR_VERIFY_DIFFERENCE, "ERR_VERIFY_DIFFERENCE")
    assert not result.ok


WATCHDOG_S = 20  # a job that was not aborted by then is aborted by the test, which fails


def abort_by_poll(job, powered_on):
    job.on_poll_abort = lambda: powered_on.is_set()


def abort_from_callback(job, powered_on):
    job.on_progress_begin = lambda title, total: job.abort() if "Power on" in title else None


def abort_from_another_thread(job, powered_on):
    threading.Thread(target=lambda: powered_on.wait(WATCHDOG_S) and job.abort(), daemon=True).start()


def waiting_job(handset, station, **arguments):
    """A job whose handset never answers the boot ROM's pings: only an abort ends it.

    Returns the job; the event set once it asks for power; the event the test
    sets when the job has ended; and the flag of a watchdog that aborts the
    job itself when the test's abort has not ended it in time."""
    powered_on, finished, watchdog_fired = threading.Event(), threading.Event(), threading.Event()
    job = job_on(handset, station, "/mode=verify /file=%s" % station.write_image("image.s19", b"\1" * 64),
                 on_message=lambda level, text: powered_on.set() if "Power on" in text else None, **arguments)

    def watchdog():
        if not powered_on.wait(WATCHDOG_S) or not finished.wait(WATCHDOG_S):
            watchdog_fired.set()
            job.abort()
    threading.Thread(target=watchdog, daemon=True).start()
    return job, powered_on, finished, watchdog_fired


@pytest.mark.parametrize("abort", [abort_by_poll, abort_from_callback, abort_from_another_thread])
def test_abort_ends_a_waiting_job(station, abort):
    handset = station.start_handset(faults="boot_silent = yes")
    try:
        job, powered_on, finished, watchdog_fired = waiting_job(handset, station)
        abort(job, powered_on)
        result = job.run()
        finished.set()
        assert not watchdog_fired.is_set(), "the abort did not end the job"
        assert result == (flashdll.ERR_ABORT, "ERR_ABORT")
    finally:
        handset.stop()


def test_a_callback_that_raises_aborts_the_job(station):
    def broken(title, total):
        raise KeyError(title)
    handset = station.start_handset(faults="boot_silent = yes")
    try:
        job, _, finished, watchdog_fired = waiting_job(handset, station, on_progress_begin=broken)
        with pytest.raises(flashdll.CallbackError) as raised:
            job.run()
        finished.set()
        assert not watchdog_fired.is_set(), "the failed callback did not end the job"
        assert raised.value.result == (flashdll.ERR_ABORT, "ERR_ABORT")
        assert isinstance(raised.value.__cause__, KeyError)
    finally:
        handset.stop()


def test_a_refused_option_string_ends_the_job_before_it_starts():
    messages = []
    result = flashdll.Job("/platform=DEMO /nosuch=1",
                          on_message=lambda level, text: messages.append((level, text))).run()
    assert result == (flashdll.ERR_BAD_CMDLINE, "ERR_BAD_CMDLINE")
    assert (2, "Unknown option: nosuch") in messages


def test_names_and_option_strings_come_from_the_library():
    assert flashdll.error_name(6) == "ERR_TIMEOUT"
    assert flashdll.error_name(39) == "Unknown error: 39"
    text = flashdll.Job("/platform=DEMO /com=2 /mode=read /savefile=out.s19 /read=0x%x-0x%x"
                        % (IMAGE_BASE, IMAGE_BASE + 0xFFFF)).option_string()
    assert "/mode=READ" in text and "/read=0x20000000-0x2000ffff" in text and "/com=2" in text
    # The contents file has no key: the module writes it into the record.
    text = flashdll.Job("/platform=DEMO /com=1 /mode=contents", contents_file="files.bin",
                        contents_mode=5).option_string()
    assert '/contents="files.bin"' in text
    with pytest.raises(ValueError):
        flashdll.Job("/nosuch=1").option_string()


def test_the_package_version_is_the_header_version():
    header = (REPOSITORY / "include" / "flashdll" / "flashdll.h").read_text()
    assert flashdll.__version__ == re.search(r'FLASHDLL_VERSION_STRING "([^"]+)"', header).group(1)
