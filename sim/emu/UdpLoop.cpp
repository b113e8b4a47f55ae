#include "UdpLoop.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vsim {

bool udp_loop_open(int socket, const sockaddr_in& address, int wake[2])
{
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0 ||
        pipe2(wake, O_CLOEXEC) < 0) {
        close(socket);
        return false;
    }
    return true;
}

void udp_loop_close(std::thread& thread, int socket, int wake[2])
{
    if (thread.joinable()) {
        char c = 0;
        (void)!::write(wake[1], &c, 1);
        thread.join();
    }
    if (socket >= 0)
        close(socket);
    for (int i = 0; i < 2; i++)
        if (wake[i] >= 0)
            close(wake[i]);
}

}  // namespace vsim
