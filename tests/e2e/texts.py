"""The host's own texts and exit codes, as the tests read them back. The texts
are host_core/texts.h's, under the same names in capitals; tests/texts_agree.py
checks that they are the same, byte for byte."""

# Events.
LAUNCHED = "子进程创建成功!cmd="
LAUNCH_FAILED = "子进程创建失败!cmd="
STOPPED_EVENT = "Service stopped"
DISPATCHER_RETURNED = "Register Service Main Function Succeed!"
DISPATCHER_FAILED = "Register Service Main Function Error!"
HANDLER_NOT_INSTALLED = "Handler not installed"
BAD_SERVICE_REQUEST = "Bad service request"
NOT_DELETED = "Service could not be deleted"
REFUSED = "Only administrators may change what this service runs, but "
LAST_WORDS_BEFORE = "The program ended by itself with exit code "
LAST_WORDS_AFTER = ". The last lines of its console:\r\n"
LAST_WORDS = LAST_WORDS_BEFORE + "{}" + LAST_WORDS_AFTER
EVENT_UNITS = 255  # one event holds at most this many UTF-16 units

# Boxes (and, where nobody sees one, standard error and an event).
BOX_CAPTION = "ERROR"
CREATE_FAILED = "CreateServiceW() 失败!"
MANAGER_FAILED = "OpenSCManager() 失败!"
EVENT_SOURCE_FAILED = "RegisterEventSource() Failed!"

# What /install, /uninstall and a hand start exit with; Wine's exit status
# keeps the low 8 bits (hidden_station_run prints the whole code).
ERROR_INVALID_NAME = 123
ERROR_BAD_PATHNAME = 161
ERROR_FILENAME_EXCED_RANGE = 206
ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063
ERROR_SERVICE_MARKED_FOR_DELETE = 1072
ERROR_SERVICE_EXISTS = 1073
ERROR_DUPLICATE_SERVICE_NAME = 1078
ERROR_ACCESS_DISABLED_BY_POLICY = 1260
