// Starting and using a private session bus.
#include "tests/e2e/session_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "tests/e2e/harness.h"

bool start_session_bus(SessionBus* bus, std::string* why)
{
    int ready[2];
    if (pipe(ready) != 0) {
        *why = "pipe failed";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        // The address is written once the bus accepts connections.
        std::string address_fd = "--print-address=" + std::to_string(ready[1]);
        execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", address_fd.c_str(),
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    bus->pid = pid;
    bool ready_in_time = read_ready_line(ready[0], &bus->address);
    close(ready[0]);
    if (!ready_in_time) {
        *why = "dbus-daemon did not start";
        return false;
    }
    return true;
}

void stop_session_bus(SessionBus* bus)
{
    if (bus->pid > 0) {
        kill(bus->pid, SIGCONT);
    }
    end_child(&bus->pid);
}

std::string on_bus(const SessionBus& bus, const std::string& command)
{
    return output_of("DBUS_SESSION_BUS_ADDRESS='" + bus.address + "' " + command + " 2>/dev/null");
}
