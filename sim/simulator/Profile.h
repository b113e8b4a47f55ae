#pragma once

#include <string>
#include <vector>

#include "Sandbox.h"

namespace vsim {

// A file that a profile puts into the terminal's root.
struct ProfileFile {
    std::string path;  // absolute inside the terminal ("/vesko/cfg/sys.xml")
    std::string text;
    int mode = 0644;
};

// One kind of terminal to simulate, read from a directory that a person can edit:
//
//   profile      "key value" lines: title, mcu (the MCU's serial port, or none)
//   cpuinfo      the terminal's /proc/cpuinfo (chooses the processor family)
//   interfaces   one line per interface: name, terminal address, LAN address, and
//                optionally a MAC and "nocarrier"; "-" for an absent address
//   anything else, e.g. vesko/cfg/sys.xml or vesko/bin/limit: copied to the same path
//                in the terminal
//
// The product variant follows vesko/bin/limit as the terminal itself reads it, and
// the building server is emulated at the address of /sys/talk/server in
// vesko/cfg/sys.xml.
class Profile {
public:
    // name_or_dir: the name of a profile shipped with the simulator ("door") or the
    // path of a profile directory. False, with *error set, when it cannot be used.
    bool load(const std::string& name_or_dir, std::string* error);

    // The directory a name stands for: a shipped profile, or the path itself when it
    // names a directory or holds a '/'.
    static std::string resolve(const std::string& name_or_dir);
    // The shipped profiles' names, sorted.
    static std::vector<std::string> shipped();
    static std::string shipped_dir();

    Options options() const;

    std::string dir;
    std::string title;
    std::string mcu_port;  // empty: the board has no MCU link
    int limit = 0;
    bool w350 = false;
    std::string server = "192.168.12.40";
    std::string cpuinfo;
    std::vector<Interface> interfaces;
    std::vector<ProfileFile> files;
    std::vector<std::string> warnings;  // things that load but will not work as meant

private:
    bool read_profile(const std::string& text, std::string* error);
    bool read_interfaces(const std::string& text, std::string* error);
    bool collect(const std::string& rel, std::string* error);
    void check();
};

}  // namespace vsim
