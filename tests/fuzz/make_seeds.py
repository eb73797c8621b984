#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/.

Each seed is a small meaningful input in the layout its target's comment
describes. Run it again after changing a layout; the files are committed.
"""
import pathlib
import shutil
import zlib

HERE = pathlib.Path(__file__).resolve().parent
KEY = b"session-key-0123"


def plain_frame(message: bytes) -> bytes:
    """A frame before encryption: header block, message, '*' fill."""
    fill = (16 - len(message) % 16) % 16
    length = 16 + len(message) + fill
    header = bytes([fill, length >> 8, length & 0xFF]) + b"*" * 13
    return header + message + b"*" * fill


def journal_record(kind: bytes, sequence: int, text: bytes = b"") -> bytes:
    """One scan journal record: magic, length, CRC-32 of length and payload, payload."""
    payload = kind + sequence.to_bytes(8, "little") + text
    length = len(payload).to_bytes(4, "little")
    check = zlib.crc32(length + payload).to_bytes(4, "little")
    return b"VXSJ" + length + check + payload


def receive_seed(message: bytes = b"", limit: int = 2048, flags: int = 1, raw: bytes = None) -> bytes:
    """receive_message: key, limit selector, flags, the peer's bytes.

    flags bit 0 has the target encrypt the blocks, so the seed holds the
    plain frame."""
    selector = limit - 1 if 1 <= limit <= 10240 else limit
    body = plain_frame(message) if raw is None else raw
    return KEY + bytes([selector >> 8 & 0xFF, selector & 0xFF, flags]) + body


def command_seed(message: bytes = b"", split: int = 0, flags: int = 1, raw: bytes = None) -> bytes:
    """read_command: key, split, flags, the peer's bytes (plain, see flags bit 0)."""
    body = plain_frame(message) if raw is None else raw
    return KEY + bytes([split >> 8, split & 0xFF, flags]) + body


def handshake_seed(flags: int, *pieces: bytes) -> bytes:
    out = bytes([flags])
    for piece in pieces:
        out += bytes([len(piece)]) + piece
    return out


# Key-event operations of the key_events target.
DOWN, UP, SYS_DOWN, SYS_UP, CHAR, HOLD, PROBE, WINDOW, DIALOG, OK = range(10)
VK = {"ENTER": 0x0D, "TAB": 0x09, "BACK": 0x08, "ESC": 0x1B, "SHIFT": 0xA0, "RSHIFT": 0xA1,
      "CAPS": 0x14}


def key(vk: int) -> bytes:
    return bytes([DOWN, vk, 0, UP, vk, 0])


def typed(text: str) -> bytes:
    return b"".join(key(ord(c)) for c in text)


def event(operation: int, vk: int = 0, extra: int = 0) -> bytes:
    return bytes([operation, vk, extra])


# Operations of the key_translator target.
T_DOWN, T_UP, T_SYS_DOWN, T_SYS_UP, T_PACKET, T_LAYOUT, T_FRONT, T_PROBE = range(8)


def t_key(vk: int, down: bool, sys: bool = False) -> bytes:
    return bytes([(T_SYS_DOWN if sys else T_DOWN) + (0 if down else 1), vk, 0])


def t_stroke(vk: int, sys: bool = False) -> bytes:
    return t_key(vk, True, sys) + t_key(vk, False, sys)


def t_packets(*units: int) -> bytes:
    return b"".join(bytes([T_PACKET, unit >> 8, unit & 0xFF]) for unit in units)


SEEDS = {
    "receive_message": {
        "noop": receive_seed(b"NOOP\r\n"),
        "dbug": receive_seed(b"DBUG 3\r\n"),
        "cnfg": receive_seed(b"CNFG ProtocolElement{<Name:A><Value:1>}"
                             b"DataElement{<Name:X><Source:S><Type:T>}\r\n"),
        "empty_message": receive_seed(b""),
        "sixteen_bytes": receive_seed(b"0123456789ABCDEF"),
        "corrupt_fill": receive_seed(raw=bytes([5, 0, 16]) + b"*" * 13),
        "split_frame": receive_seed(raw=plain_frame(b"PRBE\r\n")[:20]),
        "cut_by_limit": receive_seed(b"PRBE\r\n", limit=20),
        "peer_closed": receive_seed(flags=2, raw=b""),
        "peer_silent": receive_seed(flags=0, raw=b""),
        "peer_gone": receive_seed(b"QUIT\r\n", flags=5),
        "limit_too_large": receive_seed(b"NOOP\r\n", limit=0x8000 | 100),
        "limit_negative": receive_seed(b"NOOP\r\n", limit=0xC000 | 5),
        # The largest frame the frame buffer holds; a seed this long also
        # lets libFuzzer make inputs of this length.
        "largest_frame": receive_seed(b"PRBE " + b"A" * 10217 + b"\r\n", limit=10240),
    },
    "read_command": {
        "noop": command_seed(b"NOOP\r\n"),
        "zero_byte": command_seed(b"DBUG 3\0\r\n"),
        "split_in_header": command_seed(b"PRBE\r\n", split=10),
        "split_after_header": command_seed(b"CNFG ProtocolElement{<Name:A><Value:1>}\r\n", split=16),
        "two_frames_at_once": command_seed(raw=plain_frame(b"NOOP\r\n") + plain_frame(b"PRBE\r\n")),
        "announces_too_much": command_seed(raw=bytes([10, 1, 0]) + b"*" * 13 + b"NOOP\r\n" + b"*" * 10),
        "largest_command": command_seed(b"CNFG " + b"B" * 2025 + b"\r\n", split=1000, flags=3),
        "nothing_waiting": command_seed(raw=b""),
    },
    "handshake": {
        "echo": handshake_seed(4 | 1, KEY, b"", b"*"),
        "echo_peer_silent": handshake_seed(4, KEY, b"", b""),
        "wrong_confirmation": handshake_seed(1, KEY, b"confirmation-cod", b"*"),
        "near_miss": handshake_seed(4 | 1, KEY, b"\0" * 15 + b"\1", b"*"),
        "short_session_code": handshake_seed(1, KEY[:10], KEY[10:], b""),
        "long_session_code": handshake_seed(4 | 1, KEY + b"confirmation-cod", b"", b"*"),
        "silent": handshake_seed(0, b"", b"", b""),
        "peer_gone": handshake_seed(2, KEY, b"confirmation-cod", b"*"),
    },
    "command_words": {
        "noop": b"NOOP\r\n",
        "dbug": b"DBUG 3\r\n",
        "cnfg": b"CNFG ProtocolElement{<Name:A><Value:1>}\r\n",
        "prbe": b"PRBE\r\n",
        "quit": b"QUIT\r\n",
        "updt": b"UPDT\r\n",
        "no_line_end": b"NOOP",
        "lower_case": b"noop\r\n",
        "blanks": b"DBUG \t 2 \r\n",
    },
    "configuration_elements": {
        "protocol": b"\x00ProtocolElement{<Name:A><Value:1>}",
        "data": b"\x00DataElement{<Name:X><Source:S><Type:T>}",
        "both": b"\x00ProtocolElement{<Name:Port><Value:8194>}"
                b"DataElement{<Name:X><Source:S><Type:T>}DataElement{<Name:Y><Source:U><Type:V>}",
        "two_commands": b"\x22ProtocolElement{<Name:A><Value:1>}ProtocolElement{<Name:B><Value:2>}",
        "malformed": b"\x00ProtocolElement{<Name:A>}DataElement{<Name:X><Type:T><Source:S>}",
    },
    "properties_command_line": {
        "port_address_level": b"-P 8194 -I 127.0.0.1 -D 3",
        "lower_case": b"-p 9000 -d 7",
        "restart": b"-X -P 8194 -I 10.0.0.5",
        "letters_in_value": b"-P 80a81",
        "level_two_digits": b"-D 12",
        "allowed_peers": b"-P 8194 -A 127.0.0.2,10.0.0.1 -I 127.0.0.1",
        "allowed_peers_malformed": b"-a 127.0.0.2,,LOCALHOST -P 9000",
    },
    "properties_file": {
        "four_lines": b"8195\r\nC:\\Logs\r\n3000\r\n4000\r\n",
        "two_lines": b"8195\nC:\\Logs\n",
        "one_line": b"8195\r\n",
        "not_numbers": b"8194\r\nlogs\r\nsoon\r\n-12\r\n",
        "allowed_peers": b"8195\r\nC:\\Logs\r\n3000\r\n4000\r\n127.0.0.2,10.0.0.1\r\n",
    },
    "key_events": {
        "abc_enter": b"\x00" + event(DIALOG) + typed("ABC") + key(VK["ENTER"]) + event(PROBE),
        "shift_caps_backspace_tab": b"\x00" + event(DIALOG)
        + event(DOWN, VK["SHIFT"]) + typed("8\xdcA") + event(UP, VK["SHIFT"])
        + key(VK["CAPS"]) + typed("A1") + key(VK["BACK"]) + key(VK["TAB"])
        + event(DIALOG) + typed("Z") + event(OK) + event(PROBE),
        "other_window": b"\x01" + event(WINDOW, 1) + typed("NOTE") + key(VK["ENTER"])
        + event(DIALOG) + typed("SCAN") + key(VK["ENTER"]) + event(OK) + event(PROBE),
        "long_scans": b"\x00" + event(DIALOG) + event(HOLD, ord("X"), 255) + key(VK["ENTER"])
        + event(DIALOG) + event(HOLD, ord("Y"), 200) + key(VK["ENTER"]) + event(PROBE),
    },
    "key_translator": {
        "german_shift_altgr_dead_key": b"\x01" + bytes([T_LAYOUT, 0, 0])
        + t_key(0xA0, down=True) + t_stroke(ord("M")) + t_key(0xA0, down=False)
        + t_stroke(ord("A")) + t_stroke(0xDB)
        + t_key(0xA2, down=True) + t_key(0xA5, down=True) + t_stroke(ord("Q"))
        + t_key(0xA5, down=False) + t_key(0xA2, down=False)
        + t_stroke(0xDC) + t_stroke(ord("E")) + t_stroke(0x0D) + bytes([T_PROBE, 0, 0]),
        "packets_and_surrogates": b"\x01" + t_packets(0xD83D, 0xDE00, 0x00E9, 0xD800, 0x41)
        + t_stroke(0x0D) + bytes([T_PROBE, 0, 0]),
        "alt_numpad": b"\x01" + t_key(0xA4, down=True)
        + b"".join(t_stroke(0x60 + d, sys=True) for d in (0, 2, 3, 3))
        + t_key(0xA4, down=False) + t_stroke(0x0D) + bytes([T_PROBE, 0, 0]),
        "not_in_front": b"\x00" + t_stroke(ord("A")) + bytes([T_FRONT, 1, 0])
        + t_stroke(ord("B")) + t_stroke(0x0D) + bytes([T_PROBE, 0, 0]),
        "too_long_for_an_answer": b"\x01" + t_packets(*[0x20AC] * 690) + t_stroke(0x0D)
        + bytes([T_PROBE, 0, 0]),
    },
    "scan_journal": {
        "empty": b"",
        "three_scans": journal_record(b"S", 1, b"4006381333931") + journal_record(b"S", 2)
        + journal_record(b"S", 3, b"AB-12"),
        "delivered_mark": journal_record(b"S", 1, b"GONE") + journal_record(b"S", 2, b"KEEP")
        + journal_record(b"D", 1),
        "torn_tail": journal_record(b"S", 1, b"WHOLE") + journal_record(b"S", 2, b"TORN")[:15],
        "bad_checksum": journal_record(b"S", 1, b"A")
        + journal_record(b"S", 2, b"B")[:-1] + b"C" + journal_record(b"S", 3, b"D"),
        "garbage_between": journal_record(b"S", 1, b"A") + b"\x00VXSJ\xff\xff"
        + journal_record(b"S", 2, b"B"),
    },
}


def main() -> None:
    for target, seeds in SEEDS.items():
        folder = HERE / "corpus" / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for name, data in seeds.items():
            (folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
