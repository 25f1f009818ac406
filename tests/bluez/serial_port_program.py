#!/usr/bin/python3
'''Another program on the machine that uses the serial-port profile the way
such programs do with BlueZ, for the tests that run the library beside it:

    serial_port_program.py DEVICE_PATH

It registers a client profile for the serial port, asks BlueZ to connect
the device, tries what bluetoothd forbids, and prints one line for each:
    registered
    same path: ERROR           RegisterProfile again from here
    another program: ERROR     RegisterProfile from a second bus connection
    connected: nonblocking     the socket NewConnection handed over
    connect: ok
    again: ok, connections 1   ConnectProfile of the connected service
Then it holds the link, prints "released" if BlueZ releases its profile, and
ends when its standard input does.
'''

import fcntl
import os
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

SERIAL_PORT = '00001101-0000-1000-8000-00805f9b34fb'
PROFILE_PATH = '/test/serial_port_program'


class Profile(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, PROFILE_PATH)
        self.links = []

    @dbus.service.method('org.bluez.Profile1', in_signature='oha{sv}', out_signature='')
    def NewConnection(self, _device, fd, _properties):
        fd = fd.take()
        self.links.append(fd)
        blocking = 'nonblocking' if fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_NONBLOCK else 'blocking'
        say(f'connected: {blocking}')

    @dbus.service.method('org.bluez.Profile1', in_signature='o', out_signature='')
    def RequestDisconnection(self, _device):
        for fd in self.links:
            os.close(fd)
        self.links = []

    @dbus.service.method('org.bluez.Profile1', in_signature='', out_signature='')
    def Release(self):
        say('released')


def say(line):
    print(line, flush=True)


def error_name(call):
    try:
        call()
        return 'none'
    except dbus.exceptions.DBusException as e:
        return e.get_dbus_name()


def main():
    device_path = sys.argv[1]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()
    profile = Profile(bus)
    manager = dbus.Interface(bus.get_object('org.bluez', '/org/bluez'), 'org.bluez.ProfileManager1')
    manager.RegisterProfile(PROFILE_PATH, SERIAL_PORT, {'Role': 'client'})
    say('registered')
    say('same path: ' + error_name(lambda: manager.RegisterProfile(PROFILE_PATH, SERIAL_PORT, {})))
    other = dbus.bus.BusConnection(os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
    other_manager = dbus.Interface(other.get_object('org.bluez', '/org/bluez'), 'org.bluez.ProfileManager1')
    say('another program: ' + error_name(lambda: other_manager.RegisterProfile('/other', SERIAL_PORT, {})))
    other.close()

    loop = GLib.MainLoop()
    device = dbus.Interface(bus.get_object('org.bluez', device_path), 'org.bluez.Device1')
    # Asynchronous: BlueZ asks NewConnection of this program before it
    # answers, so the main loop must run meanwhile.
    outcome = []

    def connect():
        device.ConnectProfile(SERIAL_PORT, reply_handler=lambda: (outcome.append('ok'), loop.quit()),
                              error_handler=lambda e: (outcome.append(e.get_dbus_name()), loop.quit()))
        loop.run()
        return outcome.pop()

    say('connect: ' + connect())
    say(f'again: {connect()}, connections {len(profile.links)}')
    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, lambda *_: bool(sys.stdin.readline()) or loop.quit())
    loop.run()
    return 0


if __name__ == '__main__':
    sys.exit(main())
