// A private session bus for the whole-program tests, the one dbus-run-session
// would start: Debian's dbus-daemon with its session configuration.
#pragma once

#include <sys/types.h>

#include <string>

struct SessionBus {
    pid_t pid = -1;
    std::string address; // for DBUS_SESSION_BUS_ADDRESS
};

// Returns false, with a reason, when the bus does not come up.
bool start_session_bus(SessionBus* bus, std::string* why);
// Ends the bus by its process id, a stopped one too.
void stop_session_bus(SessionBus* bus);

// Runs a shell command line with the bus as its session bus and returns what
// it wrote on standard output.
std::string on_bus(const SessionBus& bus, const std::string& command);
