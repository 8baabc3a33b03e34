# SPDX-License-Identifier: GPL-2.0-or-later
"""The CRC-16 of the AFL trailer, bit by bit, for the Python tests: polynomial 0x1021, register
0xFFFF, final XOR 0xFFFF (check value of "123456789": 0xD64E)."""


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc ^ 0xFFFF


assert crc16(b"123456789") == 0xD64E
