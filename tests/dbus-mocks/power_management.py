'''freedesktop PowerManagement inhibit mock (as KDE's PowerDevil offers it).

ListInhibitors on the mock interface returns "application|reason|cookie".
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.PowerManagement'
MAIN_OBJ = '/org/freedesktop/PowerManagement/Inhibit'
MAIN_IFACE = 'org.freedesktop.PowerManagement.Inhibit'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.inhibitors = {}
    mock.next_cookie = 70


@dbus.service.method(MAIN_IFACE, in_signature='ss', out_signature='u')
def Inhibit(self, application, reason):
    self.next_cookie += 1
    self.inhibitors[self.next_cookie] = f'{application}|{reason}|{self.next_cookie}'
    return dbus.UInt32(self.next_cookie)


@dbus.service.method(MAIN_IFACE, in_signature='u', out_signature='')
def UnInhibit(self, cookie):
    self.inhibitors.pop(int(cookie), None)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ListInhibitors(self):
    return dbus.Array(self.inhibitors.values(), signature='s')
