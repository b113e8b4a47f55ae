#pragma once

#include <sys/types.h>

#include <string>

namespace vsim {

// The way into a running simulator from the host: the simulator publishes the host's
// pid of its sandbox in a pid file, and a tool that reads the file joins that
// sandbox's network namespace (through its user namespace when it has to), where the
// daemon's bus endpoint is 127.0.0.1:9804 as on a terminal.
class SimJoin {
public:
    // $XDG_RUNTIME_DIR/vesko-sim.pid, or /tmp/vesko-sim-<uid>.pid without it.
    static std::string default_pid_file();

    // Opens the pid file for a new simulator (the descriptor is kept across fork, not
    // across exec). -1 with *error set when a running simulator owns it or it cannot
    // be made.
    static int claim(const std::string& path, std::string* error);
    // Writes pid into a claimed file.
    static bool publish(int fd, pid_t pid);

    // The simulator that the file names, or -1 when there is none (no file, not
    // ours, or the process is gone or is no simulator).
    static pid_t running(const std::string& path);

    // Enters the network namespace of the simulator that the file names. Must be
    // called while the process has a single thread.
    static bool join(const std::string& path, std::string* error);
};

}  // namespace vsim
