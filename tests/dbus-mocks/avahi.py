'''Avahi's D-Bus API, as much of it as Corvane uses.

The server object at / (org.freedesktop.Avahi.Server) answers
ServiceBrowserNew and ResolveService. A browser sends ItemNew for every
known service of its type, then AllForNow, at once: before the caller has its
path, as a real daemon may. Like Avahi, browser signals go to the client that
made the browser only. Free ends a browser.

The mock interface (on /org/corvane/test/Avahi):
  AddService(name, type, address, host, port, txt) announces a service to
    every browser of its type (and replaces one of the same name and type);
  AddServices(prefix, type, count, address) adds count services named
    prefix0, prefix1, ...;
  RemoveService(name, type) withdraws one;
  ListBrowsers() returns "interface|protocol|type|domain|flags" per live browser.
'''

import dbus
import dbus.lowlevel
import dbus.service

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.Avahi'
MAIN_OBJ = '/org/corvane/test/Avahi'
MAIN_IFACE = 'org.corvane.test.Avahi'
SYSTEM_BUS = False

SERVER = 'org.freedesktop.Avahi.Server'
BROWSER = 'org.freedesktop.Avahi.ServiceBrowser'
INTERFACE_INDEX = 2  # where the mock's services are found
PROTO_INET = 0


class Plain(dbus.service.Object):
    '''An object of our own; dbusmock's method lookup falls back for it.'''
    methods = {}
    interface = ''


class Browser(Plain):
    def __init__(self, mock, path, client, interface, protocol, stype, domain, flags):
        self.mock = mock
        self.path = path
        self.client = client
        self.stype = stype
        self.entry = f'{interface}|{protocol}|{stype}|{domain}|{flags}'
        super().__init__(mock.connection, path)

    def send(self, member, signature='', args=()):
        message = dbus.lowlevel.SignalMessage(self.path, BROWSER, member)
        if signature:
            message.append(*args, signature=signature)
        message.set_destination(self.client)
        self.mock.connection.send_message(message)

    def item(self, member, name):
        self.send(member, 'iisssu', (INTERFACE_INDEX, PROTO_INET, name, self.stype, 'local', 0))

    @dbus.service.method(BROWSER, in_signature='', out_signature='')
    def Free(self):
        self.mock.browsers.remove(self)
        self.remove_from_connection()


class Server(Plain):
    def __init__(self, mock):
        self.mock = mock
        super().__init__(mock.connection, '/')

    @dbus.service.method(SERVER, in_signature='', out_signature='u')
    def GetAPIVersion(self):
        return dbus.UInt32(516)

    @dbus.service.method(SERVER, in_signature='iissu', out_signature='o', sender_keyword='sender')
    def ServiceBrowserNew(self, interface, protocol, stype, domain, flags, sender=None):
        self.mock.next_browser += 1
        path = f'/Client1/ServiceBrowser{self.mock.next_browser}'
        browser = Browser(self.mock, path, sender, interface, protocol, stype, domain, flags)
        self.mock.browsers.append(browser)
        for (name, known_type) in self.mock.services:
            if known_type == stype:
                browser.item('ItemNew', name)
        browser.send('AllForNow')
        return dbus.ObjectPath(path)

    @dbus.service.method(SERVER, in_signature='iisssiu', out_signature='iissssisqaayu')
    def ResolveService(self, interface, protocol, name, stype, domain, _aprotocol, _flags):
        service = self.mock.services.get((str(name), str(stype)))
        if service is None:
            raise dbus.exceptions.DBusException('Timeout reached',
                                                name='org.freedesktop.Avahi.TimeoutError')
        address, host, port, txt = service
        return (interface, protocol, name, stype, domain, host, PROTO_INET, address,
                dbus.UInt16(port), dbus.Array([dbus.ByteArray(t) for t in txt], signature='ay'),
                dbus.UInt32(0))


def load(mock, _parameters):
    mock.services = {}
    mock.browsers = []
    mock.next_browser = 0
    mock.server = Server(mock)


def announce(mock, name, stype, member):
    for browser in mock.browsers:
        if browser.stype == stype:
            browser.item(member, name)


@dbus.service.method(MOCK_IFACE, in_signature='ssssqaay', out_signature='')
def AddService(self, name, stype, address, host, port, txt):
    self.services[(str(name), str(stype))] = (str(address), str(host), int(port),
                                              [bytes(t) for t in txt])
    announce(self, name, stype, 'ItemNew')


@dbus.service.method(MOCK_IFACE, in_signature='ssus', out_signature='')
def AddServices(self, prefix, stype, count, address):
    for i in range(count):
        AddService(self, f'{prefix}{i}', stype, address, 'flood.local', 7000, [])


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def RemoveService(self, name, stype):
    self.services.pop((str(name), str(stype)), None)
    announce(self, name, stype, 'ItemRemove')


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ListBrowsers(self):
    return dbus.Array([b.entry for b in self.browsers], signature='s')
