#!/usr/bin/python3
"""The units' side of the real-stack suite: makes emulated controllers look
like Pellucor units and serves each RFCOMM connection they accept with the
simulated unit (simunit-serve).

    unitside.py SERVE_PROGRAM RUN_DIR hciN=SERIAL ...

Each named adapter gets the unit's name as its alias and stays discoverable.
The serial port is offered as a unit offers it: a service record of class
0x1101 on an RFCOMM channel, registered under a profile UUID of this side's
own, since the serial-port UUID itself may have one registrant on the whole
machine and that must stay free for hosts. Every accepted connection runs
SERVE_PROGRAM with the socket; its process id is written to
RUN_DIR/SERIAL.pid while it serves. A serving process that is killed takes
the unit's link down with it, as a unit that dies drops its radio link. When
bluetoothd comes back after a restart, the adapters and the profile are set
up again.
"""

import os
import signal
import subprocess
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
PROFILE_PATH = "/test/ostrel/unit"
PROFILE_UUID = "5e0b3a52-6c1f-4c55-9a3e-7d2f0c4b8a11"
CHANNEL = 3
NAME_PREFIX = "QuorvelKTRX "

SERVICE_RECORD = f"""<?xml version="1.0" encoding="UTF-8" ?>
<record>
  <attribute id="0x0001"><sequence><uuid value="0x1101" /></sequence></attribute>
  <attribute id="0x0004">
    <sequence>
      <sequence><uuid value="0x0100" /></sequence>
      <sequence><uuid value="0x0003" /><uint8 value="0x{CHANNEL:02x}" /></sequence>
    </sequence>
  </attribute>
  <attribute id="0x0005"><sequence><uuid value="0x1002" /></sequence></attribute>
  <attribute id="0x0009">
    <sequence><sequence><uuid value="0x1101" /><uint16 value="0x0102" /></sequence></sequence>
  </attribute>
  <attribute id="0x0100"><text value="Serial Port" /></attribute>
</record>
"""


def log(text):
    print(f"unitside: {text}", file=sys.stderr, flush=True)


class UnitProfile(dbus.service.Object):
    def __init__(self, bus, serve_program, run_dir, serials):
        super().__init__(bus, PROFILE_PATH)
        self.serve_program = serve_program
        self.run_dir = run_dir
        self.serials = serials  # adapter name -> serial
        self.children = {}  # serial -> (Popen, device path)

    @dbus.service.method("org.bluez.Profile1", in_signature="", out_signature="")
    def Release(self):
        log("profile released")

    @dbus.service.method("org.bluez.Profile1", in_signature="oha{sv}", out_signature="")
    def NewConnection(self, device, fd, properties):
        socket = fd.take()
        adapter = str(device).split("/")[3]
        serial = self.serials.get(adapter)
        if serial is None:
            os.close(socket)
            raise dbus.exceptions.DBusException("not a unit's adapter", name="org.bluez.Error.Rejected")
        child = subprocess.Popen(
            [self.serve_program, "--serial", serial, "--fd", str(socket)], pass_fds=[socket], stdin=subprocess.DEVNULL
        )
        os.close(socket)
        self.children[serial] = (child, device)
        with open(os.path.join(self.run_dir, f"{serial}.pid"), "w") as f:
            f.write(f"{child.pid}\n")
        log(f"unit {serial} serves {device} (process {child.pid})")
        GLib.child_watch_add(child.pid, self.on_child_exit, serial)

    def on_child_exit(self, pid, status, serial):
        child, device = self.children.get(serial, (None, None))
        if child is None or child.pid != pid:
            return
        del self.children[serial]
        try:
            os.unlink(os.path.join(self.run_dir, f"{serial}.pid"))
        except FileNotFoundError:
            pass
        log(f"unit {serial}: process {pid} ended ({status})")
        if os.WIFSIGNALED(status):
            # bluetoothd keeps its own copy of the socket, so the link outlives
            # the process unless this side takes it down. Asynchronously:
            # bluetoothd calls back into this loop while it disconnects.
            dbus.Interface(self.connection.get_object(BLUEZ, device), "org.bluez.Device1").Disconnect(
                reply_handler=lambda: log(f"unit {serial} dropped its link to {device}"),
                error_handler=lambda e: log(f"unit {serial}: Disconnect: {e.get_dbus_name()}: {e.get_dbus_message()}"),
            )

    @dbus.service.method("org.bluez.Profile1", in_signature="o", out_signature="")
    def RequestDisconnection(self, device):
        log(f"disconnection requested for {device}")


class UnitSide:
    def __init__(self, bus, profile):
        self.bus = bus
        self.profile = profile

    def setup_adapter(self, path):
        name = path.rsplit("/", 1)[-1]
        serial = self.profile.serials.get(name)
        if serial is None:
            return
        props = dbus.Interface(self.bus.get_object(BLUEZ, path), "org.freedesktop.DBus.Properties")
        settings = [
            ("Alias", dbus.String(NAME_PREFIX + serial)),
            ("Powered", dbus.Boolean(True)),
            ("Pairable", dbus.Boolean(True)),
            ("PairableTimeout", dbus.UInt32(0)),
            ("DiscoverableTimeout", dbus.UInt32(0)),
            ("Discoverable", dbus.Boolean(True)),
        ]
        for key, value in settings:
            try:
                props.Set("org.bluez.Adapter1", key, value)
            except dbus.exceptions.DBusException as e:
                log(f"{path}: {key}: {e.get_dbus_name()}: {e.get_dbus_message()}")
        log(f"{path} is unit {serial}")

    def register_profile(self):
        manager = dbus.Interface(self.bus.get_object(BLUEZ, "/org/bluez"), "org.bluez.ProfileManager1")
        options = {
            "Name": "Serial Port",
            "Role": "server",
            "Channel": dbus.UInt16(CHANNEL),
            "RequireAuthentication": True,
            "RequireAuthorization": False,
            "AutoConnect": False,
            "ServiceRecord": SERVICE_RECORD,
        }
        manager.RegisterProfile(PROFILE_PATH, PROFILE_UUID, options)
        log(f"profile registered, channel {CHANNEL}")

    def start(self, owner):
        """Sets up every unit adapter bluetoothd has now, and the profile;
        then names that bluetoothd in RUN_DIR/ready."""
        try:
            objects = dbus.Interface(
                self.bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager"
            ).GetManagedObjects()
            for path, interfaces in objects.items():
                if "org.bluez.Adapter1" in interfaces:
                    self.setup_adapter(str(path))
            self.register_profile()
            with open(os.path.join(self.profile.run_dir, "ready"), "w") as f:
                f.write(owner + "\n")
        except dbus.exceptions.DBusException as e:
            log(f"setup failed: {e.get_dbus_name()}: {e.get_dbus_message()}")

    def on_interfaces_added(self, path, interfaces):
        if "org.bluez.Adapter1" in interfaces:
            self.setup_adapter(str(path))

    def on_owner(self, owner):
        if owner:
            log(f"bluetoothd is {owner}")
            self.start(owner)
        else:
            log("bluetoothd left the bus")


def main():
    if len(sys.argv) < 4:
        print(__doc__, file=sys.stderr)
        return 2
    serve_program, run_dir = sys.argv[1], sys.argv[2]
    serials = dict(arg.split("=", 1) for arg in sys.argv[3:])
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    side = UnitSide(bus, UnitProfile(bus, serve_program, run_dir, serials))
    bus.add_signal_receiver(
        side.on_interfaces_added, "InterfacesAdded", "org.freedesktop.DBus.ObjectManager", BLUEZ
    )
    bus.watch_name_owner(BLUEZ, side.on_owner)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
