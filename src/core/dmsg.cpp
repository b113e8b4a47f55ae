#include "dmsg.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

const msg_port_t msg_port[DMSG_PORTS] = {
    {"/talk", 9800},     {"/ui", 9801},     {"/monitor", 9802},  {"/upgrade", 9803},
    {"/control", 9804},  {"/media", 9805},  {"/security", 9830}, {"/smart", 9831},
    {"/apps", 9832},     {"/settings", 9833}, {"/exApp", 9850},  {"/wx", 9860},
    {"/face", 9861},
};

void (*android_callback)(const char* url, const char* body) = nullptr;

namespace {

const char SEPARATOR[] = "\r\n\r\n";
const int SEPARATOR_LEN = 4;
const int REPLY_WAIT_MS = 400;

msg_url_t msg_url[DMSG_HANDLERS];
// Counts the entries the dispatcher may look at; an entry is written completely before
// the release store that makes it visible.
std::atomic<int> msg_url_index(0);
std::mutex msg_url_writer;

int msg_socket = -1;
std::mutex msg_init_lock;
char dmsg_data[DMSG_BUFFER];
// Acknowledgements are built apart from the received datagram, so a handler can still
// read its request body after answering, whatever the answer holds.
char dmsg_reply[DMSG_BUFFER];
struct sockaddr_in msg_addr;

struct token_t {
    const char* start;
    size_t length;
};

// Next blank-separated token of a NUL-terminated text; length 0 when there is none.
const char* next_token(const char* p, token_t* tok)
{
    while (*p && isspace(static_cast<unsigned char>(*p)))
        p++;
    tok->start = p;
    while (*p && !isspace(static_cast<unsigned char>(*p)))
        p++;
    tok->length = static_cast<size_t>(p - tok->start);
    return p;
}

bool token_is(const token_t& tok, const char* text)
{
    size_t n = strlen(text);
    return tok.length == n && memcmp(tok.start, text, n) == 0;
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int format_reply(int result, const char* params)
{
    int n = params ? snprintf(dmsg_reply, sizeof(dmsg_reply), "MSG/1.0 %d OK\r\n\r\n%s", result, params)
                   : snprintf(dmsg_reply, sizeof(dmsg_reply), "MSG/1.0 %d OK\r\n\r\n", result);
    if (n < 0)
        return -1;
    // An answer longer than one loopback datagram is cut to fit, so the requester still
    // receives its code instead of nothing at all.
    if (n > DMSG_DATAGRAM_MAX)
        n = DMSG_DATAGRAM_MAX;
    return n;
}

} // namespace

void dmsg_dispatch(const char* text)
{
    token_t method, path;
    next_token(next_token(text, &method), &path);

    if (!token_is(method, "POST"))
        return;

    const char* sep = strstr(text, SEPARATOR);
    const char* body = sep ? sep + SEPARATOR_LEN : nullptr;

    // No registered path is longer than a token may be, so an over-long path can only be
    // answered as unknown; it is never cut down to a prefix that might match an entry.
    char url[DMSG_TOKEN + 1];
    bool fits = path.length <= DMSG_TOKEN;
    size_t n = fits ? path.length : 0;
    memcpy(url, path.start, n);
    url[n] = 0;

    void (*hook)(const char*, const char*) = android_callback;
    if (hook) {
        if (fits)
            hook(url, body);
        return;
    }

    if (fits) {
        int count = msg_url_index.load(std::memory_order_acquire);
        for (int i = 0; i < count; i++) {
            if (strcmp(msg_url[i].url, url) == 0) {
                msg_url[i].func(body);
                return;
            }
        }
    }
    dmsg_ack(400, nullptr);
}

namespace {

void* dmsg_thread(void*)
{
    for (;;) {
        socklen_t len = sizeof(msg_addr);
        ssize_t n = recvfrom(msg_socket, dmsg_data, sizeof(dmsg_data) - 1, 0,
                             reinterpret_cast<struct sockaddr*>(&msg_addr), &len);
        if (n <= 0)
            continue;
        dmsg_data[n] = 0;
        dmsg_dispatch(dmsg_data);
    }
    return nullptr;
}

} // namespace

int dmsg_port(const char* url)
{
    if (url == nullptr)
        return -1;
    for (int i = 0; i < DMSG_PORTS; i++) {
        if (strncmp(url, msg_port[i].url, strlen(msg_port[i].url)) == 0)
            return msg_port[i].port;
    }
    return -1;
}

int dmsg_init(const char* url)
{
    std::lock_guard<std::mutex> lock(msg_init_lock);
    int port = dmsg_port(url);
    if (port < 0) {
        fprintf(stderr, "dmsg_init %s not in service!\n", url ? url : "(null)");
        return -1;
    }
    // One endpoint per process: a second receiving thread would share the buffers.
    if (msg_socket >= 0) {
        fprintf(stderr, "dmsg_init %s already open!\n", url);
        return -1;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        printf("dmsg_init socket error!\n");
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        printf("dmsg_init bind error!\n");
        close(s);
        return -1;
    }
    msg_socket = s;
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, dmsg_thread, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("dmsg_init pthread_create");
        msg_socket = -1;
        close(s);
        return -1;
    }
    pthread_detach(thread);
    return 0;
}

int dmsg_setup(const char* url, dmsg_callback_t func)
{
    if (url == nullptr || func == nullptr || strlen(url) > DMSG_TOKEN)
        return -1;
    std::lock_guard<std::mutex> lock(msg_url_writer);
    int index = msg_url_index.load(std::memory_order_relaxed);
    if (index >= DMSG_HANDLERS)
        return -1;
    strcpy(msg_url[index].url, url);
    msg_url[index].func = func;
    msg_url_index.store(index + 1, std::memory_order_release);
    return 0;
}

int dmsg_ack(int result, const char* params)
{
    if (msg_socket < 0)
        return -1;
    int length = format_reply(result, params);
    if (length < 0)
        return -1;
    return static_cast<int>(sendto(msg_socket, dmsg_reply, static_cast<size_t>(length), 0,
                                   reinterpret_cast<const struct sockaddr*>(&msg_addr), sizeof(msg_addr)));
}

dmsg::dmsg() : m_data(new (std::nothrow) char[DMSG_BUFFER]), m_body(nullptr)
{
    if (m_data)
        m_data[0] = 0;
}

dmsg::~dmsg()
{
    delete[] m_data;
}

int dmsg::request(const char* url, const char* body)
{
    m_body = nullptr;
    int result = -1;
    if (m_data == nullptr)
        return -1;

    int port = dmsg_port(url);
    if (port < 0) {
        fprintf(stderr, "dmsg::request %s not in service!\n", url ? url : "(null)");
        return -1;
    }
    // The receiver splits the request line at blanks and takes at most DMSG_TOKEN
    // characters per token, so such a path would reach some other handler or none.
    if (strlen(url) > DMSG_TOKEN || strpbrk(url, " \t\r\n\v\f") != nullptr) {
        fprintf(stderr, "dmsg::request bad path %.*s!\n", DMSG_TOKEN, url);
        return -1;
    }

    // A request that does not fit one datagram is refused whole rather than sent cut.
    int length = body ? snprintf(m_data, DMSG_BUFFER, "POST %s MSG/1.0\r\n\r\n%s", url, body)
                      : snprintf(m_data, DMSG_BUFFER, "POST %s MSG/1.0\r\n\r\n", url);
    if (length < 0 || length > DMSG_DATAGRAM_MAX) {
        m_data[0] = 0;
        fprintf(stderr, "dmsg::request %s too long!\n", url);
        return -1;
    }

    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        fprintf(stderr, "dmsg::request socket error!\n");
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(s, m_data, static_cast<size_t>(length), 0, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr));

    // A signal does not cut the wait short: the rest of the 400 ms is waited for.
    int64_t deadline = monotonic_ms() + REPLY_WAIT_MS;
    struct pollfd pfd = {s, POLLIN, 0};
    int ready;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        ready = poll(&pfd, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready >= 0 || errno != EINTR)
            break;
    }

    if (ready > 0 && (pfd.revents & POLLIN)) {
        ssize_t n = recv(s, m_data, DMSG_BUFFER - 1, 0);
        if (n > 0) {
            m_data[n] = 0;
            token_t protocol, code;
            const char* p = next_token(m_data, &protocol);
            next_token(p, &code);
            if (code.length > 0) {
                char* end = nullptr;
                errno = 0;
                long v = strtol(code.start, &end, 10);
                if (end != code.start && errno == 0 && v >= INT_MIN && v <= INT_MAX)
                    result = static_cast<int>(v);
            }
            char* sep = strstr(m_data, SEPARATOR);
            m_body = sep ? sep + SEPARATOR_LEN : nullptr;
        }
    }
    close(s);
    return result;
}
