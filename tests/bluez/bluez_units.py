'''A simulated BlueZ with units: python3-dbusmock's bluez5 template, extended
with what hosts use of a real one and with bluetoothd's rules for it.

Load it with `python3 -m dbusmock --system --template THIS_FILE -p WORLD`,
WORLD a JSON object:
    sockets      the folder where the units answer (units_on_air.py)
    unit_helper  the program that serves a simulated unit on a socket
    restarted    true: BlueZ starts again and knows only the paired devices
    adapters     [{"name": "hci0", "address": "00:1A:7D:DA:71:00",
                   "powered": true}, ...]
    devices      [{"adapter": "hci0", "address": "00:07:80:15:01:01",
                   "name": "QuorvelKTRX 15101" (absent: a device without a name),
                   "paired": true,
                   "found_after_ms": 300 (absent: known from the start; else
                                     inquiry finds it that long after it starts),
                   and the keys of units_on_air.py: connect, channel, sdp}]

bluetoothd's rules, as its sources (5.66) have them:
- Adapter1: a discovery filter belongs to the client (bus name) that set it
  and goes when the client leaves the bus; SetDiscoveryFilter and
  StartDiscovery on an adapter that is off answer NotReady. Without a filter
  of {"Transport": "bredr"} discovery scans for LE devices first (5.12 s)
  and only then runs inquiry, so BR/EDR devices are found that much later.
- ProfileManager1: one registrant per UUID on the whole bus: RegisterProfile
  answers AlreadyExists when the sender has a profile on that path, else
  NotPermitted ("UUID already registered") when anyone has the UUID; a
  profile goes when its owner leaves the bus; UnregisterProfile of an
  unknown one answers DoesNotExist.
- Device1.ConnectProfile: NotAvailable when no profile has the UUID;
  success at once, without a NewConnection, when the profile's link to the
  device is up; otherwise BlueZ connects the unit's serial port, makes the
  socket non-blocking (its I/O layer does so to every socket) and hands it
  to the profile's NewConnection, and replies once that is answered.
  DisconnectProfile asks the profile's RequestDisconnection first.
- On a stop, Release is sent to every profile, expecting no reply.

On org.bluez.Mock (object /): Events() lists, in order, what hosts asked
for; ForgetDevice(device) drops a device as BlueZ drops an unpaired one it
has not seen for a while; ReleaseProfiles() sends the Release of a stop.
'''

import fcntl
import os
import socket

import dbus
from gi.repository import GLib

from dbusmock import mockobject
from dbusmock.templates import bluez5
from dbusmock.templates.bluez5 import (  # noqa: F401  served as in the template
    ADAPTER_IFACE, BLUEZ_MOCK_IFACE, DEVICE_IFACE, PROFILE_MANAGER_IFACE, AddAdapter, AddDevice, PairDevice)

import units_on_air

BUS_NAME = bluez5.BUS_NAME
MAIN_OBJ = bluez5.MAIN_OBJ
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

PROFILE_IFACE = 'org.bluez.Profile1'
MANAGER_PATH = '/org/bluez'
NEW_CONNECTION_TIMEOUT_S = 20
LE_SCAN_FIRST_MS = 5120


def _error(name, text=''):
    return dbus.exceptions.DBusException(text or name, name='org.bluez.Error.' + name)


def _manager():
    return mockobject.objects[MANAGER_PATH]


def _event(text):
    _manager().events.append(text)


def _install(obj, interface, method):
    '''A dbus-python method on a mock object: it may ask for the sender.'''
    # pylint: disable=protected-access
    obj.methods.setdefault(interface, {})[method.__name__] = (method._dbus_in_signature, method._dbus_out_signature,
                                                              '', method)


def _watch_client(sender):
    '''Calls _client_left(sender) once the sender leaves the bus.'''
    manager = _manager()
    if sender in manager.watched:
        return

    def owner_changed(new_owner):
        if not new_owner:
            _client_left(sender)

    manager.watched[sender] = manager.connection.watch_name_owner(sender, owner_changed)


def _client_left(sender):
    manager = _manager()
    watch = manager.watched.pop(sender, None)
    if watch is not None:
        watch.cancel()
    for uuid, owner in list(manager.profiles.items()):
        if owner[0] == sender:
            del manager.profiles[uuid]
            _event(f'ProfileDropped {owner[1]} {uuid}')
    for adapter in _adapters():
        adapter.filters.pop(sender, None)


def _adapters():
    return [obj for path, obj in mockobject.objects.items() if hasattr(obj, 'filters')]


# Adapter1

def _require_powered(adapter):
    if not adapter.props[ADAPTER_IFACE]['Powered']:
        raise _error('NotReady', 'Resource Not Ready')


@dbus.service.method(ADAPTER_IFACE, in_signature='a{sv}', out_signature='', sender_keyword='sender')
def SetDiscoveryFilter(adapter, properties, sender=None):
    _require_powered(adapter)
    transport = str(properties.get('Transport', 'auto'))
    _event(f'SetDiscoveryFilter {adapter.path} Transport={transport}')
    adapter.filters[str(sender)] = transport
    _watch_client(str(sender))


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='', sender_keyword='sender')
def StartDiscovery(adapter, sender=None):
    _require_powered(adapter)
    transport = adapter.filters.get(str(sender), 'auto')
    _event(f'StartDiscovery {adapter.path} Transport={transport}')
    adapter.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(True, variant_level=1)
    lead = 0 if transport == 'bredr' else LE_SCAN_FIRST_MS
    for entry in adapter.found_later:
        GLib.timeout_add(entry['found_after_ms'] + lead, _find_later, adapter, entry)


def _find_later(adapter, entry):
    # Found only while the inquiry runs.
    if adapter.props[ADAPTER_IFACE]['Discovering'] and entry in adapter.found_later:
        adapter.found_later.remove(entry)
        _add_device(entry)
    return False  # once


@dbus.service.method(ADAPTER_IFACE, in_signature='', out_signature='')
def StopDiscovery(adapter):
    _event(f'StopDiscovery {adapter.path}')
    adapter.props[ADAPTER_IFACE]['Discovering'] = dbus.Boolean(False, variant_level=1)


# ProfileManager1

@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='osa{sv}', out_signature='', sender_keyword='sender')
def RegisterProfile(manager, path, uuid, options, sender=None):
    uuid, owner = str(uuid).lower(), (str(sender), str(path))
    if owner in manager.profiles.values():
        raise _error('AlreadyExists', 'Already Exists')
    if uuid in manager.profiles:
        raise _error('NotPermitted', 'UUID already registered')
    manager.profiles[uuid] = owner
    manager.links[uuid] = set()
    _watch_client(owner[0])
    _event(f'RegisterProfile {path} {uuid} {options.get("Role", "")}')


@dbus.service.method(PROFILE_MANAGER_IFACE, in_signature='o', out_signature='', sender_keyword='sender')
def UnregisterProfile(manager, path, sender=None):
    owned = [uuid for uuid, owner in manager.profiles.items() if owner == (str(sender), str(path))]
    if not owned:
        raise _error('DoesNotExist', 'Does Not Exist')
    for uuid in owned:
        del manager.profiles[uuid]
    _event(f'UnregisterProfile {path}')


# Device1

def _call_profile(owner, method, signature, args):
    sender, path = owner
    return _manager().connection.call_blocking(sender, path, PROFILE_IFACE, method, signature, args,
                                               timeout=NEW_CONNECTION_TIMEOUT_S)


def _connect_profile(device, uuid):
    uuid = str(uuid).lower()
    manager = _manager()
    _event(f'ConnectProfile {device.path} {uuid}')
    owner = manager.profiles.get(uuid)
    if owner is None:
        raise _error('NotAvailable', 'br-connection-profile-unavailable')
    if device.path in manager.links[uuid]:
        return  # connected already: nothing new to hand over
    port = os.path.join(units_on_air.folder_of(manager.sockets, device.adapter_address, device.address),
                        f'rfcomm{device.channel}')
    link = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        link.connect(port)
    except OSError as e:
        link.close()
        raise _error('Failed', 'br-connection-page-timeout' if isinstance(e, FileNotFoundError)
                     else 'br-connection-refused')
    fcntl.fcntl(link.fileno(), fcntl.F_SETFL, fcntl.fcntl(link.fileno(), fcntl.F_GETFL) | os.O_NONBLOCK)
    try:
        _call_profile(owner, 'NewConnection', 'oha{sv}',
                      (dbus.ObjectPath(device.path), dbus.types.UnixFd(link), dbus.Dictionary({}, signature='sv')))
    except dbus.exceptions.DBusException as e:
        raise _error('Failed', 'NewConnection failed: ' + str(e))
    finally:
        link.close()
    manager.links[uuid].add(device.path)
    device.props[DEVICE_IFACE]['Connected'] = dbus.Boolean(True, variant_level=1)


def _disconnect_profile(device, uuid):
    uuid = str(uuid).lower()
    manager = _manager()
    _event(f'DisconnectProfile {device.path} {uuid}')
    owner = manager.profiles.get(uuid)
    if owner is not None and device.path in manager.links[uuid]:
        try:
            _call_profile(owner, 'RequestDisconnection', 'o', (dbus.ObjectPath(device.path),))
        except dbus.exceptions.DBusException:
            pass
        manager.links[uuid].discard(device.path)
    device.props[DEVICE_IFACE]['Connected'] = dbus.Boolean(False, variant_level=1)


def _add_device(entry):
    root = _manager().root
    path = AddDevice(root, entry['adapter'], entry['address'], entry.get('name', ''))
    device = mockobject.objects[path]
    if 'name' not in entry:
        del device.props[DEVICE_IFACE]['Name']
    if entry.get('paired'):
        PairDevice(root, entry['adapter'], entry['address'], bluez5.MOCK_PHONE_CLASS)
    adapter = mockobject.objects['/org/bluez/' + entry['adapter']]
    device.address = entry['address']
    device.adapter_address = str(adapter.props[ADAPTER_IFACE]['Address'])
    device.channel = int(entry.get('channel', 1))
    device.AddMethod(DEVICE_IFACE, 'ConnectProfile', 's', '', _connect_profile)
    device.AddMethod(DEVICE_IFACE, 'DisconnectProfile', 's', '', _disconnect_profile)
    return path


# org.bluez.Mock

@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='as')
def Events(_self):
    return dbus.Array(_manager().events, signature='s')


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='o', out_signature='')
def ForgetDevice(_self, device_path):
    device = mockobject.objects[str(device_path)]
    adapter = mockobject.objects[str(device.props[DEVICE_IFACE]['Adapter'])]
    bluez5.RemoveDevice(adapter, str(device_path))
    _event(f'ForgetDevice {device_path}')


@dbus.service.method(BLUEZ_MOCK_IFACE, in_signature='', out_signature='')
def ReleaseProfiles(_self):
    manager = _manager()
    for uuid, (sender, path) in list(manager.profiles.items()):
        release = dbus.lowlevel.MethodCallMessage(sender, path, PROFILE_IFACE, 'Release')
        release.set_no_reply(True)
        manager.connection.send_message(release)
        del manager.profiles[uuid]
        _event(f'Release {path} {uuid}')


def load(mock, parameters):
    # The template's methods find the root object here; the mock's main
    # program registers it only after the template is loaded.
    mockobject.objects['/'] = mock
    bluez5.load(mock, parameters)
    world = parameters or {}
    manager = _manager()
    manager.root = mock
    for method in (RegisterProfile, UnregisterProfile):
        _install(manager, PROFILE_MANAGER_IFACE, method)
    for method in (Events, ForgetDevice, ReleaseProfiles):
        _install(mock, BLUEZ_MOCK_IFACE, method)
    manager.profiles = {}  # uuid: (sender, path)
    manager.links = {}  # uuid: device paths with a profile link up
    manager.watched = {}
    manager.events = []
    manager.sockets = world.get('sockets', '')
    for entry in world.get('adapters', []):
        path = AddAdapter(mock, entry['name'], 'ostrel-test')
        adapter = mockobject.objects[path]
        adapter.props[ADAPTER_IFACE]['Powered'] = dbus.Boolean(entry.get('powered', True), variant_level=1)
        if 'address' in entry:
            adapter.props[ADAPTER_IFACE]['Address'] = dbus.String(entry['address'], variant_level=1)
        adapter.found_later = []
        adapter.filters = {}  # sender: transport
        for method in (SetDiscoveryFilter, StartDiscovery, StopDiscovery):
            _install(adapter, ADAPTER_IFACE, method)
    for entry in world.get('devices', []):
        if 'found_after_ms' in entry:
            mockobject.objects['/org/bluez/' + entry['adapter']].found_later.append(entry)
        elif entry.get('paired') or not world.get('restarted'):
            _add_device(entry)  # an unpaired device is not kept across a restart
