'''GNOME's session manager, as far as ending the session goes.

Parameters: "refuse", an error name that every call answers with.
'''

BUS_NAME = 'org.gnome.SessionManager'
MAIN_OBJ = '/org/gnome/SessionManager'
MAIN_IFACE = 'org.gnome.SessionManager'
SYSTEM_BUS = False


def load(mock, parameters):
    code = ''
    if parameters.get('refuse'):
        code = f'raise dbus.exceptions.DBusException("refused", name="{parameters["refuse"]}")'
    mock.AddMethods(MAIN_IFACE, [
        ('Logout', 'u', '', code),
        ('Shutdown', '', '', code),
        ('Reboot', '', '', code),
    ])
