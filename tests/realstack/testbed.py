"""The real stack inside the VM: emulated controllers (btvirt), a real
bluetoothd on the system bus, the units' side, and pairing as a person does
it with bluetoothctl.

Controllers: btvirt makes hci0..hci4. hci0 and hci1 are the host's adapters,
hci2..hci4 units. An emulated controller carries one link cleanly (a second
link's data would be mixed with the first's), so the two paired units are
paired with a host adapter each. The third unit stays unpaired, and a fourth
is paired but out of range: its pairing is on record on hci0, its radio
nowhere.
"""

import os
import re
import signal
import subprocess
import threading
import time

import dbus

BLUETOOTHD = "/usr/libexec/bluetooth/bluetoothd"
ANSI = re.compile(r"\x1b\[[0-9;]*[A-Za-z]|\x01|\x02|\r")


def address(index):
    """btvirt's address of controller hciN."""
    return f"00:AA:01:{index:02X}:00:{index:02X}"


class Unit:
    def __init__(self, serial, unit_index, host_index):
        self.serial = serial
        self.index = unit_index
        self.host_index = host_index
        self.address = address(unit_index)
        self.host_address = address(host_index)

    @property
    def adapter(self):
        return f"hci{self.index}"


CONTROLLERS = 5
PAIRED = [Unit("11111", 2, 0), Unit("22222", 3, 1)]
UNPAIRED = Unit("33333", 4, 0)
OUT_OF_RANGE = Unit("44444", 9, 0)
SERVED = PAIRED + [UNPAIRED]


def wait_until(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Bluetoothctl:
    """bluetoothctl on a pipe, as a person types into it: answers yes to its
    confirmation and authorisation prompts."""

    # Each request is a line of its own; its prompt follows without a line end.
    REQUESTS = ("Request confirmation", "Request authorization", "Authorize service")

    def __init__(self, log):
        self.log = log
        self.lines = []
        self.cond = threading.Condition()
        self.proc = subprocess.Popen(
            ["bluetoothctl"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True
        )
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.proc.stdout:
            line = ANSI.sub("", raw).rstrip("\n")
            self.log.write(f"bluetoothctl| {line}\n")
            self.log.flush()
            if any(line.endswith(r) for r in self.REQUESTS):
                self.send("yes")
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def mark(self):
        with self.cond:
            return len(self.lines)

    def expect(self, pattern, timeout, since=None):
        """Waits for a line matching pattern, from line `since` on (default:
        from now on); the line, or None after the time-out."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        with self.cond:
            seen = len(self.lines) if since is None else since
            while True:
                for line in self.lines[seen:]:
                    if regex.search(line):
                        return line
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def run(self, command, pattern, timeout):
        since = self.mark()
        self.send(command)
        return self.expect(pattern, timeout, since)

    def close(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=5)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


class Testbed:
    def __init__(self, root, results):
        self.root = root
        self.results = results
        self.bin = os.path.join(root, "build/native-release/bin")
        self.run_dir = "/run/units"
        os.makedirs(self.run_dir, exist_ok=True)
        self.procs = {}
        self.logs = {}

    def _log(self, name):
        if name not in self.logs:
            self.logs[name] = open(os.path.join(self.results, f"{name}.log"), "a", buffering=1)
        return self.logs[name]

    def spawn(self, name, argv, **kwargs):
        log = self._log(name)
        self.procs[name] = subprocess.Popen(argv, stdout=log, stderr=subprocess.STDOUT, **kwargs)
        return self.procs[name]

    def controllers(self):
        return sorted(n for n in os.listdir("/sys/class/bluetooth") if re.fullmatch(r"hci\d+", n))

    def start(self):
        # Every HCI packet of the run, for when a case needs explaining
        # (btmon -r build/realstack/out/hci.btsnoop).
        self.procs["btmon"] = subprocess.Popen(["btmon", "-w", os.path.join(self.results, "hci.btsnoop")],
                                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.spawn("btvirt", ["btvirt", "-B", f"-l{CONTROLLERS}"])
        if not wait_until(lambda: len(self.controllers()) == CONTROLLERS, 10):
            raise RuntimeError(f"btvirt made {self.controllers()}, not hci0..hci{CONTROLLERS - 1}")
        self.record_pairing(OUT_OF_RANGE)
        self.start_bluetoothd()
        self.start_unitside()
        if not wait_until(self.units_ready, 60, 0.5):
            raise RuntimeError("the units' side did not set itself up (see unitside.log)")

    def start_bluetoothd(self):
        self.spawn("bluetoothd", [BLUETOOTHD, "-n", "-d"])
        if not wait_until(self.bluez_ready, 60, 0.5):
            raise RuntimeError(f"bluetoothd did not come up with {CONTROLLERS} powered adapters")

    def stop_bluetoothd(self, sig=signal.SIGKILL):
        proc = self.procs.pop("bluetoothd", None)
        if proc is not None:
            proc.send_signal(sig)
            proc.wait(timeout=10)

    def start_unitside(self):
        units = [f"{u.adapter}={u.serial}" for u in SERVED]
        self.spawn(
            "unitside",
            ["/usr/bin/python3", os.path.join(self.root, "tests/realstack/unitside.py"),
             os.path.join(self.bin, "simunit-serve"), self.run_dir, *units],
        )

    def bluez_objects(self):
        """bluetoothd's objects, {} while it is not on the bus."""
        try:
            manager = dbus.Interface(dbus.SystemBus().get_object("org.bluez", "/"), "org.freedesktop.DBus.ObjectManager")
            return manager.GetManagedObjects()
        except dbus.exceptions.DBusException:
            return {}

    def bluez_ready(self):
        adapters = [i["org.bluez.Adapter1"] for i in self.bluez_objects().values() if "org.bluez.Adapter1" in i]
        return len(adapters) == CONTROLLERS and all(a["Powered"] for a in adapters)

    def pair(self, unit):
        """Pairs the unit with its host adapter as the README says."""
        ctl = Bluetoothctl(self._log("pairing"))
        try:
            ctl.run(f"select {unit.host_address}", r"", 5)
            ctl.run("power on", r"Changing power on succeeded|Failed", 10)
            ctl.run("scan on", r"Discovery started|Failed", 10)
            if ctl.expect(rf"Device {unit.address} QuorvelKTRX {unit.serial}", 20, since=0) is None:
                return False
            result = ctl.run(f"pair {unit.address}", r"Pairing successful|Failed to pair", 30)
            ctl.run("scan off", r"Discovery stopped|Failed", 10)
            return result is not None and "successful" in result
        finally:
            ctl.close()

    def record_pairing(self, unit):
        """Puts a pairing with the unit on record where bluetoothd keeps it, as
        an earlier pairing would have left it."""
        folder = os.path.join("/var/lib/bluetooth", unit.host_address, unit.address)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "info"), "w") as f:
            f.write(
                f"[General]\nName=QuorvelKTRX {unit.serial}\nSupportedTechnologies=BR/EDR;\nTrusted=false\n"
                "Blocked=false\nServices=00001101-0000-1000-8000-00805f9b34fb;\n\n"
                "[LinkKey]\nKey=5E0B3A526C1F4C559A3E7D2F0C4B8A11\nType=4\nPINLength=0\n"
            )

    def unit_pid(self, unit):
        try:
            with open(os.path.join(self.run_dir, f"{unit.serial}.pid")) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def units_ready(self):
        """Whether the units' side has set itself up with the bluetoothd
        running now."""
        try:
            with open(os.path.join(self.run_dir, "ready")) as f:
                ready_with = f.read().strip()
            return ready_with == dbus.SystemBus().get_name_owner("org.bluez")
        except (OSError, dbus.exceptions.DBusException):
            return False

    def kernel_log(self):
        return subprocess.run(["dmesg"], capture_output=True, text=True).stdout

    def kernel_faults(self, since=0):
        """The first line of a kernel fault report in the kernel's log from
        character `since` on, or None."""
        m = re.search(r"^.*(?:kernel BUG|Oops|WARNING:|general protection fault).*$", self.kernel_log()[since:], re.M)
        return m.group(0).strip() if m else None

    def acl_links(self):
        out = subprocess.run(["hcitool", "con"], capture_output=True, text=True, timeout=10).stdout
        return [line for line in out.splitlines() if "ACL" in line]

    def ended(self):
        """The test bed's processes that have ended, as 'name (exit code)'."""
        return [f"{name} ({proc.returncode})" for name, proc in self.procs.items() if proc.poll() is not None]

    def stop(self):
        with open(os.path.join(self.results, "dmesg.log"), "w") as f:
            f.write(self.kernel_log())
        # Killed, not stopped: a bluetoothd that stops powers its adapters
        # off, which this kernel does not survive under a live RFCOMM session.
        for name, proc in reversed(list(self.procs.items())):
            if proc.poll() is None:
                proc.send_signal(signal.SIGINT if name == "btmon" else signal.SIGKILL)
                proc.wait()
