'''GNOME session manager mock: Inhibit/Uninhibit only.

Parameters: "fail" (bool) makes Inhibit answer with an error; "delay_ms"
(int) makes it answer that much later.
ListInhibitors on the mock interface returns "app_id|flags|reason|cookie".
'''

import dbus

from gi.repository import GLib
from dbusmock import MOCK_IFACE

BUS_NAME = 'org.gnome.SessionManager'
MAIN_OBJ = '/org/gnome/SessionManager'
MAIN_IFACE = 'org.gnome.SessionManager'
SYSTEM_BUS = False


def load(mock, parameters):
    mock.fail = bool(parameters.get('fail', False))
    mock.delay_ms = int(parameters.get('delay_ms', 0))
    mock.inhibitors = {}
    mock.next_cookie = 41


@dbus.service.method(MAIN_IFACE, in_signature='susu', out_signature='u',
                     async_callbacks=('reply', 'error'))
def Inhibit(self, app_id, _toplevel_xid, reason, flags, reply, error):
    self.log(f'Inhibit {app_id} {flags}')
    if self.fail:
        error(dbus.exceptions.DBusException('refused', name='org.gnome.SessionManager.GeneralError'))
        return
    self.next_cookie += 1
    self.inhibitors[self.next_cookie] = f'{app_id}|{flags}|{reason}|{self.next_cookie}'
    cookie = dbus.UInt32(self.next_cookie)
    if self.delay_ms > 0:
        GLib.timeout_add(self.delay_ms, lambda: reply(cookie))
    else:
        reply(cookie)


@dbus.service.method(MAIN_IFACE, in_signature='u', out_signature='')
def Uninhibit(self, cookie):
    self.log(f'Uninhibit {cookie}')
    self.inhibitors.pop(int(cookie), None)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ListInhibitors(self):
    return dbus.Array(self.inhibitors.values(), signature='s')
