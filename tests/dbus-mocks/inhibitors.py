'''The four idle inhibitor services Corvane tries, played by one process.

Each service owns its real bus name and object, with Inhibit and the call
that gives the inhibitor back:
  gnome   org.gnome.SessionManager Inhibit/Uninhibit (cookie)
  pm      org.freedesktop.PowerManagement Inhibit/UnInhibit (cookie)
  portal  org.freedesktop.portal.Desktop Inhibit, then Close on the request
  logind  org.freedesktop.login1 Inhibit, held while the descriptor is open
The tests' private bus stands in for the system bus too.

All four start with the mock. On the mock interface: ListInhibitors()
returns "key|entry" for each held inhibitor, the entry being gnome
"app_id|flags|reason|cookie", pm "application|reason|cookie", portal
"flags|reason|request path", logind "what|who|mode|why"; Drop(key) ends a
service as if it had quit, forgetting what it held; Serve(keys, refusing)
starts services again, those in refusing answering Inhibit with an error.
'''

import os

import dbus
import dbus.service

from gi.repository import GLib
from dbusmock import MOCK_IFACE

BUS_NAME = 'org.corvane.test.Inhibitors'
MAIN_OBJ = '/org/corvane/test/Inhibitors'
MAIN_IFACE = 'org.corvane.test.Inhibitors'
SYSTEM_BUS = False

GNOME = 'org.gnome.SessionManager'
PM = 'org.freedesktop.PowerManagement.Inhibit'
PORTAL = 'org.freedesktop.portal.Inhibit'
LOGIND = 'org.freedesktop.login1.Manager'


class Plain(dbus.service.Object):
    '''An object of our own; dbusmock's method lookup falls back for it.'''
    methods = {}
    interface = ''


class Service(Plain):
    '''One service: its bus name, its object, its share of the held entries.'''

    def __init__(self, mock, key, bus_name, path, refuse):
        self.mock = mock
        self.key = key
        self.refuse = refuse
        self.name = dbus.service.BusName(bus_name, mock.connection, do_not_queue=True)
        super().__init__(mock.connection, path)

    def check(self):
        if self.refuse:
            raise dbus.exceptions.DBusException('refused', name='org.corvane.test.Refused')

    def hold(self, handle, entry):
        self.mock.held[(self.key, handle)] = f'{self.key}|{entry}'

    def give_back(self, handle):
        self.mock.held.pop((self.key, handle), None)

    def drop(self):
        self.remove_from_connection()
        self.mock.connection.release_name(self.name.get_name())
        self.mock.held = {k: v for k, v in self.mock.held.items() if k[0] != self.key}


class GnomeSession(Service):
    @dbus.service.method(GNOME, in_signature='susu', out_signature='u')
    def Inhibit(self, app_id, _toplevel_xid, reason, flags):
        self.check()
        self.mock.next_handle += 1
        cookie = self.mock.next_handle
        self.hold(cookie, f'{app_id}|{flags}|{reason}|{cookie}')
        return dbus.UInt32(cookie)

    @dbus.service.method(GNOME, in_signature='u', out_signature='')
    def Uninhibit(self, cookie):
        self.give_back(int(cookie))


class PowerManagement(Service):
    @dbus.service.method(PM, in_signature='ss', out_signature='u')
    def Inhibit(self, application, reason):
        self.check()
        self.mock.next_handle += 1
        cookie = self.mock.next_handle
        self.hold(cookie, f'{application}|{reason}|{cookie}')
        return dbus.UInt32(cookie)

    @dbus.service.method(PM, in_signature='u', out_signature='')
    def UnInhibit(self, cookie):
        self.give_back(int(cookie))


class Request(Plain):
    '''A portal request: closing it ends the inhibition.'''

    def __init__(self, portal, path):
        self.portal = portal
        self.path = path
        super().__init__(portal.mock.connection, path)

    @dbus.service.method('org.freedesktop.portal.Request', in_signature='', out_signature='')
    def Close(self):
        self.portal.give_back(self.path)
        self.remove_from_connection()


class Portal(Service):
    @dbus.service.method(PORTAL, in_signature='sua{sv}', out_signature='o')
    def Inhibit(self, _window, flags, options):
        self.check()
        self.mock.next_handle += 1
        path = f'/org/freedesktop/portal/desktop/request/1_1/corvane{self.mock.next_handle}'
        Request(self, path)
        self.hold(path, f'{flags}|{options.get("reason", "")}|{path}')
        return dbus.ObjectPath(path)


class Logind(Service):
    @dbus.service.method(LOGIND, in_signature='ssss', out_signature='h')
    def Inhibit(self, what, who, why, mode):
        self.check()
        self.mock.next_handle += 1
        handle = self.mock.next_handle
        self.hold(handle, f'{what}|{who}|{mode}|{why}')
        fd_r, fd_w = os.pipe()

        def dropped(fd, _condition):
            os.close(fd)
            self.give_back(handle)
            return False

        GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, fd_r, GLib.IO_HUP, dropped)
        GLib.idle_add(os.close, fd_w)
        return fd_w


SERVICES = {
    'gnome': (GnomeSession, 'org.gnome.SessionManager', '/org/gnome/SessionManager'),
    'pm': (PowerManagement, 'org.freedesktop.PowerManagement',
           '/org/freedesktop/PowerManagement/Inhibit'),
    'portal': (Portal, 'org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop'),
    'logind': (Logind, 'org.freedesktop.login1', '/org/freedesktop/login1'),
}


def serve(mock, keys, refusing):
    for key in keys:
        cls, bus_name, path = SERVICES[key]
        mock.services[key] = cls(mock, key, bus_name, path, key in refusing)


def load(mock, _parameters):
    mock.held = {}
    mock.next_handle = 40
    mock.services = {}
    serve(mock, SERVICES, [])


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ListInhibitors(self):
    return dbus.Array(self.held.values(), signature='s')


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Drop(self, key):
    self.services.pop(key).drop()


@dbus.service.method(MOCK_IFACE, in_signature='asas', out_signature='')
def Serve(self, keys, refusing):
    serve(self, keys, refusing)
