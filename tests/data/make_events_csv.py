#!/usr/bin/python3
# Makes events_sim_full.csv: the event memory of kelvra-sim (default device, unpaced) fetched
# over its pseudo-terminal and decoded here, apart from the tool's own decoder.
#     make_events_csv.py BUILD/kelvra-sim OUTPUT.csv
import datetime, os, select, subprocess, sys, tty
sim = subprocess.Popen([sys.argv[1], "--baud", "0"], stdout=subprocess.PIPE, text=True)
fd = os.open(sim.stdout.readline().strip(), os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
os.write(fd, bytes.fromhex("0103ffe00001b5e8"))  # read 1 register at 0xFFE0, with its CRC
dump = b""
while len(dump) < 64512 and select.select([fd], [], [], 2)[0]:
    dump += os.read(fd, 65536)
sim.terminate()
assert len(dump) == 64512, len(dump)
out = ["HH:MM:SS.CC DD/MM/YY,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3," + ",".join("Relay %d" % i for i in range(1, 17))]
for rec in (dump[n:n + 18] for n in range(0, 64512, 18)):
    ms = int.from_bytes(rec[0:6], "little")
    t = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=ms // 1000 % 2**32)
    relays = int.from_bytes(rec[16:18], "little")
    cells = ["%02d:%02d:%02d.%02d %02d/%02d/%02d" % (t.hour, t.minute, t.second, ms % 1000 // 10, t.day, t.month, (t.year - 2000) % 256)]
    cells += [str(b) for b in rec[6:16]] + ["Closed" if relays >> j & 1 else "Open" for j in range(16)]
    out.append(",".join(cells))
open(sys.argv[2], "w").write("\n".join(out) + "\n")
