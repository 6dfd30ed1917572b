#!/usr/bin/python3
# Makes events_sim_full.csv: the event memory of kelvra-sim (default device, unpaced) fetched
# over its pseudo-terminal and decoded here, apart from the tool's own decoder.
#     make_events_csv.py BUILD/kelvra-sim OUTPUT.csv
import os, subprocess, tty, select, datetime, sys
sim = subprocess.Popen([sys.argv[1], "--baud", "0"], stdout=subprocess.PIPE, text=True)
port = sim.stdout.readline().strip()
fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return bytes([crc & 0xFF, crc >> 8])
req = bytes([1, 3, 0xFF, 0xE0, 0, 1])
os.write(fd, req + crc16(req))
dump = b""
while len(dump) < 64512:
    r, _, _ = select.select([fd], [], [], 2)
    if not r: break
    dump += os.read(fd, 65536)
sim.terminate()
assert len(dump) == 64512, len(dump)
out = ["HH:MM:SS.CC DD/MM/YY,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3," + ",".join("Relay %d" % i for i in range(1, 17))]
for n in range(3584):
    rec = dump[18*n:18*n+18]
    ms = int.from_bytes(rec[0:6], "little")
    secs = (ms // 1000) % 2**32
    t = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=secs)
    cells = ["%02d:%02d:%02d.%02d %02d/%02d/%02d" % (t.hour, t.minute, t.second, ms % 1000 // 10, t.day, t.month, (t.year - 2000) % 256)]
    cells += [str(b) for b in rec[6:16]]
    word = int.from_bytes(rec[16:18], "little")
    cells += ["Closed" if word >> j & 1 else "Open" for j in range(16)]
    out.append(",".join(cells))
open(sys.argv[2], "w").write("\n".join(out) + "\n")
