#include "Profile.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "dxml.h"

namespace vsim {

namespace {

// Files of a profile that describe the terminal instead of being copied into it.
const char* const kOwn[] = {"profile", "cpuinfo", "interfaces", "README", "README.md"};

enum { MAX_FILE = 4 << 20, MAX_FILES = 1000, MAX_DEPTH = 8 };

bool read_text(const std::string& path, std::string* text, std::string* error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot read " + path;
        return false;
    }
    text->clear();
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0) {
            close(fd);
            *error = "cannot read " + path;
            return false;
        }
        if (n == 0)
            break;
        text->append(buf, size_t(n));
        if (text->size() > MAX_FILE) {
            close(fd);
            *error = path + " is larger than a terminal file should be";
            return false;
        }
    }
    close(fd);
    return true;
}

bool is_dir(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        out.push_back(line);
    }
    return out;
}

// "192.168.12.100/24".
bool valid_cidr(const std::string& s)
{
    size_t slash = s.find('/');
    if (slash == std::string::npos)
        return false;
    in_addr a;
    std::string bits = s.substr(slash + 1);
    if (inet_pton(AF_INET, s.substr(0, slash).c_str(), &a) != 1 || bits.empty() || bits.size() > 2)
        return false;
    for (char c : bits)
        if (c < '0' || c > '9')
            return false;
    return atoi(bits.c_str()) <= 32;
}

bool valid_ifname(const std::string& s)
{
    if (s.empty() || s.size() > 15)
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

bool valid_mac(const std::string& s)
{
    if (s.size() != 17)
        return false;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (i % 3 == 2 ? c != ':' : !hex)
            return false;
    }
    return true;
}

}  // namespace

std::string Profile::shipped_dir()
{
    return std::string(VSIM_SOURCE_DIR) + "/sim/profiles";
}

std::string Profile::resolve(const std::string& name_or_dir)
{
    if (name_or_dir.find('/') != std::string::npos || is_dir(name_or_dir))
        return name_or_dir;
    return shipped_dir() + "/" + name_or_dir;
}

std::vector<std::string> Profile::shipped()
{
    std::vector<std::string> names;
    DIR* d = opendir(shipped_dir().c_str());
    if (!d)
        return names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.' && is_dir(shipped_dir() + "/" + e->d_name))
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool Profile::load(const std::string& name_or_dir, std::string* error)
{
    dir = resolve(name_or_dir);
    if (!is_dir(dir)) {
        std::string names;
        for (const std::string& n : shipped())
            names += (names.empty() ? "" : ", ") + n;
        *error = "no profile \"" + name_or_dir + "\" (shipped: " + names + "; or give a profile directory)";
        return false;
    }
    std::string text;
    if (!read_text(dir + "/profile", &text, error) || !read_profile(text, error))
        return false;
    if (!read_text(dir + "/cpuinfo", &cpuinfo, error))
        return false;
    if (!read_text(dir + "/interfaces", &text, error) || !read_interfaces(text, error))
        return false;
    files.clear();
    if (!collect(std::string(), error))
        return false;
    check();
    return true;
}

bool Profile::read_profile(const std::string& text, std::string* error)
{
    int n = 0;
    for (const std::string& line : lines_of(text)) {
        n++;
        std::istringstream in(line);
        std::string key;
        if (!(in >> key))
            continue;
        std::string value;
        std::getline(in, value);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (key == "title") {
            title = value;
        } else if (key == "mcu") {
            if (value == "none") {
                mcu_port.clear();
            } else if (value.compare(0, 5, "/dev/") == 0 && value.find("..") == std::string::npos &&
                       value.find(' ') == std::string::npos && value.size() > 5) {
                mcu_port = value;
            } else {
                *error = dir + "/profile:" + std::to_string(n) + ": mcu takes a /dev/ path or none";
                return false;
            }
        } else {
            *error = dir + "/profile:" + std::to_string(n) + ": unknown key \"" + key + "\"";
            return false;
        }
    }
    return true;
}

bool Profile::read_interfaces(const std::string& text, std::string* error)
{
    interfaces.clear();
    int n = 0;
    for (const std::string& line : lines_of(text)) {
        n++;
        std::istringstream in(line);
        std::vector<std::string> w;
        std::string word;
        while (in >> word)
            w.push_back(word);
        if (w.empty())
            continue;
        std::string where = dir + "/interfaces:" + std::to_string(n) + ": ";
        if (w.size() < 3) {
            *error = where + "name, terminal address and LAN address are needed (\"-\" for none)";
            return false;
        }
        Interface i;
        i.name = w[0];
        if (!valid_ifname(i.name)) {
            *error = where + "\"" + i.name + "\" is not an interface name";
            return false;
        }
        for (const Interface& other : interfaces)
            if (other.name == i.name) {
                *error = where + i.name + " is given twice";
                return false;
            }
        for (int k = 1; k <= 2; k++) {
            if (w[k] == "-")
                continue;
            if (!valid_cidr(w[k])) {
                *error = where + "\"" + w[k] + "\" is not an address with a prefix length (192.168.12.100/24)";
                return false;
            }
            (k == 1 ? i.address : i.peer) = w[k];
        }
        for (size_t k = 3; k < w.size(); k++) {
            if (w[k] == "nocarrier") {
                i.carrier = false;
            } else if (valid_mac(w[k])) {
                i.mac = w[k];
            } else {
                *error = where + "\"" + w[k] + "\" is neither a MAC address nor nocarrier";
                return false;
            }
        }
        interfaces.push_back(i);
    }
    return true;
}

bool Profile::collect(const std::string& rel, std::string* error)
{
    if (std::count(rel.begin(), rel.end(), '/') > MAX_DEPTH) {
        *error = dir + rel + ": too deep";
        return false;
    }
    std::string here = dir + rel;
    DIR* d = opendir(here.c_str());
    if (!d) {
        *error = "cannot read the directory " + here;
        return false;
    }
    std::vector<std::string> names;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (rel.empty() && std::find(std::begin(kOwn), std::end(kOwn), name) != std::end(kOwn))
            continue;
        if (name.back() == '~')
            continue;  // an editor's backup
        std::string path = here + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) < 0) {
            *error = "cannot read " + path;
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            if (!collect(rel + "/" + name, error))
                return false;
        } else if (S_ISREG(st.st_mode)) {
            if (rel.empty()) {
                *error = path + ": terminal files belong in directories such as vesko/cfg";
                return false;
            }
            if (files.size() >= MAX_FILES) {
                *error = dir + ": more than " + std::to_string(MAX_FILES) + " files";
                return false;
            }
            ProfileFile f;
            f.path = rel + "/" + name;
            f.mode = (st.st_mode & 0111) ? 0755 : 0644;
            if (!read_text(path, &f.text, error))
                return false;
            files.push_back(f);
        } else {
            *error = path + ": only plain files and directories can go into the terminal";
            return false;
        }
    }
    return true;
}

void Profile::check()
{
    limit = 0;
    w350 = false;
    server = "192.168.12.40";
    warnings.clear();
    for (const ProfileFile& f : files) {
        if (f.path == "/vesko/bin/limit") {
            limit = atoi(f.text.c_str());
            w350 = limit >= 970 && limit <= 989;
        } else if (f.path == "/vesko/cfg/sys.xml") {
            dxml doc(f.text.c_str());
            const char* s = doc.getText("/sys/talk/server");
            if (s && s[0])
                server = s;
        }
    }
    bool reachable = false;
    in_addr want;
    if (inet_pton(AF_INET, server.c_str(), &want) == 1)
        for (const Interface& i : interfaces)
            if (!i.peer.empty() && i.peer.substr(0, i.peer.find('/')) == server)
                reachable = true;
    if (!reachable)
        warnings.push_back("the building server " + server +
                           " is no LAN address in interfaces; the server emulator cannot take it");
}

Options Profile::options() const
{
    Options o;
    o.cpuinfo = cpuinfo;
    o.interfaces = interfaces;
    return o;
}

}  // namespace vsim
