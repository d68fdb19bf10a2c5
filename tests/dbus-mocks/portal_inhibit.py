'''Desktop portal mock: org.freedesktop.portal.Inhibit.Inhibit only.

Each Inhibit creates a Request object whose Close ends the inhibition.
ListInhibitors on the mock interface returns "flags|reason|request path".
'''

import dbus

from dbusmock import MOCK_IFACE

BUS_NAME = 'org.freedesktop.portal.Desktop'
MAIN_OBJ = '/org/freedesktop/portal/desktop'
MAIN_IFACE = 'org.freedesktop.portal.Inhibit'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.inhibitors = {}
    mock.next_request = 0
    mock.AddProperty(MAIN_IFACE, 'version', dbus.UInt32(3))


@dbus.service.method(MAIN_IFACE, in_signature='sua{sv}', out_signature='o')
def Inhibit(self, _window, flags, options):
    self.next_request += 1
    path = f'/org/freedesktop/portal/desktop/request/1_1/corvane{self.next_request}'
    self.inhibitors[path] = f'{flags}|{options.get("reason", "")}|{path}'
    self.AddObject(path, 'org.freedesktop.portal.Request', {}, [
        ('Close', '', '',
         f'objects["{MAIN_OBJ}"].inhibitors.pop(self.__dbus_object_path__, None)'),
    ])
    return dbus.ObjectPath(path)


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def ListInhibitors(self):
    return dbus.Array(self.inhibitors.values(), signature='s')
