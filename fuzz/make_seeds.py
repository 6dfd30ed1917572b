#!/usr/bin/python3
"""Writes the seed corpora of the fuzz targets (see the layouts at the top of each target).
Inputs that fuzzing found to reach new code sit beside them under their hash names."""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent / "tests" / "data"


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(frame):
    return bytes(frame) + struct.pack("<H", crc16(frame))


def write(target, name, data):
    folder = HERE / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def config(name, text, cut=0):
    if isinstance(text, str):
        text = text.encode()
    write("fuzz_config_reader", name, struct.pack("<H", cut) + text)


def document(body, device="varnel", version="1.0"):
    return ('<configuration version="%s">\n  <device name="%s">\n%s  </device>\n</configuration>\n'
            % (version, device, body))


def param(address, value, type_="uint16"):
    return '    <parameter type="%s" address="%s">%s</parameter>\n' % (type_, address, value)


for name, cut in [("config_full_0relays", 600), ("config_rtd_0relays", 51),
                  ("config_full_2relays_dnp3", 1317), ("config_rtd_2relays", 1000)]:
    config(name, (DATA / (name + ".cfg")).read_bytes(), cut)
config("rtd_name_in_full", document(param(0, 1), device="varnel0"), 70)
config("address_bounds", document(param(0, 1) + param(1023, 65535) + param(1024, 7)), 95)
config("address_negative", document(param(-1, 7)), 80)
config("address_huge", document(param("99999999999999999999", 7)), 100)
config("address_spaces_sign", document(param(" +12", " -3") + param("7x", "0x10")), 64)
config("value_overflow", document(param(3, "4294967297") + param(4, "65536")), 120)
config("value_text", document(param(3, "abc")), 90)
config("value_long_utf8", document(param(3, "1" + "é" * 80)), 140)
config("value_entities", document(param(3, "&#49;&#x32;&amp;")), 100)
config("version_two", document(param(0, 1), version="2.0"), 10)
config("version_comma", document(param(0, 1), version="1,0"), 10)
config("unknown_element", document("<register address=\"1\">2</register>\n"), 60)
config("unknown_attribute", document(param(0, 1).replace("type=", "kind=")), 60)
config("type_int32", document(param(0, 1, "int32")), 60)
config("no_type_no_address",
       document('<parameter>5</parameter><parameter address="2">6</parameter>'), 60)
config("closing_mismatch", document("<parameter type=\"uint16\" address=\"1\">2</device>"), 60)
config("truncated", document(param(8, 9))[:90], 45)
config("nested_parameter", document("<parameter address=\"1\" type=\"uint16\">"
                                    "<parameter/></parameter>"), 75)
config("comment_cdata_pi", document("<!-- c --><?pi x?>" + param(2, "<![CDATA[12]]>")), 66)
config("invalid_utf8", b'<configuration version="1.0"><device name="\xff\xfe">', 30)
# GLib words its own syntax errors differently when the fault spans the cut.
config("cut_in_odd_character", b'<configuration version="1.0"><device nam=\xde\x90>', 42)
config("cut_in_invalid_name", document(param(1, 1)).encode() + b"<confi" + b"\xca" * 32 + b'guration version="0.0">\n  <devic</parameter>\n  </device>\n</configuration>\n', 200)
config("two_configurations", document(param(1, 1)) + document(param(2, 2)), 200)


def shape_of(cuts):
    shape = len(cuts)
    for i, (_, kind) in enumerate(cuts):
        shape |= kind << (2 + 2 * i)
    return shape


def reply(name, op, payload, start=0, count=0, cuts=(), read_error=False):
    """cuts: (position, kind) with kind 0 burst, 1 short gap, 2 long gap, 3 retry."""
    head = bytes([op | (0x80 if read_error else 0)])
    head += struct.pack(">HHB", start, count, shape_of(cuts))
    head += b"".join(struct.pack(">H", at) for at, _ in cuts)
    write("fuzz_link_replies", name, head + bytes(payload))


def dump(name, payload, repeats=1, cuts=(), read_error=False, to_limit=False):
    head = bytes([(0x80 if read_error else 0) | (0x40 if to_limit else 0)]) + struct.pack(">HB", repeats, shape_of(cuts))
    head += b"".join(struct.pack(">I", at)[1:] for at, _ in cuts)
    write("fuzz_event_dump", name, head + bytes(payload))


READ = 0
WRITE = 1
values = with_crc([1, 3, 6, 0, 1, 0xFF, 0xFE, 0x12, 0x34])
reply("read_ok", READ, values, 200, 3)
reply("read_ok_bursts", READ, values, 200, 3, [(1, 0), (4, 1), (10, 0)])
reply("read_ok_after_gap_retry", READ, values[:4] + values, 200, 3, [(2, 2), (4, 3)])
reply("read_bad_crc_then_ok", READ, values[:-1] + b"\0" + values, 200, 3, [(11, 3)])
reply("read_trailing_junk", READ, values + b"\x55", 200, 3)
reply("read_wrong_count", READ, with_crc([1, 3, 4, 0, 1, 0, 2]), 200, 3)
reply("read_other_slave", READ, with_crc([2, 3, 2, 0, 1]), 0, 1)
reply("read_exception", READ, with_crc([1, 0x83, 2]), 0xFFF0, 9)
reply("read_exception_other", READ, with_crc([1, 0x90, 2]), 0xFFF0, 9)
reply("read_none_exception", READ, with_crc([1, 0x83, 2]), 0x100, 0)
reply("read_identification", READ, with_crc([1, 3, 18] + [0, 2, 0, 3] + [0] * 14), 0xFFF0, 9)
reply("read_read_error", READ, values[:5], 200, 3, read_error=True)
reply("read_ff_ff", READ, b"\xff\xff" + values, 200, 3, [(2, 0)])
write_echo = with_crc([1, 0x10, 0, 200, 0, 4])
reply("write_ok", WRITE, write_echo, 200, 4)
reply("write_ok_split", WRITE, write_echo, 200, 4, [(3, 1), (7, 0)])
reply("write_exception", WRITE, with_crc([1, 0x90, 3]), 200, 4)
reply("write_echo_other_start", WRITE, write_echo, 201, 4)
reply("write_echo_other_count", WRITE, write_echo, 200, 5)
reply("write_too_many", WRITE, write_echo, 200, 128)
reply("write_timeout_then_ok", WRITE, write_echo, 200, 4, [(0, 3)])
records = bytes(range(63)) * 16  # 1008 bytes, 64 times: 64512
dump("whole", records, 64)
dump("bursts", records, 64, [(1, 0), (4096, 1), (60000, 0)])
dump("short", b"\xa5", 64511)
dump("long", b"\x5a", 64513)
dump("over_limit", b"\x01\x02\x03\x04\x05", 65535, to_limit=True)
dump("gap", records, 64, [(60000, 2)])
dump("gap_after_whole", records, 65, [(64512, 2)])
dump("pause_after_whole", records, 65, [(64512, 1)])
dump("burst_after_whole", records, 65, [(64512, 0)])
dump("read_error", records, 64, read_error=True)
dump("two_bytes", b"\x01\x03")


def events(name, relays, offset, records=b"", text=None):
    data = b"\x80" + text if text is not None else bytes([relays, offset & 0xFF]) + records
    write("fuzz_event_records", name, data)


example = bytes.fromhex("94 07 61 0a 20 01 2d 2e 2f 00 00 00 26 34 00 00 05 00")
events("example_14", 14, 4, example + b"\xff" * 18 + b"\x00" * 18 + example)
events("extremes_16", 16, -20, b"\xfe" * 18 + example[:6] + b"\xff" * 12 + b"\x01" + b"\x00" * 17)
events("ring_2", 2, 0, b"".join(bytes([i, 0x80, 0x61, 0x0A, 0x20, 0x01]) + bytes([i] * 10) +
                                b"\x01\x00" for i in range(40, 0, -1)))
events("iso_file", 0, 0, text=b"# tool: x\n# time zone: UTC-05:30\nTime,RTD1,RTD2,RTD3,RTD4,RTD5,"
       b"RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3,Relay 1\n2009-03-15T13:45:12.345-05:30,1,2,3,4,5,6,7,8,9,"
       b"10,Closed\n1970-01-01T00:00:00Z,0,0,0,0,0,0,0,0,0,0,Open\n")
events("export_file", 0, 0, text=b"HH:MM:SS.CC DD/MM/YY,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,"
       b"Wdg. 1,Wdg. 2,Wdg. 3," + b",".join(b"Relay %d" % i for i in range(1, 17)) +
       b"\n13:45:12.34 15/03/09,45,46,47,0,0,0,38,52,0,0" + b",Open" * 16 + b"\n")
