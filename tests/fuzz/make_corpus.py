#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into corpus/<target>/.

Seeds are small, valid or nearly valid inputs of our own that show the fuzzer
each format's structure; the sample station's files serve as seeds too. Saved
crash inputs (named crash-*) are kept next to them and never rewritten here.
Run from anywhere: python3 tests/fuzz/make_corpus.py
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)


def utf16(text):
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


def station(name):
    with open(os.path.join(ROOT, "station", name), "rb") as f:
        return f.read()


put("config_txt", "station", station("config.txt"))
put("config_txt", "lists", utf16(
    "project name = P\nchip type = SOC_FA_V2\nchip mode = 1\npartition count = 2\n"
    "partition 1 = A, 64, 0, 1, 0, 0\npartition 2 = KERNEL, 1024, 1, 1, 0, 0\n"
    "bin download count = 1\nbin download 1 = KERNEL, k.bin, 0x80000000, 1, 0\n"
    "fs image count = 1\nfs image 1 = A, r.sqsh4\nspinor count = 1\n"
    "spinor 1 = W25Q128, 0xef4018, 1, 16777216, 256, 256, 65536, 0, 0, 0\n"))
put("config_txt", "utf8", "project name = X\ndevice channel = 4\nuart baud = 921600\n")
put("config_txt", "utf16be", b"\xfe\xff" + "project name = Y\r\nchip model = PN04\r\n".encode("utf-16-be"))
put("config_txt", "malformed", utf16(
    "partition count = 2\npartition 1 = A, 64, EXT4, 1, 0, 0\npartition 2 = B, 64, 1, 1, 0, SPINADN\n"
    "sflash supported count = 1\nsflash 1 = 0xef4018, 16777216\npartition count = 1\n"))

put("private_profile", "station", station("burn.ini"))
put("private_profile", "mixed", "; c\r\n[CONFIG]\r\nOther = \"a b\" \r\nn=-12x\r\n[ config_addr ]\r\nk\r\n=v\r\n[PN\r\n")

put("chip_tables", "station", station("SDK_CPU_DDR2.ini"))
put("chip_tables", "small", "[Project_Name]\nproject_name=NimbraP4\n[Chip_Type]\nchip_type=PN01\n"
    "[Freq]\nddr_freq=400\ncpu_freq=800\n[16M_Ram_Param1]\nreg_num=1\nreg_addr_value1=0x1,0x2\n")

put("ram_config", "valid", "# DDR2 16 bit\r\n[CONFIG_DATA]\r\n0x2000e000, 0x00014406,    //remark\r\n"
    "0x21000000, 0x00004406,    //remark\r\n[END]\r\n")
put("ram_config", "comments", "// x\r\n[CONFIG_DATA]\r\n# y\r\n0x08000004,0x00012041,\r\n[")

entries = "".join('"entry %d",\n' % i for i in range(379))
put("language_file", "full", utf16("Lang{\n" + entries + "}\n"))
put("language_file", "short", utf16('Lang{\n"a",\n"b\n}'))

put("address_pool", "pool", "[config_addr]\r\nmac_current_low0F=N\r\nmac_current_low0A=00:00:10\r\n"
    "mac_current_low1F=Y\r\nmac_current_low1A=00:00:2F\r\nmac_current_low2F=N\r\nmac_current_low2A=zz\r\n"
    "serial_current_low0F=N\r\nserial_current_low0A=000123\r\n")

put("bluetooth_log", "log", "# used\r\n1, 0011223344AA, 7\r\n2, 0011223344ab, 19\r\n3,short,1\r\n")


def password_file(producer, researcher):
    raw = bytearray(1024)
    raw[0:42] = producer.encode("utf-16-le").ljust(42, b"\0")
    raw[42:84] = researcher.encode("utf-16-le").ljust(42, b"\0")
    return bytes(b ^ ((i * (i + 5) + 1) % 256) for i, b in enumerate(raw))


put("password_file", "default", password_file("qelvo", "qelvo"))
put("password_file", "long", password_file("p" * 20, "r\u00e9s"))


def image(boot_blocks, table):
    """A boot page with the "SPIP" flash record, then the table in block boot_blocks."""
    page, block = 256, 4096
    record = struct.pack("<IIIIII", 0, 16 * block * 4, page, 0, block, 0)[:27] + bytes([boot_blocks])
    record += b"FUZZ" + bytes(60 - 32)
    out = bytearray(b"\xff" * (block * (boot_blocks + 2)))
    out[16:20] = b"SPIP"
    out[20:80] = record
    out[block * boot_blocks:block * boot_blocks + len(table)] = table
    out[block * (boot_blocks + 1):block * (boot_blocks + 1) + len(table)] = table
    return bytes(out)


def entry(name, kib, start, kind=0):
    e = bytearray(32)
    e[0], e[1] = kind, 1
    e[2:8] = name.encode().ljust(6, b"\0")
    struct.pack_into("<III", e, 8, kib, start, 0)
    struct.pack_into("<II", e, 20, 0, 0xFFFFFFFF)
    return bytes(e)


table = struct.pack("<I", 2) + entry("A", 8, 4096 * 3) + entry("KERNEL", 16, 4096 * 5, 1)
put("spi_image_inspect", "two_partitions", image(1, table))
put("spi_image_inspect", "erased_table", image(1, b"\xff" * 4))
# The partition target's first byte picks the table's place: 0 = behind "SPIP".
put("partition_table", "found_by_marker", b"\0" + image(1, table))
put("partition_table", "at_block_one", b"\x01" + image(1, table))

# Reader state header: chip type, wait flags, last command, expected echo; then chunks.
put("serial_chunk", "prompt", bytes([8, 1, 0, 0, 14]) + b"Q4_UART_BOOT>#")
put("serial_chunk", "echo", bytes([8, 4, 0, ord("g"), 3]) + b"xgy")
put("serial_chunk", "frames", bytes([8, 8 | 16, 0x20, 0, 20]) + b"<DA>" + bytes(17) + b"</D" + bytes([3]) + b">ab")
put("serial_chunk", "ram_test", bytes([11, 2, 0, 0, 10]) + b"ram test o")
put("frame_parser", "two_frames", b"\x03" + b"xx<DA>one</D><DA>t<DA>two</D>tail<DA>open")
