#!/usr/bin/python3
'''A private system bus with a simulated BlueZ on it, and simulated units in
reach, for the tests.

    mock_bluez.py [--world JSON] [--no-bluez] --serve
        prints the bus address on one line and the units' socket folder on
        the next, then keeps everything up until standard input closes (the
        test program that started it ends). Meanwhile it takes commands on
        standard input, one a line, and answers each with a line "ok" (or
        "error TEXT"):
            restart release|kill   BlueZ stops (releasing the profiles
                                   registered with it, or killed without a
                                   word) and starts again; it then knows
                                   only the paired devices
            set ADDRESS connect|sdp VALUE
                                   the unit at ADDRESS behaves so from now on
            kill-units ADDRESS     the unit at ADDRESS drops every link at
                                   once (switched off)
    mock_bluez.py [--world JSON] [--no-bluez] -- COMMAND ARGS...
        runs COMMAND with DBUS_SYSTEM_BUS_ADDRESS pointing at the bus and
        OSTREL_TEST_BLUETOOTH_SOCKETS at the units, and exits with its exit
        code.

The bus is a dbus-daemon of its own on a socket in a fresh temporary folder:
nothing is shared with the machine's system bus or with other test runs.
BlueZ is python3-dbusmock's bluez5 template extended by bluez_units.py (see
there for WORLD); --no-bluez leaves the bus without it. The units answer in
units_on_air.py, beside BlueZ as real units are.
'''

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dbus

import units_on_air

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


def with_addresses(world, sockets):
    '''The world with every adapter's address and the units' folder.'''
    world = dict(world, sockets=sockets)
    world['adapters'] = [dict(entry) for entry in world.get('adapters', [])]
    for index, entry in enumerate(world['adapters']):
        entry.setdefault('address', f'00:1A:7D:DA:71:{index:02X}')
    return world


def start_bluez(folder, address, world):
    # The template imports units_on_air from here.
    path = os.pathsep.join(filter(None, [HERE, os.environ.get('PYTHONPATH')]))
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, PYTHONPATH=path)
    log = open(os.path.join(folder, 'bluez.log'), 'ab')  # pylint: disable=consider-using-with
    mock = subprocess.Popen([sys.executable, '-m', 'dbusmock', '--system', '--template', TEMPLATE, '-p',
                             json.dumps(world)], env=env, stdin=subprocess.DEVNULL, stdout=log,
                            stderr=subprocess.STDOUT)
    log.close()
    try:
        wait_for_bluez(address, mock)
    except Exception:
        with open(os.path.join(folder, 'bluez.log'), encoding='utf-8', errors='replace') as f:
            sys.stderr.write(f.read())
        stop([mock])
        raise
    return mock


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
        try:
            children.insert(0, start_bluez(folder, address, world))
        except Exception:
            stop(children)
            raise
    return address, children


def restart_bluez(folder, address, world, children, how):
    '''bluetoothd stops and starts again: its profiles are gone either way.'''
    mock = children.pop(0)
    if how == 'release':
        bus = dbus.bus.BusConnection(address)
        bus.call_blocking('org.bluez', '/', 'org.bluez.Mock', 'ReleaseProfiles', '', (), timeout=STARTUP_S)
        bus.close()
        stop([mock])
    else:
        mock.kill()
        mock.wait()
    children.insert(0, start_bluez(folder, address, dict(world, restarted=True)))


def serve(folder, address, world, children, air):
    for line in sys.stdin:
        words = line.split()
        try:
            if words[:1] == ['restart'] and len(words) == 2 and words[1] in ('release', 'kill'):
                restart_bluez(folder, address, world, children, words[1])
            elif words[:1] == ['set'] and len(words) == 4 and words[2] in ('connect', 'sdp'):
                air.set(words[1], words[2], words[3])
            elif words[:1] == ['kill-units'] and len(words) == 2:
                air.kill_units(words[1])
            else:
                raise ValueError('unknown command: ' + line.strip())
            print('ok', flush=True)
        except Exception as e:  # pylint: disable=broad-except
            print('error', str(e).replace('\n', ' '), flush=True)


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
    sockets = os.path.join(folder, 'air')
    world = with_addresses(json.loads(args.world), sockets)
    air = units_on_air.Air(sockets, world)
    air.start()
    try:
        address, children = start(folder, world, not args.no_bluez)
        try:
            if args.serve:
                print(address, flush=True)
                print(sockets, flush=True)
                serve(folder, address, world, children, air)
                return 0
            return subprocess.call(args.command, env=dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address,
                                                          OSTREL_TEST_BLUETOOTH_SOCKETS=sockets))
        finally:
            stop(children)
    finally:
        air.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
