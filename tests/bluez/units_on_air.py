'''The simulated units' ends of the Bluetooth links: what a unit in reach
answers over the air, apart from BlueZ, so that it outlives a restart of the
simulated BlueZ as a real unit outlives one of bluetoothd.

For each device entry of the world (see bluez_units.py) that is in reach from
its adapter, a folder SOCKETS/ADAPTER/DEVICE (addresses as BlueZ prints them)
holds the two ends a host connects to, as the library's test seam names them:
    sdp        SOCK_SEQPACKET, one SDP PDU per packet as on L2CAP: the unit's
               SDP server with its serial-port record
    rfcommN    SOCK_STREAM: the serial port on RFCOMM channel N; every
               accepted link gets a simulated unit (the unit helper)

Entry keys used here: connect ("ok", "fail": the serial port refuses links,
"drop:BYTES": the unit drops the link after sending that many bytes,
"absent": out of reach, nothing answers), channel (default 1), sdp:
    ok      one record, 16-bit UUIDs, the answer in one response
    long    128-bit UUIDs, first a record of another service on RFCOMM
            channel 9 that the search also matches, and the answer cut into
            responses of 7 bytes joined by continuation states
    none    no serial-port record (another service only)
    error   an SDP error response (0x0003, invalid request syntax)
'''

import os
import queue
import selectors
import socket
import struct
import subprocess
import threading

SERIAL_PORT = 0x1101
DIAL_UP_NETWORKING = 0x1103
PNP_INFORMATION = 0x1200
L2CAP = 0x0100
RFCOMM = 0x0003
BASE_UUID_TAIL = bytes.fromhex('00001000800000805f9b34fb')
LONG_CHUNK = 7
MAX_CHUNK = 0xFFFF


def _element(type_, payload):
    '''A data element with a variable-length size field.'''
    if len(payload) < 0x100:
        return bytes([type_ << 3 | 5, len(payload)]) + payload
    return bytes([type_ << 3 | 6]) + struct.pack('>H', len(payload)) + payload


def _sequence(*items):
    return _element(6, b''.join(items))


def _uint8(value):
    return bytes([0x08, value])


def _uint16(value):
    return b'\x09' + struct.pack('>H', value)


def _uuid(value, long_form):
    if long_form:
        return b'\x1c' + struct.pack('>I', value) + BASE_UUID_TAIL
    return b'\x19' + struct.pack('>H', value)


def _records(entry):
    '''The unit's records: (handle, uuids, {attribute id: encoded value}).'''
    style = entry.get('sdp', 'ok')
    long_form = style == 'long'
    channel = int(entry.get('channel', 1))
    pnp = (0x10000, {PNP_INFORMATION}, {0x0001: _sequence(_uuid(PNP_INFORMATION, long_form))})
    serial = (0x10001, {SERIAL_PORT, L2CAP, RFCOMM}, {
        0x0001: _sequence(_uuid(SERIAL_PORT, long_form)),
        0x0004: _sequence(_sequence(_uuid(L2CAP, long_form)), _sequence(_uuid(RFCOMM, long_form), _uint8(channel))),
        0x0100: _element(4, b'Serial Port'),
    })
    # Matched by a search for the serial port (it names its UUID), but of
    # another class: not the unit's serial port.
    dial_up = (0x10002, {SERIAL_PORT, L2CAP, RFCOMM}, {
        0x0001: _sequence(_uuid(DIAL_UP_NETWORKING, long_form)),
        0x0004: _sequence(_sequence(_uuid(L2CAP, long_form)), _sequence(_uuid(RFCOMM, long_form), _uint8(9))),
    })
    return {'none': [pnp], 'long': [dial_up, serial]}.get(style, [serial])


class _Reader:
    '''Data elements of a request, as far as a search needs them.'''

    def __init__(self, data):
        self.data = data
        self.pos = 0

    def element(self):
        header = self.data[self.pos]
        self.pos += 1
        kind, index = header >> 3, header & 7
        if index < 5:
            size = 0 if kind == 0 else (1, 2, 4, 8, 16)[index]
        else:
            width = (1, 2, 4)[index - 5]
            size = int.from_bytes(self.data[self.pos:self.pos + width], 'big')
            self.pos += width
        value = self.data[self.pos:self.pos + size]
        if len(value) != size:
            raise ValueError('element runs past the request')
        self.pos += size
        return kind, value

    def items(self, value):
        reader = _Reader(value)
        while reader.pos < len(value):
            yield reader.element()


def _short_uuid(value):
    if len(value) == 2:
        return struct.unpack('>H', value)[0]
    if len(value) == 4:
        return struct.unpack('>I', value)[0]
    if len(value) == 16 and value[4:] == BASE_UUID_TAIL:
        return struct.unpack('>I', value[:4])[0]
    return None


def _error(transaction, code):
    return struct.pack('>BHHH', 0x01, transaction, 2, code)


def answer_sdp(entry, pdu):
    '''The unit's answer to one request PDU.'''
    if len(pdu) < 5:
        return _error(0, 0x0003)
    pdu_id, transaction, length = struct.unpack('>BHH', pdu[:5])
    if length != len(pdu) - 5:
        return _error(transaction, 0x0004)
    if pdu_id != 0x06 or entry.get('sdp') == 'error':
        return _error(transaction, 0x0003)
    try:
        request = _Reader(pdu[5:])
        _, pattern = request.element()
        wanted = {_short_uuid(value) for _, value in request.items(pattern)}
        limit = struct.unpack('>H', pdu[5 + request.pos:7 + request.pos])[0]
        request.pos += 2
        _, id_list = request.element()
        ranges = []
        for _, value in request.items(id_list):
            ranges.append((value[:2], value[2:]) if len(value) == 4 else (value, value))
        ranges = [(int.from_bytes(low, 'big'), int.from_bytes(high, 'big')) for low, high in ranges]
        state = pdu[5 + request.pos + 1:]
        offset = int.from_bytes(state, 'big') if state else 0
    except (IndexError, ValueError, struct.error):
        return _error(transaction, 0x0003)
    lists = _sequence(*[
        _sequence(*[_uint16(attribute) + value for attribute, value in sorted(attributes.items())
                    if any(low <= attribute <= high for low, high in ranges)])
        for _, uuids, attributes in _records(entry) if wanted <= uuids])
    chunk = min(limit, LONG_CHUNK if entry.get('sdp') == 'long' else MAX_CHUNK)
    part = lists[offset:offset + chunk]
    following = offset + len(part)
    state = b'\x02' + struct.pack('>H', following) if following < len(lists) else b'\x00'
    parameters = struct.pack('>H', len(part)) + part + state
    return struct.pack('>BHH', 0x07, transaction, len(parameters)) + parameters


def folder_of(sockets, adapter_address, device_address):
    return os.path.join(sockets, adapter_address.upper(), device_address.upper())


class Air(threading.Thread):
    '''Serves every unit in reach until stop(); set() and kill_units() change
    the world meanwhile (run on the serving thread).'''

    def __init__(self, sockets, world):
        super().__init__(daemon=True)
        self.selector = selectors.DefaultSelector()
        self.wake_read, self.wake_write = socket.socketpair()
        self.selector.register(self.wake_read, selectors.EVENT_READ, None)
        self.commands = queue.Queue()
        self.helper = world.get('unit_helper', '')
        self.units = []  # (entry, process)
        self.ports = {}  # id(entry): the serial port's socket
        self.entries = []
        self.sockets = []
        adapters = {entry['name']: entry['address'] for entry in world.get('adapters', [])}
        for entry in world.get('devices', []):
            if entry.get('connect', 'ok') == 'absent':
                continue
            entry = dict(entry)
            self.entries.append(entry)
            entry['folder'] = folder_of(sockets, adapters[entry['adapter']], entry['address'])
            os.makedirs(entry['folder'], exist_ok=True)
            self._listen(os.path.join(entry['folder'], 'sdp'), socket.SOCK_SEQPACKET, ('sdp-server', entry))
            self._open_port(entry)

    def _listen(self, path, kind, role, listening=True):
        server = socket.socket(socket.AF_UNIX, kind)
        server.bind(path)
        self.sockets.append(server)
        # Bound but not listening: a connect is refused, as by a unit that
        # turns the link down.
        if listening:
            server.listen(8)
            self.selector.register(server, selectors.EVENT_READ, role)
        return server

    def _open_port(self, entry):
        path = os.path.join(entry['folder'], f'rfcomm{int(entry.get("channel", 1))}')
        self.ports[id(entry)] = self._listen(path, socket.SOCK_STREAM, ('serial-port', entry),
                                             entry.get('connect', 'ok') != 'fail')

    def run(self):
        while True:
            for key, _ in self.selector.select():
                if key.data is None:
                    if not self._run_commands():
                        return self._close()
                    continue
                role, entry = key.data
                if role == 'sdp-server':
                    link, _ = key.fileobj.accept()
                    self.sockets.append(link)
                    self.selector.register(link, selectors.EVENT_READ, ('sdp-link', entry))
                elif role == 'sdp-link':
                    self._serve_sdp(key.fileobj, entry)
                else:
                    link, _ = key.fileobj.accept()
                    self._start_unit(link, entry)

    def _serve_sdp(self, link, entry):
        try:
            pdu = link.recv(65536)
            if pdu:
                link.send(answer_sdp(entry, pdu))
                return
        except OSError:
            pass
        self.selector.unregister(link)
        link.close()

    def _start_unit(self, link, entry):
        serial = entry.get('name', '')[12:]
        command = [self.helper, str(link.fileno()), serial]
        connect = entry.get('connect', 'ok')
        if connect.startswith('drop:'):
            command.append(connect[len('drop:'):])
        try:
            self.units.append((entry, subprocess.Popen(command, pass_fds=[link.fileno()])))
        finally:
            link.close()
        self.units = [(e, unit) for e, unit in self.units if unit.poll() is None]

    def _set(self, address, key, value):
        for entry in self.entries:
            if entry['address'].upper() != address.upper():
                continue
            entry[key] = value
            if key == 'connect':
                port = self.ports.pop(id(entry))
                try:
                    self.selector.unregister(port)
                except KeyError:
                    pass  # a port that refused links was not listening
                os.unlink(port.getsockname())
                port.close()
                self._open_port(entry)

    def _kill_units(self, address):
        for entry, unit in self.units:
            if entry['address'].upper() == address.upper() and unit.poll() is None:
                unit.kill()
                unit.wait()

    def _run_commands(self):
        self.wake_read.recv(64)
        while not self.commands.empty():
            function, args, done, outcome = self.commands.get()
            if function is None:
                return False
            try:
                function(*args)
            except Exception as e:  # pylint: disable=broad-except
                outcome.append(e)
            done.set()
        return True

    def _call(self, function, *args):
        done, outcome = threading.Event(), []
        self.commands.put((function, args, done, outcome))
        self.wake_write.send(b'c')
        done.wait()
        if outcome:
            raise outcome[0]

    def set(self, address, key, value):
        self._call(self._set, address, key, value)

    def kill_units(self, address):
        self._call(self._kill_units, address)

    def _close(self):
        for item in self.sockets:
            item.close()
        for _, unit in self.units:
            if unit.poll() is None:
                unit.terminate()
        for _, unit in self.units:
            unit.wait()

    def stop(self):
        self.commands.put((None, (), None, None))
        self.wake_write.send(b'x')
        self.join()
