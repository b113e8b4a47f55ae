#pragma once

#include <netinet/in.h>

#include <thread>

namespace vsim {

// The socket, wake pipe and thread of an emulated UDP peer. udp_loop_open binds the
// socket and makes the pipe (closing the socket on failure); udp_loop_close wakes the
// thread through the pipe, joins it and closes all three. The thread polls the
// socket and wake[0] and returns once wake[0] is readable.
bool udp_loop_open(int socket, const sockaddr_in& address, int wake[2]);
void udp_loop_close(std::thread& thread, int socket, int wake[2]);

}  // namespace vsim
