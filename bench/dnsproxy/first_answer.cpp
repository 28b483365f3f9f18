// Measures how long a DNS server takes from process start to its first
// answer: starts the given command, then sends one query for
// www.example.test A every millisecond from one UDP socket until an answer
// with a matching ID arrives, and prints the elapsed milliseconds. The
// started process keeps running; its PID is printed after the time.
//
// usage: corvane-bench-first-answer <server-ip> <timeout-s> <command...>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> query(unsigned short id)
{
    std::vector<unsigned char> q = {static_cast<unsigned char>(id >> 8),
                                    static_cast<unsigned char>(id & 0xff),
                                    0x01,
                                    0x00,
                                    0x00,
                                    0x01,
                                    0x00,
                                    0x00,
                                    0x00,
                                    0x00,
                                    0x00,
                                    0x00};
    for (const char* label : {"www", "example", "test"}) {
        q.push_back(static_cast<unsigned char>(std::strlen(label)));
        q.insert(q.end(), label, label + std::strlen(label));
    }
    const unsigned char tail[] = {0x00, 0x00, 0x01, 0x00, 0x01};
    q.insert(q.end(), tail, tail + sizeof tail);
    return q;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <server-ip> <timeout-s> <command...>\n", argv[0]);
        return 2;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(53);
    if (inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        std::fprintf(stderr, "bad address %s\n", argv[1]);
        return 2;
    }
    const double timeoutS = std::atof(argv[2]);
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 1;
    }
    if (child == 0) {
        // The server's output must not hold the caller's pipe open.
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            dup2(null, STDERR_FILENO);
        }
        execvp(argv[3], argv + 3);
        std::perror("execvp");
        _exit(127);
    }
    unsigned short id = 1;
    while (true) {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > timeoutS) {
            std::printf("timeout %d\n", static_cast<int>(child));
            return 1;
        }
        const std::vector<unsigned char> q = query(id);
        // A refused send (nothing bound yet, ICMP from the last try) is just another miss.
        sendto(fd, q.data(), q.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1) > 0 && (p.revents & POLLIN)) {
            unsigned char answer[1500];
            const ssize_t n = recv(fd, answer, sizeof answer, 0);
            // Any answer to one of our queries counts (a late one is still the first answer).
            if (n >= 12 && (answer[2] & 0x80) && (answer[3] & 0x0f) == 0) { // a NOERROR response
                const double ms =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                        .count();
                std::printf("%.1f %d\n", ms, static_cast<int>(child));
                return 0;
            }
        }
        ++id;
    }
}
