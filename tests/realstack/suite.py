#!/usr/bin/python3
"""The real-stack suite: the library, ostrel and the Python package against a
real bluetoothd and the kernel's Bluetooth stack, with emulated units (see
testbed.py). Run inside the VM by tests/realstack/guest; prints one line a
case ("PASS name 12.3 s" or "FAIL name 12.3 s: why") and exits non-zero if
any failed.

    suite.py ROOT RESULTS [CASE ...]
"""

import os
import re
import select
import signal
import socket
import subprocess
import sys
import time

import testbed
from testbed import OUT_OF_RANGE, PAIRED, UNPAIRED, wait_until

# How long a failure may take to show, with room for a slow emulated machine:
# a unit that dies is noticed within the link's supervision time (20 s by
# default); an unreachable one within the stack's connect time-out (the page
# time-out, bounded by the kernel's 40 s for an answer that never comes).
SUPERVISION_S = 20 + 15
PAGE_S = 40 + 15
IO_EXIT = 4
SOL_BLUETOOTH, BT_SECURITY, BT_SECURITY_MEDIUM = 274, 4, 2
# Each ostrel command searches first (6 x 1.28 s) and then works: an upper
# bound that only a hang exceeds.
COMMAND_S = 90


class Failed(Exception):
    pass


class KernelFault(Exception):
    """The library did its part, then this kernel's own fault ended the
    case (see case_out_of_range)."""


def check(condition, message):
    if not condition:
        raise Failed(message)


class Run:
    """A finished command: exit code, output, seconds."""

    def __init__(self, argv, code, out, err, seconds):
        self.argv, self.code, self.out, self.err, self.seconds = argv, code, out, err, seconds

    def describe(self):
        last = (self.err.strip().splitlines() or ["(nothing on standard error)"])[-1]
        return f"{os.path.basename(self.argv[0])} {' '.join(self.argv[1:])} exited {self.code}: {last}"


class Suite:
    def __init__(self, root, results):
        self.root = root
        self.results = results
        self.bed = testbed.Testbed(root, results)
        self.ostrel_path = os.path.join(self.bed.bin, "ostrel")
        self.env = dict(os.environ)
        # No simulated shim: the library must find BlueZ.
        self.env.pop("LD_LIBRARY_PATH", None)
        self.env["PYTHONPATH"] = os.path.join(root, "python") + os.pathsep + os.path.join(root, "tests/realstack")
        self.env["OSTREL_LIBRARY"] = os.path.join(self.bed.bin, "libOstrel_lib.so")
        self.log = open(os.path.join(results, "cases.log"), "a", buffering=1)

    def note(self, text):
        self.log.write(text.rstrip("\n") + "\n")

    def ostrel(self, *args, timeout=COMMAND_S):
        """Runs ostrel with the library's trace on; a hang is a failure."""
        argv = [self.ostrel_path, "--trace", "10", *args]
        started = time.monotonic()
        try:
            p = subprocess.run(argv, capture_output=True, text=True, env=self.env, timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failed(f"ostrel {' '.join(args)} still running after {timeout} s")
        run = Run(argv, p.returncode, p.stdout, p.stderr, time.monotonic() - started)
        self.note(f"$ {' '.join(argv)}  -> {run.code} in {run.seconds:.1f} s\n{run.out}{run.err}")
        return run

    def start(self, argv, stderr=None):
        self.note(f"$ {' '.join(argv)} &")
        return subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr or self.log,
                                text=True, env=self.env)

    def holder(self):
        return Holder(self.start(["/usr/bin/python3", os.path.join(self.root, "tests/realstack/holder.py")]))

    def links_closed(self, timeout=15):
        return wait_until(lambda: not self.bed.acl_links(), timeout, 0.5)


class Holder:
    """A host process kept alive across the steps of a case (holder.py)."""

    def __init__(self, proc):
        self.proc = proc

    def __call__(self, command, timeout=COMMAND_S):
        """Sends one command; its answer, or Failed."""
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline().strip() if ready else ""
        check(line, f"the host process gave no answer to '{command}' within {timeout} s")
        check(line.startswith("ok"), f"{command}: {line}")
        return line[3:]

    def end(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=15)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def one_failure_line(run):
    lines = [line for line in run.err.splitlines() if line.startswith("ostrel:")]
    return len(lines) == 1


def expected_raw(channel, index):
    """The simulated unit's raw reading of a sawtooth channel, as ostrel --raw prints it."""
    return ((512 * channel + (channel + 1) * index) % 4096) * 16


def memory_byte(address):
    return (address * 13 + (address >> 8) * 7 + 0x5A) & 0xFF


def init_command():
    """The unit's init command blob (the host's first words to a unit)."""
    blob = bytearray([0x40, 25, 1, 0, 0x1A]) + bytes(b for k in range(10) for b in (5 + k, 0x4A - k))
    blob[3] = (sum(blob[0:3]) + sum(blob[4:])) & 0xFF
    return bytes(blob)


# The cases, in the order they run. Each takes the Suite and raises Failed.


def case_plain_client(s):
    """The test bed itself, without the library: the unit's serial-port
    record by SDP, and its init answer over a kernel RFCOMM socket."""
    unit = PAIRED[0]
    sdp = subprocess.run(["sdptool", "search", "--bdaddr", unit.address, "SP"], capture_output=True, text=True,
                         timeout=30)
    s.note(f"$ sdptool search --bdaddr {unit.address} SP\n{sdp.stdout}{sdp.stderr}")
    channel = re.search(r"Channel: (\d+)", sdp.stdout)
    check(channel is not None, f"no serial-port record on {unit.address}")
    # sdptool leaves an idle link behind; an RFCOMM connect that meets it
    # while it goes down can fault this kernel.
    check(s.links_closed(), "sdptool's link stayed up")
    with socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM) as link:
        link.settimeout(30)
        link.setsockopt(SOL_BLUETOOTH, BT_SECURITY, bytes([BT_SECURITY_MEDIUM, 0]))
        link.bind((unit.host_address, 0))
        link.connect((unit.address, int(channel.group(1))))
        link.sendall(init_command())
        answer = link.recv(64)
    check(answer[:1] == b"\xb8" and answer[4:5] == b"\x1a", f"init answered with {answer.hex()}")


def case_list(s):
    run = s.ostrel("list")
    check(run.code == 0, run.describe())
    names = re.findall(r"^\s+(\S+)\s+(?:available|open)\s*$", run.out, re.M)
    for unit in PAIRED + [UNPAIRED]:
        check(names.count(unit.serial) == 1, f"{unit.serial} listed {names.count(unit.serial)} times: {names}")


def case_info(s):
    run = s.ostrel("info", PAIRED[0].serial)
    check(run.code == 0, run.describe())
    holds = re.findall(r"checksum 0x[0-9a-f]{2}: holds", run.out)
    check(len(holds) == 5, f"{len(holds)} of the data sheets of channels 3-7 hold their checksum")


def case_stream(s):
    csv = os.path.join("/tmp", "stream.csv")
    run = s.ostrel("stream", PAIRED[0].serial, "--channels", "3,4", "--period", "0.01", "--duration", "3",
                   "--raw", "--csv", csv)
    check(run.code == 0, run.describe())
    with open(csv) as f:
        rows = [line.strip().split(",") for line in f.readlines()[1:]]
    check(len(rows) >= 290, f"{len(rows)} samples in 3 s at 0.01 s")
    for row in rows:
        index = round(float(row[0]) / 0.01)
        got = [int(v) for v in row[1:]]
        want = [expected_raw(3, index), expected_raw(4, index)]
        check(got == want, f"sample {index}: {got}, the unit sent {want}")


def case_memory(s):
    count = 24576
    run = s.ostrel("nv", PAIRED[0].serial, "read", "--block", "-1", "--address", "0", "--count", str(count))
    check(run.code == 0, run.describe())
    data = []
    for line in run.out.splitlines():
        m = re.match(r"^([0-9a-f]{4,})  ((?:[0-9a-f]{2} +)+)", line)
        if m:
            check(int(m.group(1), 16) == len(data), f"dump line at {m.group(1)} after {len(data)} bytes")
            data += [int(b, 16) for b in m.group(2).split()]
    check(len(data) == count, f"{len(data)} bytes of {count}")
    wrong = [a for a in range(count) if data[a] != memory_byte(a)]
    check(not wrong, f"{len(wrong)} bytes differ from the unit's memory, the first at {wrong[:1]}")


def case_python_tour(s):
    with open(os.path.join(s.root, "README.md")) as f:
        readme = f.read()
    tour = re.search(r"### Example\s+```python\n(.*?)```", readme, re.S)
    check(tour is not None, "no Python example in the README")
    code = tour.group(1).replace("'12345'", f"'{PAIRED[0].serial}'")
    p = subprocess.run(["/usr/bin/python3", "-c", code], capture_output=True, text=True, env=s.env, timeout=COMMAND_S)
    s.note(f"$ python3 (the README's example)  -> {p.returncode}\n{p.stdout}{p.stderr}")
    check(p.returncode == 0, (p.stderr.strip().splitlines() or ["no output"])[-1])
    check(f"Unit(name='{PAIRED[0].serial}'" in p.stdout, "the search did not list the unit")
    check("checksum holds" in p.stdout, "channel 3's data sheet does not hold its checksum")
    check("(100, 3)" in p.stdout, "record(seconds=1) at 0.01 s did not give 100 samples of 3 channels")


def case_two_processes(s):
    first, second = PAIRED
    holder = s.holder()
    try:
        holder("init")
        holder(f"open {first.serial}")
        run = s.ostrel("stream", second.serial, "--channels", "3", "--period", "0.01", "--duration", "2", "--raw")
        check(run.code == 0, f"while another process holds {first.serial}: {run.describe()}")
        samples = int(holder(f"record {first.serial} 1"))
        check(samples >= 95, f"the first process got {samples} samples in 1 s after the second one's stream")
        holder(f"close {first.serial}")
    finally:
        holder.end()


def case_uninit_then_other_process(s):
    holder = s.holder()
    try:
        holder("init")
        holder(f"open {PAIRED[0].serial}")
        holder(f"close {PAIRED[0].serial}")
        holder("uninit")
        run = s.ostrel("info", PAIRED[0].serial)
        check(run.code == 0, f"after another process closed and uninitialised: {run.describe()}")
    finally:
        holder.end()


def case_bluetoothd_restart(s):
    holder = s.holder()
    try:
        holder("init")
        holder(f"open {PAIRED[0].serial}")
        holder(f"record {PAIRED[0].serial} 0.5")
        holder(f"close {PAIRED[0].serial}")
        # Links first: bluetoothd's adapters must not go down under a live
        # RFCOMM session (a fault of this kernel).
        check(s.links_closed(), "the link stayed up after the close")
        s.bed.stop_bluetoothd(signal.SIGKILL)
        s.bed.start_bluetoothd()
        check(wait_until(s.bed.units_ready, 30, 0.5), "the units' side did not come back after the restart")
        holder("search")
        holder(f"open {PAIRED[0].serial}")
        samples = int(holder(f"record {PAIRED[0].serial} 1"))
        check(samples >= 95, f"{samples} samples in 1 s after the restart")
        holder(f"close {PAIRED[0].serial}")
    finally:
        holder.end()


def stream_and_kill_unit(s, unit, argv, name, timeout, too_long):
    """Runs an ostrel stream, kills the unit's program once the first rows of
    samples came and waits for ostrel to end: (exit code, standard error,
    seconds from the kill to the end)."""
    # Standard error into a file: a full pipe would stall ostrel's trace.
    err_file = open(os.path.join("/tmp", f"{name}.err"), "w+")
    proc = s.start(argv, stderr=err_file)
    try:
        check(wait_until(lambda: s.bed.unit_pid(unit) is not None, COMMAND_S, 0.2), "the stream never connected")
        # Let samples flow before the unit dies: the first rows of the table.
        rows = 0
        while rows < 3:
            line = proc.stdout.readline()
            check(line, "no samples before the kill")
            rows += bool(re.match(r"^\s*\d", line))
        os.kill(s.bed.unit_pid(unit), signal.SIGKILL)
        killed = time.monotonic()
        try:
            proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failed(too_long)
        took = time.monotonic() - killed
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        err_file.seek(0)
        err = err_file.read()
        err_file.close()
    return proc.returncode, err, took


def case_unit_killed_mid_stream(s):
    unit = PAIRED[0]
    argv = [s.ostrel_path, "--trace", "10", "stream", unit.serial, "--channels", "3", "--period", "0.01",
            "--duration", "60", "--raw"]
    code, err, took = stream_and_kill_unit(s, unit, argv, "killed-stream", SUPERVISION_S,
                                           f"ostrel still streaming {SUPERVISION_S} s after the unit died")
    s.note(f"{err}ostrel ended {took:.1f} s after the kill with {code}")
    check(code == IO_EXIT, f"exit code {code}, not {IO_EXIT}")
    failure_lines = [line for line in err.splitlines() if line.startswith("ostrel:")]
    check(len(failure_lines) == 1, f"{len(failure_lines)} failure lines")


def case_unit_killed_then_reconnect(s):
    """The unit's side killed mid-stream comes back at the next connect:
    ostrel stream --reconnect opens it again and goes on, one gap in the CSV."""
    unit = PAIRED[0]
    csv_path = "/tmp/reconnect.csv"
    argv = [s.ostrel_path, "stream", unit.serial, "--channels", "3", "--period", "0.01", "--duration", "40",
            "--raw", "--reconnect", "--csv", csv_path]
    code, err, _ = stream_and_kill_unit(s, unit, argv, "reconnect", 40 + COMMAND_S,
                                        "ostrel still streaming long after its duration")
    s.note(f"{err}ostrel ended with {code}")
    check(code == 0, f"exit code {code}, not 0: {err.strip().splitlines()[-1:]}")
    with open(csv_path) as f:
        lines = f.read().splitlines()[1:]
    gaps = [i for i, line in enumerate(lines) if not line.strip()]
    check(len(gaps) == 1, f"{len(gaps)} gaps in the CSV")
    check(0 < gaps[0] < len(lines) - 1, "no samples on one side of the gap")
    before, after = float(lines[gaps[0] - 1].split(",")[0]), float(lines[gaps[0] + 1].split(",")[0])
    s.note(f"gap from {before:.2f} s to {after:.2f} s")
    check(after > before, "the time axis does not go on after the gap")


def case_unpaired(s):
    run = s.ostrel("info", UNPAIRED.serial)
    check(run.code == IO_EXIT, run.describe())
    check(one_failure_line(run), "not one failure line")


def case_out_of_range(s):
    kernel_before = len(s.bed.kernel_log())
    run = s.ostrel("info", OUT_OF_RANGE.serial, timeout=COMMAND_S + PAGE_S)
    if run.code == IO_EXIT and one_failure_line(run):
        return
    # Kernel 6.1.0-57 faults (BUG in hci_chan_del) when a socket whose page
    # failed is released, and kills the process that closes it, whatever that
    # process is (bluetoothd too). The library's part is then to have said
    # why before it closed.
    fault = s.bed.kernel_faults(kernel_before)
    said = [line for line in run.err.splitlines() if re.search(r"Host is down|[Pp]age.?timeout", line)]
    if run.code < 0 and fault and said:
        raise KernelFault(f"the library traced '{said[0].strip()}', then the kernel faulted in the socket's close "
                          f"and ended ostrel with signal {-run.code}: {fault}")
    check(run.code == IO_EXIT, run.describe())
    check(one_failure_line(run), "not one failure line")


CASES = [
    ("testbed-plain-client", case_plain_client),
    ("list", case_list),
    ("info", case_info),
    ("stream", case_stream),
    ("memory-read", case_memory),
    ("python-tour", case_python_tour),
    ("two-processes", case_two_processes),
    ("uninit-then-other-process", case_uninit_then_other_process),
    ("bluetoothd-restart", case_bluetoothd_restart),
    ("unit-killed-mid-stream", case_unit_killed_mid_stream),
    ("unit-killed-then-reconnect", case_unit_killed_then_reconnect),
    ("unpaired-unit", case_unpaired),
    # Last: a page that fails leaves this kernel's Bluetooth stack in a state
    # that can fault later (see the README's note on the test bed).
    ("out-of-range", case_out_of_range),
]


def main():
    root, results = sys.argv[1], sys.argv[2]
    wanted = sys.argv[3:]
    s = Suite(root, results)
    started = time.monotonic()
    try:
        s.bed.start()
        for unit in PAIRED:
            check(s.bed.pair(unit), f"pairing {unit.serial} failed (see pairing.log)")
    except (Failed, RuntimeError) as e:
        ended = ", ".join(s.bed.ended())
        print(f"FAIL setup {time.monotonic() - started:.1f} s: {e}{'; ended: ' + ended if ended else ''}", flush=True)
        s.bed.stop()
        return 1
    print(f"realstack: test bed up and {len(PAIRED)} units paired in {time.monotonic() - started:.1f} s", flush=True)

    failed = 0
    kernel_faults = 0
    chosen = [(name, run) for name, run in CASES if not wanted or name in wanted]
    for name, run in chosen:
        s.note(f"==== {name}")
        if not s.links_closed():
            s.note(f"links still up: {s.bed.acl_links()}")
        begun = time.monotonic()
        try:
            run(s)
            verdict = "PASS"
            why = ""
        except Failed as e:
            failed += 1
            verdict = "FAIL"
            why = f": {e}"
        except (OSError, subprocess.SubprocessError) as e:
            failed += 1
            verdict = "FAIL"
            why = f": {type(e).__name__}: {e}"
        except KernelFault as e:
            kernel_faults += 1
            verdict = "KERNEL"
            why = f": {e}"
        ended = s.bed.ended()
        if ended:
            why += f" (the test bed's {', '.join(ended)} ended)"
        print(f"{verdict} {name} {time.monotonic() - begun:.1f} s{why}", flush=True)
    kernel = s.bed.kernel_faults()
    if kernel:
        print(f"realstack: the kernel reported a fault: {kernel}", flush=True)
    print(f"realstack: {failed} of {len(chosen)} cases failed, {kernel_faults} ended in the kernel's known fault, "
          f"{time.monotonic() - started:.0f} s in all", flush=True)
    s.bed.stop()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
