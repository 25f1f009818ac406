#!/usr/bin/python3
'''A private system bus with a simulated BlueZ on it, for the tests.

    mock_bluez.py [--world JSON] [--no-bluez] --serve
        prints the bus address on one line, then keeps the bus and BlueZ up
        until standard input closes (the test program that started it ends).
    mock_bluez.py [--world JSON] [--no-bluez] -- COMMAND ARGS...
        runs COMMAND with DBUS_SYSTEM_BUS_ADDRESS pointing at the bus and
        exits with its exit code.

The bus is a dbus-daemon of its own on a socket in a fresh temporary folder:
nothing is shared with the machine's system bus or with other test runs.
BlueZ is python3-dbusmock's bluez5 template extended by bluez_units.py (see
there for WORLD); --no-bluez leaves the bus without it.
'''

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dbus

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, 'bluez_units.py')
STARTUP_S = 30

CONFIG = '''<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={folder}/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
'''


def wait_for_bluez(address, mock):
    bus = dbus.bus.BusConnection(address)
    deadline = time.monotonic() + STARTUP_S
    while not bus.name_has_owner('org.bluez'):
        if mock.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError('the simulated BlueZ did not start')
        time.sleep(0.05)
    # Answered once the template has built its world.
    bus.call_blocking('org.bluez', '/', 'org.freedesktop.DBus.ObjectManager', 'GetManagedObjects', '', (),
                      timeout=STARTUP_S)
    bus.close()


def start(folder, world, with_bluez):
    config = os.path.join(folder, 'bus.conf')
    with open(config, 'w', encoding='utf-8') as f:
        f.write(CONFIG.format(folder=folder))
    # Its complaint that it may not raise its descriptor limit is no news.
    with open(os.path.join(folder, 'bus.log'), 'wb') as log:
        daemon = subprocess.Popen(['dbus-daemon', '--config-file=' + config, '--nofork', '--print-address=1'],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, stderr=log)
    address = daemon.stdout.readline().decode().strip()
    if not address:
        raise RuntimeError('dbus-daemon did not start')
    children = [daemon]
    if with_bluez:
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        log = open(os.path.join(folder, 'bluez.log'), 'wb')  # pylint: disable=consider-using-with
        mock = subprocess.Popen([sys.executable, '-m', 'dbusmock', '--system', '--template', TEMPLATE, '-p', world],
                                env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
        children.insert(0, mock)
        try:
            wait_for_bluez(address, mock)
        except Exception:
            log.close()
            with open(os.path.join(folder, 'bluez.log'), encoding='utf-8', errors='replace') as f:
                sys.stderr.write(f.read())
            stop(children)
            raise
    return address, children


def stop(children):
    for child in children:
        if child.poll() is None:
            child.terminate()
    for child in children:
        try:
            child.wait(timeout=10)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--world', default='{}', help='the simulated BlueZ world as JSON')
    parser.add_argument('--no-bluez', action='store_true', help='a bus without BlueZ')
    parser.add_argument('--serve', action='store_true', help='print the address, serve until stdin closes')
    parser.add_argument('command', nargs='*')
    args = parser.parse_args()
    if not args.serve and not args.command:
        parser.error('give --serve or a command')

    folder = tempfile.mkdtemp(prefix='ostrel-bluez-')
    try:
        address, children = start(folder, args.world, not args.no_bluez)
        try:
            if args.serve:
                print(address, flush=True)
                sys.stdin.buffer.read()
                return 0
            return subprocess.call(args.command, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address))
        finally:
            stop(children)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
