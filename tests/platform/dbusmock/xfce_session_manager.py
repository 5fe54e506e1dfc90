'''Xfce's session manager, as far as ending the session goes.'''

BUS_NAME = 'org.xfce.SessionManager'
MAIN_OBJ = '/org/xfce/SessionManager'
MAIN_IFACE = 'org.xfce.Session.Manager'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.AddMethods(MAIN_IFACE, [
        # show_dialog, allow_save
        ('Logout', 'bb', '', ''),
        # allow_save
        ('Shutdown', 'b', '', ''),
        ('Restart', 'b', '', ''),
    ])
