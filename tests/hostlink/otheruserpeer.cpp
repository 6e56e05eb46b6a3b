// Serves endpoints as whatever user runs it, for the tests that need a peer of another user:
// notes every byte it receives in RECORD and answers any frame as a host or a program would.
// usage: otheruserpeer RECORD SOCKET...
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        return 2;
    }
    std::vector<pollfd> servers;
    for (int i = 2; i < argc; ++i) {
        // Bound under another name and moved into place, so it is never seen half ready.
        const std::string ready = argv[i];
        const std::string temporary = ready + ".new";
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, temporary.c_str(), sizeof(address.sun_path) - 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ::unlink(temporary.c_str());
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::chmod(temporary.c_str(), 0777) != 0 || ::listen(fd, 8) != 0 ||
            ::rename(temporary.c_str(), ready.c_str()) != 0) {
            std::perror(ready.c_str());
            return 1;
        }
        servers.push_back({fd, POLLIN, 0});
    }
    for (;;) {
        if (::poll(servers.data(), servers.size(), -1) < 0) {
            return 1;
        }
        for (pollfd& server : servers) {
            if (!(server.revents & POLLIN)) {
                continue;
            }
            const int peer = ::accept(server.fd, nullptr, nullptr);
            if (peer < 0) {
                continue;
            }
            char bytes[4096];
            const ssize_t got = ::read(peer, bytes, sizeof(bytes));
            if (got > 0) {
                if (FILE* record = std::fopen(argv[1], "ab")) {
                    std::fwrite(bytes, 1, std::size_t(got), record);
                    std::fclose(record);
                }
                // A list file to read and delete, the worst a false host could answer.
                const char* reply = bytes[0] == 'E' ? "ACK 0\n" : "DATA 10\n/tmp/x.lst";
                [[maybe_unused]] const auto sent = ::write(peer, reply, std::strlen(reply));
            }
            ::close(peer);
        }
    }
}
