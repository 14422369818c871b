"""Fixtures for jobs against the stand-in handset.

A station is a home directory with the demo's platform.def and flash.types,
loader S-records made of random bytes, and the handsetsim program started
per job on pseudo-terminals (the demo scenario: two UARTs, a passive boot
ROM asking for a setup loader, two 4 MiB NOR chips at 0x20000000).

handsetsim is FLASHDLL_HANDSETSIM, else the one in the build tree beside
FLASHDLL_LIBRARY, else the one on PATH.
"""

import os
import pathlib
import random
import shutil
import subprocess
import sys

import pytest

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(PYTHON_DIR))  # the package from this tree, installed or not
REPOSITORY = PYTHON_DIR.parent
DEMO = REPOSITORY / "examples" / "demo"

IMAGE_BASE = 0x20000000
SETUP_LOADER = ("setup.s19", 0x08000000, 2048)  # name, base, size: as platform.def names them
FLASH_LOADER = ("flash.s19", 0x08020000, 4096)
HANDSET_START_LINES = 2  # "UART0 /dev/pts/N", "UART1 ..."
HANDSET_STOP_TIMEOUT_S = 30


def srecord_text(address, data):
    """S0 header, S3 records of up to 32 bytes, S7 end."""
    def record(kind, body):
        return "S%s%s%02X" % (kind, body.hex().upper(), ~sum(body) & 0xFF)
    lines = ["S00600004844521B"]
    for at in range(0, len(data), 32):
        chunk = data[at:at + 32]
        lines.append(record("3", bytes([len(chunk) + 5]) + (address + at).to_bytes(4, "big") + chunk))
    lines.append(record("7", bytes([5, 0, 0, 0, 0])))
    return "\n".join(lines) + "\n"


def handsetsim_program():
    if os.environ.get("FLASHDLL_HANDSETSIM"):
        return os.environ["FLASHDLL_HANDSETSIM"]
    library = os.environ.get("FLASHDLL_LIBRARY")
    if library:
        beside = pathlib.Path(library).resolve().parent.parent / "tools" / "handsetsim" / "handsetsim"
        if beside.is_file():
            return str(beside)
    found = shutil.which("handsetsim")
    if found is None:
        pytest.fail("handsetsim not found: set FLASHDLL_HANDSETSIM to the program")
    return found


class Handset:
    """One handsetsim process; its flash lives in a file shared by the station's jobs."""

    def __init__(self, station, scenario):
        self.report = station.root / "handset.report"
        self.errors = station.root / "handset.errors"
        with open(self.errors, "w") as errors:
            self.process = subprocess.Popen(
                [handsetsim_program(), "--until-eof", "--flash-file", str(station.root / "handset.flash"),
                 "--report", str(self.report), str(scenario)],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors, text=True)
        lines = [self.process.stdout.readline().split() for _ in range(HANDSET_START_LINES)]
        self.uarts = [words[1] for words in lines if len(words) == 2 and words[0].startswith("UART")]
        if len(self.uarts) != HANDSET_START_LINES:
            self.process.kill()
            pytest.fail("handsetsim did not start: " + self.errors.read_text())

    def stop(self):
        self.process.stdin.close()
        code = self.process.wait(timeout=HANDSET_STOP_TIMEOUT_S)
        assert code == 0, "handsetsim ended with %d: %s" % (code, self.errors.read_text())


class Station:
    def __init__(self, root):
        self.root = root
        self.home = root / "home"
        (self.home / "loaders").mkdir(parents=True)
        for name in ("platform.def", "flash.types"):
            shutil.copy(DEMO / name, self.home / name)
        generator = random.Random(1)
        for name, base, size in (SETUP_LOADER, FLASH_LOADER):
            data = bytes(generator.getrandbits(8) for _ in range(size))
            (self.home / "loaders" / name).write_text(srecord_text(base, data))

    def write_image(self, name, data):
        path = self.root / name
        path.write_text(srecord_text(IMAGE_BASE, data))
        return path

    def scenario(self, faults=""):
        """The demo's handset, with a [faults] section when one is given."""
        text = (DEMO / "handset.ini").read_text()
        if faults:
            text += "\n[faults]\n" + faults + "\n"
        path = self.root / "handset.ini"
        path.write_text(text)
        return path

    def start_handset(self, faults=""):
        return Handset(self, self.scenario(faults))


@pytest.fixture
def station(tmp_path):
    return Station(tmp_path)
