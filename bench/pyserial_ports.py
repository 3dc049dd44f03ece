"""Times pyserial's comports() on the umockdev testbed this process inherits.

Prints one line: calls, seconds for all of them, ports listed with a USB VID.
"""
import fnmatch
import glob
import os
import time

from serial.tools import list_ports

real_glob = glob.glob


def testbed_glob(pattern):
    # umockdev redirects /sys and each /dev node, but not a listing of /dev
    # itself, so the /dev names are taken from the testbed's tty class.
    folder, name = pattern.rsplit('/', 1)
    if folder != '/dev':
        return real_glob(pattern)
    return ['/dev/' + node for node in fnmatch.filter(os.listdir('/sys/class/tty'), name)]


glob.glob = testbed_glob
ports = list_ports.comports()  # warms the caches the first call fills
calls, start = 0, time.perf_counter()
while calls < 3 or time.perf_counter() - start < 0.2:
    ports = list_ports.comports()
    calls += 1
seconds = time.perf_counter() - start
print(calls, seconds, sum(1 for port in ports if port.vid is not None))
