#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are what the test fixtures and the demo feed the library: option
strings, S-record files, the demo's platform.def and flash.types, contents
files, and the byte streams of a flash loader and of boot ROMs that answer as
the stand-in handset does. Run it again after changing an input layout.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def read(path):
    with open(os.path.join(ROOT, path), "rb") as f:
        return f.read()


def word(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def crc32(data):
    # The frames' checksum: the register starts at 1, no final inversion.
    return zlib.crc32(data, 0xFFFFFFFE) ^ 0xFFFFFFFF


# ---- Option strings ---------------------------------------------------------

def option_strings():
    seeds = {
        "flash": "/platform=P1 /com=1,2 /mode=flash /file=image.s19",
        "junk": "junk /com=2",
        "read": '-com:3,4 /maxspeed=921600,57600 /mode=READ /savefile="out file.s19" /read=0x100-0x1FF /read=0-255',
        "verify": '/platform="a b" /com=3 /mode=verify /file="x y.s19" /phases=BL /noretry=1 /asyncerase=1',
        "switches": "/mode=flash /file=f /com=1 /reserved=0x100-0x1FF /reserved=0x0-0xff /diff=0 /extprotect=1 "
                    "/erase=3 /sparenand=1 /debug=1 /eraseunused=1 /unattended=1 /fsformat=1 /phases=fl",
        "long": "/platform=" + "p" * 260 + " /com=1 /mode=flash /file=" + "f" * 249,
        "contents": "/mode=flash_contents /contents=x /com=64",
        "quoted": '/platform="open ended',
    }
    for name, text in seeds.items():
        write("fuzz_option_string", name, text)


# ---- S-record files ---------------------------------------------------------

def srec_line(kind, address, data):
    width = {"0": 2, "1": 2, "2": 3, "3": 4, "5": 2, "7": 4, "8": 3, "9": 2}[kind]
    body = address.to_bytes(width, "big") + data
    count = len(body) + 1
    checksum = (~(count + sum(body))) & 0xFF
    return "S%s%02X%s%02X\n" % (kind, count, body.hex().upper(), checksum)


def srec_file(records, end="9"):
    text = srec_line("0", 0, b"HDR")
    for kind, address, data in records:
        text += srec_line(kind, address, data)
    return text + srec_line(end, 0, b"")


def srec_header(range_check, reserved):
    return bytes([(1 if range_check else 0) | (len(reserved) << 1)]) + b"".join(
        word(first) + word(last) for first, last in reserved)


def srec_files():
    ramp = bytes(range(32))
    plain = srec_file([("3", 0x1000 - 0x1000 + 0x100, ramp), ("3", 0x120, ramp), ("1", 0x800, ramp[:16])])
    write("fuzz_srec", "regions", srec_header(False, []) + plain.encode())
    areas = srec_file([("2", 0x10000, ramp), ("3", 0x10020, ramp), ("3", 0xFFFFF000, ramp)], end="7")
    write("fuzz_srec", "areas", srec_header(True, [(0x2000, 0x2FFF)]) + areas.encode())
    write("fuzz_srec", "reserved", srec_header(True, [(0x100, 0x10F), (0x400, 0x4FF)]) + plain.encode())
    top = srec_file([("3", 0xFFFFFFF0, ramp)])  # runs past the top of the address space
    write("fuzz_srec", "top", srec_header(False, []) + top.replace("\n", "\r\n").encode())
    write("fuzz_srec", "long_line", srec_header(False, []) + b"S3" + b"F" * 300 + b"\n")


# ---- platform.def and flash.types ------------------------------------------

def ini_files():
    write("fuzz_platform_def", "demo", b"\x00DEMO\n" + read("examples/demo/platform.def"))
    nand = ("[N1]\nMIT = 1\nSetupLoader = sl.s19\nFlashLoader = sub\\fl.s19\nFlashLoaderBaseAddr = 0x1000\n"
            "Flash0 = 0,64,60\nFlash1 = 0x4000000,64\n")
    write("fuzz_platform_def", "nand_spare", b"\x01N1\n" + nand.encode())
    active = ("; active boot ROM, one image area\n[A1]\nBootLoader = Active\nFlashLoader = \"fl.s19\"\n"
              "MaxImageSize = 0x10\nSetupLoaderIgnore = 1\nStackBaseAddr = 1x0x20\n")
    write("fuzz_platform_def", "active", b"\x00a1\n" + active.encode())
    write("fuzz_platform_def", "long_name", b"\x00" + b"N" * 250 + b"\n[" + b"N" * 250 + b"]\nFlashLoader=x\n")

    write("fuzz_flash_types", "demo", read("examples/demo/flash.types"))
    catalogue = ("[Description]\n0x0001_0x0000227e = NOR chip\n0x0089_0x00008817 = Intel chip\n"
                 "0x00ec_0x000000dc = NAND chip\n0xffff_0xffffffff = Odd chip\n"
                 "[ChipInfo]\n0x0001_0x0000227e = spansion,BOOT,standard\n0x0089_0x00008817 = intel,UNI,pagebuffer:32\n"
                 "0x00ec_0x000000dc = NAND,BIG,pagebuffer\n0xffff_0xffffffff = amd,ONE,unlockbypass\n"
                 "[Layouts]\nBOOT = 8*8,64*63\nUNI = 128*32\nBIG = 128*4095\nONE = 64\n")
    write("fuzz_flash_types", "four_chips", catalogue)


# ---- Contents files ----------------------------------------------------------

def contents_record(size_word_owner_id, name, data, ffs):
    head = word(len(data)) + word(0x46494C45)
    if ffs:
        owner, file_id = size_word_owner_id
        head += bytes([owner, 0]) + struct.pack("<H", file_id) + name.encode().ljust(256, b"\0")
    else:
        head += name.encode().ljust(260, b"\0")
    return head + data


def contents_section(tag, extra, records):
    body = word(len(records)) + b"".join(word(w) for w in extra) + b"".join(records)
    return tag + word(8 + len(body)) + body


def contents_files():
    ffs = contents_section(b"SFF@", [1, 2], [contents_record((1, 0x100), "", b"abc", True),
                                             contents_record((2, 0x101), "", b"", True)])
    cfs = contents_section(b"SFC@", [], [contents_record(None, "/cfs/file.txt", b"hello", False)])
    fdi = contents_section(b"IDF@", [0x20000000, 0x2000FFFF], [contents_record(None, "fdi.bin", b"\x00" * 8, False)])
    sections = word(3) + ffs + cfs + fdi
    write("fuzz_contents", "three_sections", b"\x00" + sections)
    whole = word(len(ffs) + 12) + word(1) + ffs
    whole = word(sum(whole)) + whole
    write("fuzz_contents", "whole_file", b"\x01" + whole)


# ---- The flash loader's stream ------------------------------------------------

def text(s):
    return s.encode("latin-1")


def reply(command, data=b"", ok=True):
    status = b"+ok!" if ok else b"-err"
    checksum = word(crc32(data)) if data else b""
    return b"rply" + command + status + word(len(data)) + data + checksum + b"eom."


def message(s):
    return b"*msg" + word(len(s)) + text(s) + word(crc32(text(s))) + b"msg."


def dump(first, second, data):
    return b"*dmp" + word(first) + word(second) + word(len(data)) + data + word(crc32(data)) + b"dmp."


def info_reply(chips, speeds, version=0x050D):
    words = [version, len(chips)]
    for slot in range(4):
        words += chips[slot] if slot < len(chips) else [0] * 7
    words += [0x10000, 0x8000] + speeds
    return b"".join(word(w) for w in words)


def line(scenario, stream, silences=()):
    return bytes([scenario, len(silences)]) + b"".join(struct.pack("<H", s) for s in silences) + stream


def fl_streams():
    nor = [0x00010000, 0x227E, 0, 0, 0, 0, 0x20000000]
    info = info_reply([nor], [115200, 460800, 921600, 0, 0])
    error = b"".join(word(w) for w in (7, 1, 2, 3, 4))
    commands = (message("erasing") + dump(0x100, 0x10F, bytes(range(20))) + reply(b"INFO", info) +
                reply(b"CHKC") + b"noise?!!?" + b"syn!" + reply(b"SETP", word(1)) + reply(b"OPEN", error, ok=False) +
                reply(b"TXDT") + reply(b"CLOS") + reply(b"VRFY", word(0x1234)) + reply(b"SUCK", bytes(300)) +
                reply(b"CHKS", word(0xFFFFFFFF)))
    write("fuzz_fl_reply", "commands", line(0x00, commands, silences=(23, 67)))
    handshake = b"#A" + b"syn!" + reply(b"INFO", info) + reply(b"BAUD") + b"syn!"
    write("fuzz_fl_reply", "handshake", line(0x31, handshake))  # speed limit 460800
    intel = [0, 0, 0x00890000, 0x8817, 0, 0, 0x24000000]
    nand = [0, 0, 0, 0, 0x00EC0000, 0xDC, 0x28000000]
    two = info_reply([nor, intel, nand], [115200, 921600, 0, 0, 0])
    two_ports = (b"x#A" + b"syn!" + reply(b"INFO", two) + reply(b"CHKC") + b"#B" + reply(b"BAUD") + b"syn!" +
                 reply(b"BAUD"))
    write("fuzz_fl_reply", "two_ports", line(0x43, two_ports))  # two ports, limit 921600
    legacy = b"#B" + b"syn!" + reply(b"INFO", info_reply([nor], [0] * 5, version=0x050C))
    write("fuzz_fl_reply", "legacy", line(0x05, legacy))


# ---- The boot ROMs' streams ------------------------------------------------------

def bl_reply(command, data=None):
    if data is None:
        return b"resp" + command + b"nack" + b"(hw)"
    checksum = word(crc32(data)) if data else b""
    return b"resp" + command + b"+ok+" + word(len(data)) + data + checksum + b"(hw)"


def info_record(version, rom_type, uart=0, max_transfer=4352, id_register=None):
    record = word(version | rom_type << 16) + text("AB\0\n")[::-1] + word(uart) + word(max_transfer)
    if id_register is not None:
        record += word(4) + word(id_register)
    return record


def boot_streams():
    data_ok = bl_reply(b"data", b"")
    passive = (b"!x!!!" + bl_reply(b"info", info_record(0x0200, 2, id_register=0x100)) + data_ok + data_ok +
               bl_reply(b"done", b""))
    write("fuzz_boot_rom", "passive", line(0x00, passive, silences=(1,)))
    setup = (b"!!!" + bl_reply(b"info", info_record(0x0301, 5, max_transfer=1280)) + bl_reply(b"data") + b"-()-" +
             data_ok + bl_reply(b"done", b"") + b"!!!" + bl_reply(b"info", info_record(0x0101, 0x1234)) +
             data_ok + data_ok + bl_reply(b"done", b""))
    write("fuzz_boot_rom", "setup_loader", line(0x00, setup))
    type1 = (b"!!!" + bl_reply(b"info", info_record(0x0100, 6, id_register=0x20000)) + data_ok +
             bl_reply(b"done", b"") + b"!!!" + bl_reply(b"info", info_record(0x0100, 1, max_transfer=256)))
    write("fuzz_boot_rom", "type1", line(0x01, type1))
    blocks = b"".join(b"B" + struct.pack(">H", k) + b"N" for k in range(2))
    active = b"xO" + b"x" + b"O" + b"K" + b"..Z" + b"E" + b"R" + blocks + b"P"
    write("fuzz_boot_rom", "active", line(0x02, active, silences=(2,)))
    failing = b"OK" + b"Z" + b"E" + b"R" + b"B\x00\x00T\x12\x34" + b"B\x00\x01" + b"B\x00\x00F\x00\x00"
    write("fuzz_boot_rom", "active_failing", line(0x03, failing))


def main():
    option_strings()
    srec_files()
    ini_files()
    contents_files()
    fl_streams()
    boot_streams()


if __name__ == "__main__":
    main()
