// vkbus: the terminal's message bus from the command line. Posts one request and
// prints the answer, or listens at an endpoint and prints what arrives. On a terminal
// it works as it is; --sim first joins a running simulator's network.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BusBody.h"
#include "BusPeer.h"
#include "CommandLine.h"
#include "SimJoin.h"
#include "dmsg.h"

namespace {

void usage(FILE* out)
{
    fprintf(out,
            "usage: vkbus [--sim] [--pid-file PATH] post PATH [key=value ...] [--body TEXT]\n"
            "       vkbus [--sim] [--pid-file PATH] listen ENDPOINT [--code N] [--count N] [--raw]\n"
            "\n"
            "post    sends one request (the body built from the key=value pairs, or TEXT as it\n"
            "        is) and prints the answer's code and body; exit status 0 for code 200, 1 for\n"
            "        another code, 2 when no answer came within 400 ms\n"
            "        e.g. vkbus post /control/led led=1 onoff=1\n"
            "listen  takes the endpoint's port (/ui is 127.0.0.1:9801) and prints each request as\n"
            "        path and key=value pairs (--raw: the whole datagram), answering code N\n"
            "        (default 200); ends after --count requests, or on Ctrl-C\n"
            "--sim   join the network of the simulator that runs on this machine (vesko-sim),\n"
            "        found through its pid file (default %s)\n",
            vsim::SimJoin::default_pid_file().c_str());
}

int post(const std::vector<std::string>& args)
{
    if (args.empty() || !vsim::BusBody::valid_path(args[0])) {
        fprintf(stderr, "vkbus: post needs a path such as /control/led (no blanks, at most 127 characters)\n");
        return 2;
    }
    std::vector<std::string> pairs;
    std::string body;
    bool raw = false;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--body") {
            if (i + 1 >= args.size() || !pairs.empty() || raw) {
                fprintf(stderr, "vkbus: --body takes one text and no key=value pairs beside it\n");
                return 2;
            }
            body = args[++i];
            raw = true;
        } else {
            if (raw) {
                fprintf(stderr, "vkbus: --body takes one text and no key=value pairs beside it\n");
                return 2;
            }
            pairs.push_back(args[i]);
        }
    }
    std::string error;
    if (!raw && !vsim::BusBody::build(pairs, &body, &error)) {
        fprintf(stderr, "vkbus: %s\n", error.c_str());
        return 2;
    }
    // The request line and the body share the bus's 64 KiB buffer.
    if (body.size() + args[0].size() + 32 > DMSG_DATAGRAM_MAX) {
        fprintf(stderr, "vkbus: the body does not fit one bus datagram\n");
        return 2;
    }
    if (dmsg_port(args[0].c_str()) < 0) {
        fprintf(stderr, "vkbus: %s names no bus endpoint\n", args[0].c_str());
        return 2;
    }
    dmsg d;
    int code = d.request(args[0].c_str(), body.empty() ? nullptr : body.c_str());
    if (code < 0) {
        fprintf(stderr, "vkbus: no answer to %s within 400 ms\n", args[0].c_str());
        return 2;
    }
    printf("%d\n", code);
    if (d.body() && d.body()[0]) {
        fputs(d.body(), stdout);
        size_t n = strlen(d.body());
        if (d.body()[n - 1] != '\n')
            putchar('\n');
    }
    return code == 200 ? 0 : 1;
}

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

int listen(const std::vector<std::string>& args)
{
    if (args.empty() || !vsim::BusBody::valid_path(args[0])) {
        fprintf(stderr, "vkbus: listen needs an endpoint such as /ui\n");
        return 2;
    }
    long long code = 200, count = -1;
    bool raw = false;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--raw") {
            raw = true;
        } else if ((args[i] == "--code" || args[i] == "--count") && i + 1 < args.size()) {
            bool is_code = args[i] == "--code";
            if (!vsim::CommandLine::integer(args[i + 1], is_code ? 100 : 1, 999999, is_code ? &code : &count)) {
                fprintf(stderr, "vkbus: %s takes a number\n", args[i].c_str());
                return 2;
            }
            i++;
        } else {
            fprintf(stderr, "vkbus: unknown listen option %s\n", args[i].c_str());
            return 2;
        }
    }
    int port = dmsg_port(args[0].c_str());
    if (port < 0) {
        fprintf(stderr, "vkbus: %s names no bus endpoint\n", args[0].c_str());
        return 2;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) < 0) {
        fprintf(stderr, "vkbus: cannot listen on 127.0.0.1:%d: %s%s\n", port, strerror(errno),
                errno == EADDRINUSE ? " (in a simulator, start it with --free or say \"peer off\" first)" : "");
        return 2;
    }
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    fprintf(stderr, "vkbus: listening on 127.0.0.1:%d\n", port);
    std::string answer = "MSG/1.0 " + std::to_string(code) + " OK\r\n\r\n";
    std::vector<char> buf(DMSG_BUFFER);
    while (!g_stop && count != 0) {
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(s, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        std::string datagram(buf.data(), size_t(n));
        vsim::BusMessage m;
        if (raw) {
            fwrite(datagram.data(), 1, datagram.size(), stdout);
            if (datagram.back() != '\n')
                putchar('\n');
        } else if (vsim::bus_parse(datagram, &m)) {
            std::string body = vsim::BusBody::flatten(m.body);
            printf("%s%s%s%s\n", m.method == "POST" ? "" : (m.method + " ").c_str(), m.path.c_str(),
                   body.empty() ? "" : " ", body.c_str());
        } else {
            printf("not a request: %s\n", vsim::BusBody::quote(datagram).c_str());
        }
        fflush(stdout);
        // Like the terminal's endpoints, only a POST is answered.
        if (raw ? datagram.compare(0, 5, "POST ") == 0 : m.method == "POST")
            sendto(s, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        if (count > 0)
            count--;
    }
    close(s);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool sim = false;
    std::string pid_path = vsim::SimJoin::default_pid_file();
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        std::string a = argv[i];
        if (a == "--sim") {
            sim = true;
        } else if (a == "--pid-file" && i + 1 < argc) {
            pid_path = argv[++i];
            sim = true;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return 2;
    }
    std::string verb = argv[i];
    std::vector<std::string> args(argv + i + 1, argv + argc);
    if (verb != "post" && verb != "listen") {
        usage(stderr);
        return 2;
    }
    std::string error;
    if (sim && !vsim::SimJoin::join(pid_path, &error)) {
        fprintf(stderr, "vkbus: %s\n", error.c_str());
        return 2;
    }
    return verb == "post" ? post(args) : listen(args);
}
