#!/usr/bin/env python3
"""Generates the sample station's data files.

    python3 station/make_station.py [--out DIR]

Writes, into the station folder (default: the folder of this script):
  config.txt         the burn configuration (UTF-16LE, byte-order mark, CR LF)
  burn.ini           the station's own state: active configuration and language
  SDK_CPU_DDR2.ini   project, part numbers, clock pairs and RAM register tables
  producer_fa.bin    a stand-in producer with its "BURN" version block at offset 32
  u-boot.bin         a stand-in boot loader with its "CMDL" block at offset 72 and
                     an "SPIP" marker followed by room for a flash record

Every byte is made here, deterministically: running the script again gives
identical files, so the committed copies can always be checked against it.
"""

import argparse
import os
import struct

PROJECT = "NimbraP4"           # a LINUX project; its part numbers give chip type 8
PART_NUMBERS = ["PN05", "PN01", "PN30", "PN29"]
CHIP_MODEL = "PN05"            # 64 MB class
# Clock pairs (CPU MHz, DDR MHz); PN01 always runs at (800, 400).
CLOCK_PAIRS = [(800, 400), (800, 533), (600, 400), (500, 333)]
CONFIGURED_PAIR = (800, 533)
SIZE_CLASSES = [("16M", 16), ("32M", 32), ("64M", 64), ("128M", 128)]

# SPI NOR chips: JEDEC ID, size, page, program unit, erase block, protect mask
# (block-protect bits of the status register), part number.
SPI_NOR = [
    (0xEF4017, 8 << 20, 0x1C, "W25Q64JV"),
    (0xEF4018, 16 << 20, 0x1C, "W25Q128JV"),
    (0xEF4019, 32 << 20, 0x3C, "W25Q256JV"),
    (0xC22017, 8 << 20, 0x3C, "MX25L6433F"),
    (0xC22018, 16 << 20, 0x3C, "MX25L12835F"),
    (0xC84017, 8 << 20, 0x1C, "GD25Q64C"),
    (0xC84018, 16 << 20, 0x1C, "GD25Q128C"),
    (0x1C7018, 16 << 20, 0x3C, "EN25QH128A"),
    (0x9D6018, 16 << 20, 0x3C, "IS25LP128"),
]
SPI_CLOCK_HZ = 20000000

# SPI NAND chips: ID, page size, pages per block, blocks, spare bytes, part number.
SPI_NAND = [
    (0xEFAA21, 2048, 64, 1024, 64, "W25N01GV"),
    (0xEFAA22, 2048, 64, 2048, 128, "W25N02KV"),
    (0xC8D1, 2048, 64, 1024, 128, "GD5F1GQ4UB"),
    (0xC212, 2048, 64, 1024, 64, "MX35LF1GE4AB"),
    (0x98C2, 2048, 64, 1024, 64, "TC58CVG0S3H"),
    (0xC801, 2048, 64, 1024, 64, "F50L1G41LB"),
]

# Partition list of a 16 MiB SPI NOR image: name, KiB, type, read-write, hidden, medium.
PARTITIONS = [
    ("KERNEL", 2048, "BIN", 1, 0, "SPI_NOR"),
    ("A", 8192, "FS", 1, 0, "SPI_NOR"),
    ("B", 4096, "FS", 1, 0, "SPI_NOR"),
    ("MAC", 64, "DATA", 1, 0, "SPI_NOR"),
    ("SEQ", 64, "DATA", 1, 0, "SPI_NOR"),
    ("ENV", 64, "DATA", 1, 0, "SPI_NOR"),
    ("BTADDR", 64, "DATA", 1, 1, "SPI_NOR"),
]
BIN_DOWNLOADS = [("KERNEL", 0x82008000, 1, 0, "images/uImage")]
FS_IMAGES = [("A", "images/rootfs.sqsh4"), ("B", "images/usr.jffs2")]

# The boot ROM reads DDR pairs up to this address, sent (and kept in the boot
# header) as the address word alone.
RAM_TABLE_END = 0x88888888

PRODUCER_SIZE = 4096
BOOT_SIZE = 64 * 1024
SPIP_OFFSET = 520
BOOT_MAGIC = b"MORVOQ4D"       # boot-header magic of chip type 8
CMDLINE_ADDR = 0x81F00000
CMDLINE = (b"console=ttySQM0,115200n8 root=/dev/mtdblock1 rootfstype=squashfs "
           b"init=/sbin/init mem=64M")


def pseudo_random(count, seed):
    """Deterministic filler bytes (a 32-bit linear congruential generator)."""
    out = bytearray(count)
    state = seed
    for i in range(count):
        state = (state * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = (state >> 16) & 0xFF
    return out


def ram_registers(cpu, ddr, size_mb):
    """A plausible DDR controller set-up for one clock pair and RAM size."""
    cycles = lambda ns: -(-ns * ddr // 1000)           # nanoseconds to DDR clock cycles
    ram_type = 6 if size_mb == 16 else 4 if size_mb == 32 else 5     # m_DDR_16, DDR2_16, DDR32
    column = {16: 1, 32: 2, 64: 2, 128: 3}[size_mb]
    row = {16: 2, 32: 3, 64: 4, 128: 5}[size_mb]
    bank = 1 if size_mb >= 64 else 0
    control = ram_type | (bank << 9) | (column << 10) | (row << 13) | 0x00010000
    cas = 3 if ddr <= 333 else 4 if ddr <= 400 else 5
    trfc = {16: 72, 32: 105, 64: 128, 128: 198}[size_mb]
    return [
        (0x08000004, (cpu // 12 - 1) | ((ddr // 12 - 1) << 8) | 0x00010000),  # PLL dividers
        (0x08000008, 0x0000000F),                                           # clock gates on
        (0x2000E000, control),                                              # type, bank, column, row
        (0x2000E004, ddr * 78 // 10),                                       # refresh every 7.8 us
        (0x2000E008, cycles(15) | (cycles(15) << 8) | (cycles(45) << 16)),  # tRCD, tRP, tRAS
        (0x2000E00C, cycles(trfc)),                                         # tRFC
        (0x2000E010, (cas << 4) | 0x3),                                     # mode register: CAS, burst 8
        (0x2000E014, 0x00000044),                                           # extended mode register
        (0x2000E018, 0x00000303),                                           # drive strength, ODT
        (0x2000E01C, 0x20 + ddr // 50),                                     # DLL delay
        (0x2000E020, size_mb),                                              # RAM size in MB
        (0x21000000, control & 0xFE07),                                     # configuration word copy
        (RAM_TABLE_END, 0),                                                 # end of the table
    ]


def chip_tables():
    lines = ["; Project, part numbers, clock pairs and DDR register tables of the sample station.",
             "[Project_Name]", "project_name=" + PROJECT, "",
             "[Chip_Type]", "chip_type=" + ",".join(PART_NUMBERS), "",
             "[Freq]",
             "ddr_freq=" + ",".join(str(d) for _, d in CLOCK_PAIRS),
             "cpu_freq=" + ",".join(str(c) for c, _ in CLOCK_PAIRS), ""]
    for label, size_mb in SIZE_CLASSES:
        for n, (cpu, ddr) in enumerate(CLOCK_PAIRS, start=1):
            regs = ram_registers(cpu, ddr, size_mb)
            lines.append("[%s_Ram_Param%d]" % (label, n))
            lines.append("reg_num=%d" % len(regs))
            for k, (addr, value) in enumerate(regs, start=1):
                lines.append("reg_addr_value%d=0x%08x,0x%08x" % (k, addr, value))
            lines.append("")
    return "\r\n".join(lines).encode("ascii")


def config_text():
    """config.txt exactly as the station itself writes it."""
    cpu, ddr = CONFIGURED_PAIR
    lines = [
        "###Project Name", "project name = " + PROJECT, "",
        "###Devie Number", "device channel = 1", "",
        "###UART", "uart com = COM1", "uart baud = 115200", "",
        "path producer = producer_fa.bin", "path nandboot = u-boot.bin",
        "path 1k data = init_1k_data.bin", "path ram = DDR3_PHY0_720MHZ.bin", "",
        "producer run addr = 0x80000000", "",
        "ddr_freq_param = %d" % ddr, "cpu_freq_param = %d" % cpu, "",
        "chip type = SOC_FC_E1", "chip model = " + CHIP_MODEL, "chip mode = 1",
        "boot mode flag = 0", "burned mode = 1", "",
        "spinand supported count = %d" % len(SPI_NAND),
    ]
    for i, (cid, page, ppb, blocks, spare, name) in enumerate(SPI_NAND, start=1):
        lines.append("spinand%2d = 0x%x, %4d, %3d, %d, %d, %3d, 0x%x, 0x%x, %d, %s"
                     % (i, cid, page, ppb, blocks, blocks, spare, 0, 0, SPI_CLOCK_HZ, name))
    lines += ["", "sflash supported count = %d" % len(SPI_NOR)]
    for i, (cid, size, protect, name) in enumerate(SPI_NOR, start=1):
        lines.append("sflash%2d = 0x%x, %4d, %4d, %3d, %d, %d, 0x%x, 0x%x, %s, 0x%x"
                     % (i, cid, size, 256, 256, 65536, SPI_CLOCK_HZ, 0, protect, name, 0))
    lines += ["", "partition count = %d" % len(PARTITIONS)]
    for i, (name, kib, kind, rw, hidden, medium) in enumerate(PARTITIONS, start=1):
        lines.append("partition%2d = %s, %d, %s, %d, %d, %s" % (i, name, kib, kind, rw, hidden, medium))
    lines += ["", "bin download count = %d" % len(BIN_DOWNLOADS)]
    for i, (part, addr, compare, backup, path) in enumerate(BIN_DOWNLOADS, start=1):
        lines.append("bin download%2d = %s, 0x%08x, %d, %d, %s" % (i, part, addr, compare, backup, path))
    lines += ["", "fs image count = %d" % len(FS_IMAGES)]
    for i, (part, path) in enumerate(FS_IMAGES, start=1):
        lines.append("fs image%2d = %s, %s" % (i, part, path))
    return "".join(line + "\r\n" for line in lines)


def producer():
    data = pseudo_random(PRODUCER_SIZE, 0x50524F44)
    data[0:32] = b"KESTROW SAMPLE PRODUCER".ljust(32, b"\0")
    # "BURN" and the version: 1.13.10, build 1; offsets 52..59 are patched at download.
    data[32:60] = b"BURN" + struct.pack("<6I", 1, 13, 10, 1, 0, 0)
    return bytes(data)


def boot_loader():
    data = pseudo_random(BOOT_SIZE, 0x55424F54)
    data[0:4] = struct.pack("<I", 0xEA00007E)               # branch over the header
    data[4:12] = BOOT_MAGIC
    data[12:16] = struct.pack("<I", BOOT_SIZE - 512)
    data[16:72] = bytes(56)
    data[72:76] = b"CMDL"
    data[76:80] = struct.pack("<I", CMDLINE_ADDR)
    data[80:208] = CMDLINE.ljust(128, b"\0")
    data[208:SPIP_OFFSET] = bytes(SPIP_OFFSET - 208)
    data[SPIP_OFFSET:SPIP_OFFSET + 4] = b"SPIP"
    data[SPIP_OFFSET + 4:SPIP_OFFSET + 64] = bytes(60)       # the flash record goes here
    tail = b"kestrow sample boot loader\0"
    data[-len(tail):] = tail
    return bytes(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)))
    out = parser.parse_args().out
    os.makedirs(out, exist_ok=True)
    files = {
        "config.txt": b"\xff\xfe" + config_text().encode("utf-16-le"),
        "burn.ini": b"[Open]\r\nOpen=N\r\n[Config]\r\nFile Name=config.txt\r\n[Lang]\r\nLang=English\r\n",
        "SDK_CPU_DDR2.ini": chip_tables(),
        "producer_fa.bin": producer(),
        "u-boot.bin": boot_loader(),
    }
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
