'''KDE Plasma's logout prompt.'''

BUS_NAME = 'org.kde.LogoutPrompt'
MAIN_OBJ = '/LogoutPrompt'
MAIN_IFACE = 'org.kde.LogoutPrompt'
SYSTEM_BUS = False


def load(mock, _parameters):
    mock.AddMethods(MAIN_IFACE, [
        ('promptLogout', '', '', ''),
        ('promptShutDown', '', '', ''),
        ('promptReboot', '', '', ''),
    ])
