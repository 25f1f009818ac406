'''A simulated BlueZ with units: python3-dbusmock's bluez5 template, extended
with what the library's BlueZ stack uses of a real one.

Load it with `python3 -m dbusmock --system --template THIS_FILE -p WORLD`,
WORLD a JSON object:
    unit_helper  the program that serves a simulated unit on a socket
                 (ostrel_sim_fd_unit FD SERIAL [CLOSE_AFTER_BYTES])
    adapters     [{"name": "hci0", "powered": true}, ...]
    devices      [{"adapter": "hci0", "address": "00:07:80:15:01:01",
                   "name": "QuorvelKTRX 15101" (absent: a device without a name),
                   "paired": true,
                   "found_after_ms": 300 (absent: known from the start; else it
                                     appears that long after StartDiscovery),
                   "connect": "ok" | "fail" | "drop:BYTES" | "nosocket"}]

What it adds to the template:
- ProfileManager1.RegisterProfile keeps the caller's bus name, so that
- Device1.ConnectProfile can do what BlueZ does: make a connected socket
  pair, start the unit helper on one end, and hand the other to the
  registered profile's NewConnection before it returns. "fail" answers
  org.bluez.Error.Failed instead; "drop:N" makes the unit drop the link after
  sending N bytes; "nosocket" returns without a NewConnection.
- Device1.DisconnectProfile asks the profile's RequestDisconnection first, as
  BlueZ does.
- Adapter1.StartDiscovery brings the devices with found_after_ms.
- On org.bluez.Mock (object /): RequestDisconnection(device) asks the
  profile to let go of the device; SetConnect(device, behaviour); Events()
  lists, in order, what the library asked for.
'''

import socket
import subprocess

import dbus
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates import bluez5
from dbusmock.templates.bluez5 import (  # noqa: F401  served as in the template
    ADAPTER_IFACE, BLUEZ_MOCK_IFACE, DEVICE_IFACE, PROFILE_MANAGER_IFACE, AddAdapter, AddDevice, PairDevice)

BUS_NAME = bluez5.BUS_NAME
MAIN_OBJ = bluez5.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

PROFILE_IFACE = 'org.bluez.Profile1'
MANAGER_PATH = '/org/bluez'
NEW_CONNECTION_TIMEOUT_S = 20


def _manager():
    return mockobject.objects[MANAGER_PATH]


def _event(text):
    _manager().events.append(text)


def _profile_owner(uuid):
    owner = _manager().profiles.get(str(uuid).lower())
    if owner is None:
        raise dbus.exceptions.DBusException('no profile registered for ' + uuid, name='org.bluez.Error.NotAvailable')
    return owner


def _call_profile(owner, method, signature, args):
    sender, path = owner
    return _manager().connection.call_blocking(sender, path, PROFILE_IFACE, method, signature, args,
                                               timeout=NEW_CONNECTION_TIMEOUT_S)


def _set_connected(device, connected):
    device.props[DEVICE_IFACE]['Connected'] = dbus.Boolean(connected, variant_level=1)


def _reap():
    _manager().units = [unit for unit in _manager().units if unit.poll() is None]


@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='', sender_keyword='sender')
def RegisterProfile(manager, path, uuid, options, sender=None):
    uuid = str(uuid).lower()
    if uuid in manager.profiles:
        raise dbus.exceptions.DBusException('UUID already registered', name='org.bluez.Error.AlreadyExists')
    manager.profiles[uuid] = (str(sender), str(path))
    _event(f'RegisterProfile {path} {uuid} {options.get("Role", "")}')


@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def UnregisterProfile(manager, path, sender=None):
    for uuid, owner in list(manager.profiles.items()):
        if owner == (str(sender), str(path)):
            del manager.profiles[uuid]
    _event(f'UnregisterProfile {path}')


def _connect_profile(device, uuid):
    _event(f'ConnectProfile {device.path} {uuid}')
    _reap()
    behaviour = device.connect_behaviour
    if behaviour == 'fail':
        raise dbus.exceptions.DBusException('Connection refused (111)', name='org.bluez.Error.Failed')
    owner = _profile_owner(uuid)
    if behaviour == 'nosocket':
        return
    ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
    command = [_manager().unit_helper, str(theirs.fileno()), device.serial]
    if behaviour.startswith('drop:'):
        command.append(behaviour[len('drop:'):])
    try:
        _manager().units.append(subprocess.Popen(command, pass_fds=[theirs.fileno()]))
    finally:
        theirs.close()
    try:
        _call_profile(owner, 'NewConnection', 'oha{sv}',
                      (dbus.ObjectPath(device.path), dbus.types.UnixFd(ours), dbus.Dictionary({}, signature='sv')))
    except dbus.exceptions.DBusException as e:
        raise dbus.exceptions.DBusException('NewConnection failed: ' + str(e), name='org.bluez.Error.Failed')
    finally:
        ours.close()
    _set_connected(device, True)


def _disconnect_profile(device, uuid):
    _event(f'DisconnectProfile {device.path} {uuid}')
    try:
        _call_profile(_profile_owner(uuid), 'RequestDisconnection', 'o', (dbus.ObjectPath(device.path),))
    except dbus.exceptions.DBusException:
        pass
    _set_connected(device, False)


def _add_devices(entries):
    for entry in entries:
        _add_device(entry)
    return False  # once


def _set_discovering(adapter, discovering):
    # The template's own StartDiscovery needs a discovery filter set first.
    adapter.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(discovering, variant_level=1)


def _start_discovery(adapter):
    _event(f'StartDiscovery {adapter.path}')
    _set_discovering(adapter, True)
    for delay in sorted({entry['found_after_ms'] for entry in adapter.found_later}):
        later = [entry for entry in adapter.found_later if entry['found_after_ms'] == delay]
        adapter.found_later = [entry for entry in adapter.found_later if entry['found_after_ms'] != delay]
        GLib.timeout_add(delay, _add_devices, later)


def _stop_discovery(adapter):
    _event(f'StopDiscovery {adapter.path}')
    _set_discovering(adapter, False)


def _add_device(entry):
    root = _manager().root
    path = AddDevice(root, entry['adapter'], entry['address'], entry.get('name', ''))
    device = mockobject.objects[path]
    if 'name' not in entry:
        del device.props[DEVICE_IFACE]['Name']
    if entry.get('paired'):
        PairDevice(root, entry['adapter'], entry['address'], bluez5.MOCK_PHONE_CLASS)
    device.serial = entry.get('name', '')[12:]
    device.connect_behaviour = entry.get('connect', 'ok')
    device.AddMethod(DEVICE_IFACE, 'ConnectProfile', 's', '', _connect_profile)
    device.AddMethod(DEVICE_IFACE, 'DisconnectProfile', 's', '', _disconnect_profile)
    return path


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='o', out_signature='')
def RequestDisconnection(_self, device_path):
    _event(f'RequestDisconnection {device_path}')
    owners = set(_manager().profiles.values())
    for owner in owners:
        _call_profile(owner, 'RequestDisconnection', 'o', (dbus.ObjectPath(device_path),))


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='os', out_signature='')
def SetConnect(_self, device_path, behaviour):
    mockobject.objects[str(device_path)].connect_behaviour = str(behaviour)


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='as')
def Events(_self):
    return dbus.Array(_manager().events, signature='s')


def load(mock, parameters):
    # The template's methods find the root object here; the mock's main
    # program registers it only after the template is loaded.
    mockobject.objects['/'] = mock
    bluez5.load(mock, parameters)
    world = parameters or {}
    manager = _manager()
    manager.root = mock
    # In place of the template's: these need the caller's bus name, which
    # only a method of its own is told.
    for method in (RegisterProfile, UnregisterProfile):
        manager.methods[PROFILE_MANAGER_IFACE][method.__name__] = (
            method._dbus_in_signature, method._dbus_out_signature, '', method)  # pylint: disable=protected-access
    manager.profiles = {}
    manager.events = []
    manager.units = []
    manager.unit_helper = world.get('unit_helper', '')
    for entry in world.get('adapters', []):
        path = AddAdapter(mock, entry['name'], 'ostrel-test')
        adapter = mockobject.objects[path]
        adapter.props[ADAPTER_IFACE]['Powered'] = dbus.Boolean(entry.get('powered', True), variant_level=1)
        adapter.found_later = []
        adapter.AddMethod(ADAPTER_IFACE, 'StartDiscovery', '', '', _start_discovery)
        adapter.AddMethod(ADAPTER_IFACE, 'StopDiscovery', '', '', _stop_discovery)
    for entry in world.get('devices', []):
        if 'found_after_ms' in entry:
            mockobject.objects['/org/bluez/' + entry['adapter']].found_later.append(entry)
        else:
            _add_device(entry)
