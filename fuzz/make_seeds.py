#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.

The inputs follow the layouts that fuzz/fuzz_checks.cc decodes; rerun
this after changing a layout there. libFuzzer finds the rest by itself.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def le16(v):
    return struct.pack("<H", v & 0xFFFF)


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


# Client-to-lobby messages.
def name(uid, text):
    return b"2N" + le32(uid) + text[:16].ljust(16, b"\0")


def validation(v):
    return b"2V" + le32(v)


def login(uid, key, seats, start):
    return b"2G" + le32(uid) + le32(key) + le16(seats) + le16(start)


def enter(uid, text, key, seats=8, start=8):
    return name(uid, text) + validation(1) + login(uid, key, seats, start)


def room_op(op):
    return b"2L" + le32(op)


def chat(value, text):
    return b"2C" + le32(value) + bytes([len(text)]) + text


def direct(target, value):
    return b"2D" + le16(target) + le32(value)


KEEP_ALIVE = b"2P"

# Client stream inputs: a setup byte (bit 0: logged in first, bit 1: a host
# of the same key holds room 0, bits 2-3: its start size less 2, bits 4-5:
# 4 less the room count), a byte giving how many trailing bytes are chunk
# sizes (1 + value % 8), the client's bytes, then the chunk sizes.
LOGIN = 1
HOST = 2


def stream(flags, body, chunks):
    assert 1 <= len(chunks) <= 8
    return bytes([flags, len(chunks) - 1]) + body + bytes(chunks)


CLIENT_STREAM = {
    "login_sequence": stream(0, enter(7, b"player", 1) + KEEP_ALIVE, [1, 5, 3]),
    "refused_logins": stream(
        0,
        login(7, 2, 8, 8)  # not validated yet
        + validation(1) + login(7, 0, 8, 8) + login(7, -1, 8, 8)  # keys not positive
        + name(8, b"again") + login(8, 3, 8, 8),  # a new name clears the validation
        [2, 14]),
    "room_ops": stream(
        LOGIN,
        room_op(-1) + room_op(-2) + room_op(-1) + room_op(0) + room_op(3) + room_op(-3)
        + room_op(-1) + room_op(-1) + room_op(7) + room_op(-2),
        [7, 2]),
    "join_host_game": stream(
        LOGIN | HOST,
        room_op(0) + direct(0xFFFF, 5) + direct(0, 6) + direct(1, 7) + chat(1, b"gg")
        + room_op(-3) + room_op(0) + room_op(-1),
        [3, 11]),
    "join_and_leave": stream(
        LOGIN | HOST | (1 << 2),
        room_op(0) + room_op(-2) + room_op(0) + room_op(-1) + room_op(0) + room_op(-2),
        [5]),
    "chat_lines": stream(
        LOGIN,
        chat(1, b"hello") + chat(2, b"x" * 73) + chat(3, b"y" * 74) + chat(4, b"")
        + chat(5, b"z" * 255),
        [9, 100, 0]),
    "direct_messages": stream(
        LOGIN,
        room_op(-1) + direct(0xFFFF, 1) + direct(0, 2) + direct(9, 3) + direct(7, 4)
        + direct(0xFFFE, 5) + room_op(-2) + direct(0, 6),
        [4]),
    # Whole receives queue more replies in one pass than the send queue
    # holds; small chunks do not.
    "reply_flood": stream(LOGIN, room_op(-1) * 200, [50]),
    # The same, with a framing error in the pass that overflows: the client
    # is dropped for the framing error, and the replies it lost to the full
    # queue must not count as a difference.
    "reply_flood_then_bad_framing": stream(LOGIN, room_op(-1) * 160 + b"2X", [50]),
    "direct_flood_to_host": stream(
        LOGIN | HOST | (1 << 2),
        room_op(0) + b"".join(direct(0xFFFF, i) for i in range(300)), [0]),
    "framing_unknown_letter": stream(LOGIN, KEEP_ALIVE + b"2X" + KEEP_ALIVE, [1]),
    "framing_missing_mark": stream(LOGIN, room_op(-1) + b"x2P", [6, 1]),
}

# Lobby script inputs: a byte for the room count (1 + value % 4), then
# steps. A step is its code (low four bits; 0x80 adds a pass of the fed
# slot, 0x40 repeats a fed message), for all but connect, tick and pass-all
# a byte choosing among the open slots, for a repeat a count byte (1 + value),
# then its fields.
P = 0x80
R = 0x40


def repeat(step, times):
    """The feeding step `step` (as built below) repeated `times` times."""
    return bytes([step[0] | R, step[1], times - 1]) + step[2:]


def connect():
    return bytes([0x00])


def drop(slot):
    return bytes([0x01, slot])


def s_enter(slot, uid, name_index, key, seats, start, pass_after=True):
    return bytes([0x02 | (P if pass_after else 0), slot, uid, name_index, key - 1, seats, start])


def s_room(slot, op, pass_after=True):
    return bytes([0x07 | (P if pass_after else 0), slot, op + 3])


def s_chat(slot, value, text, pass_after=True):
    return bytes([0x08 | (P if pass_after else 0), slot, value, len(text)]) + text


def s_direct(slot, target, value, pass_after=True):
    code = 10 if target == 0xFFFF else target
    return bytes([0x09 | (P if pass_after else 0), slot, code]) + le32(value)


def s_raw(slot, data, pass_after=True):
    return bytes([0x0A | (P if pass_after else 0), slot, len(data)]) + data


def s_pass(slot):
    return bytes([0x0B, slot])


def pass_all():
    return bytes([0x0C])


def tick(code):
    return bytes([0x0D, code])


def pass_all_later():
    """Passes every slot after 40 ms of clock time: one token at 25 a second."""
    return bytes([0x0F])


ROOMS4 = bytes([3])

LOBBY_SCRIPT = {
    "login_sequence": ROOMS4 + connect() + connect() + s_enter(0, 1, 0, 1, 8, 8)
    + s_enter(1, 2, 1, 1, 8, 8) + pass_all() + pass_all(),
    "room_ops": ROOMS4 + connect() * 3 + s_enter(0, 1, 2, 1, 8, 3) + s_enter(1, 2, 0, 1, 8, 3)
    + s_enter(2, 3, 1, 1, 8, 3) + s_room(0, -1) + pass_all() + s_room(1, 0) + s_room(2, 0)
    + pass_all() + s_room(1, -3) + s_room(2, -2) + s_room(0, -2) + pass_all() + s_room(0, -1)
    + s_room(1, 1) + s_room(0, 4) + pass_all(),
    "chat_lines": ROOMS4 + connect() * 3 + s_enter(0, 1, 0, 2, 8, 8) + s_enter(1, 2, 1, 2, 8, 8)
    + s_enter(2, 3, 5, 3, 8, 8) + s_chat(0, 1, b"hi all") + s_chat(1, 2, b"x" * 73)
    + s_chat(2, 3, b"other group") + pass_all() + pass_all() + pass_all(),
    "direct_messages": ROOMS4 + connect() * 2 + s_enter(0, 1, 2, 1, 8, 8)
    + s_enter(1, 2, 1, 1, 8, 8) + s_room(0, -1) + s_room(1, 0) + s_direct(1, 0xFFFF, 7)
    + s_direct(1, 0, 8) + s_direct(0, 1, 9) + s_direct(0, 9, 10) + pass_all() + pass_all(),
    "game_start_and_drops": bytes([1]) + connect() * 3 + s_enter(0, 1, 2, 4, 2, 2)
    + s_enter(1, 2, 0, 4, 10, 2) + s_enter(2, 3, 4, 4, 1, 2) + s_room(0, -1) + s_room(1, 0)
    + pass_all() + s_room(2, 0) + pass_all() + drop(1) + pass_all() + drop(0) + pass_all()
    + connect() + s_enter(2, 4, 1, 4, 8, 8) + pass_all(),
    "idle_drop": ROOMS4 + connect() * 2 + s_enter(0, 1, 0, 1, 8, 8) + s_room(0, -1)
    + s_enter(1, 2, 1, 1, 8, 8) + tick(3) + pass_all() + tick(0xF0) + pass_all(),
    # The host leaves a member behind; a new room at the same index starts
    # a game the stale member must not see, reach or leave.
    "stale_member_isolation": ROOMS4 + connect() * 4 + s_enter(0, 1, 2, 1, 8, 8)
    + s_enter(1, 2, 0, 1, 8, 8) + s_enter(2, 3, 1, 1, 8, 2) + s_enter(3, 4, 5, 1, 8, 2)
    + s_room(0, -1) + s_room(1, 0) + pass_all() + s_room(0, -2) + pass_all() + s_room(2, -1)
    + s_room(3, 0) + s_direct(1, 0xFFFF, 1) + s_direct(1, 0, 2) + s_chat(1, 1, b"stale")
    + pass_all() + pass_all() + s_room(1, -3) + s_room(1, 0) + pass_all(),
    # A direct queue overflowing while its owner does not pass, then a
    # client whose own replies overflow its send queue.
    "floods": ROOMS4 + connect() * 2 + s_enter(0, 1, 2, 1, 8, 8) + s_enter(1, 2, 0, 1, 8, 8)
    + s_room(0, -1) + s_room(1, 0) + repeat(s_direct(1, 0xFFFF, 5, False), 256)
    + repeat(s_direct(1, 0, 6, False), 100) + pass_all() + pass_all() + pass_all()
    + repeat(s_room(1, -1, False), 200) + pass_all(),
    # A client paced to its burst and held back, the rest of its lines
    # waiting in the kernel; tokens return with time until it has been held
    # ten seconds and is dropped as flooding, while the other still reads.
    "held_flood": ROOMS4 + connect() * 2 + s_enter(0, 1, 0, 1, 8, 8) + s_enter(1, 2, 1, 1, 8, 8)
    + repeat(s_chat(0, 1, b"flood line", False), 250) + pass_all() + pass_all_later() * 3
    + tick(0) + pass_all() + s_chat(1, 2, b"honest") + pass_all_later() + tick(7) + pass_all()
    + tick(2) + pass_all() + pass_all(),
    "framing_error": ROOMS4 + connect() * 2 + s_enter(0, 1, 0, 1, 8, 8)
    + s_enter(1, 2, 1, 1, 8, 8) + s_room(0, -1) + s_room(1, 0)
    + s_raw(1, KEEP_ALIVE + b"2Q" + KEEP_ALIVE) + pass_all() + s_raw(0, b"2L\xff\xff") + s_pass(0)
    + s_raw(0, b"\xff\xffx2") + pass_all(),
}


# Headers a trusted proxy sends, each with the first bytes of its client
# after it where a login would follow in the same packet.
V2_SIGNATURE = b"\r\n\r\n\x00\r\nQUIT\n"


def v2(command, family, body):
    return V2_SIGNATURE + bytes([command, family]) + struct.pack(">H", len(body)) + body


INET4 = bytes([203, 0, 113, 9, 192, 0, 2, 1]) + struct.pack(">HH", 40000, 30009)
INET6 = (bytes.fromhex("20010db8000000000000000000000007")
         + bytes.fromhex("20010db8000000000000000000000001") + struct.pack(">HH", 40000, 30009))

PROXY_HEADER = {
    "v1_tcp4_login": b"PROXY TCP4 203.0.113.9 192.0.2.1 40000 30009\r\n" + enter(7, b"alice", 5),
    "v1_tcp6": b"PROXY TCP6 2001:db8::7 2001:db8::1 40000 30009\r\n",
    "v1_unknown": b"PROXY UNKNOWN\r\n",
    "v1_longest": b"PROXY UNKNOWN " + b"x" * 91 + b"\r\n",
    "v1_bad_port": b"PROXY TCP4 203.0.113.9 192.0.2.1 65536 30009\r\n",
    "v2_inet4_login": v2(0x21, 0x11, INET4) + enter(7, b"alice", 5),
    "v2_inet6_tlvs": v2(0x21, 0x21, INET6 + b"\x01\x00\x02h2\x05\x00\x03xyz"),
    "v2_local": v2(0x20, 0x00, b""),
    "v2_no_family": v2(0x21, 0x00, b"\x04\x00\x00"),
    "v2_unix": v2(0x21, 0x31, b"u" * 216),
    "v2_longest": v2(0x21, 0x11, INET4 + b"T" * (1024 - 12)),
}


def write(target, seeds):
    directory = os.path.join(ROOT, target)
    os.makedirs(directory, exist_ok=True)
    for seed_name, data in seeds.items():
        with open(os.path.join(directory, seed_name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write("client_stream", CLIENT_STREAM)
    write("lobby_script", LOBBY_SCRIPT)
    write("proxy_header", PROXY_HEADER)
