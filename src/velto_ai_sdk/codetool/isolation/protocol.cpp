#include "velto_ai_sdk/codetool/isolation/protocol.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace velto::isolation {

namespace {

// Reads exactly `size` bytes; the first read also takes the descriptors
// sent along (up to request_fds of them).
bool read_fully(int socket, char* data, size_t size, int* fds, int* fd_count) {
    size_t done = 0;
    while (done < size) {
        iovec part{data + done, size - done};
        alignas(cmsghdr) char control[CMSG_SPACE(request_fds * sizeof(int))];
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (fds != nullptr) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
        }
        ssize_t got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        if (fds != nullptr) {
            for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
                 header = CMSG_NXTHDR(&message, header)) {
                if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS) {
                    *fd_count = int((header->cmsg_len - CMSG_LEN(0)) / sizeof(int));
                    memcpy(fds, CMSG_DATA(header), size_t(*fd_count) * sizeof(int));
                }
            }
            fds = nullptr;
        }
        done += size_t(got);
    }
    return true;
}

}  // namespace

int send_with_descriptors(int socket, std::string message, const int* fds, size_t fd_count) {
    if (fd_count > most_descriptors_sent) {
        return EINVAL;
    }
    alignas(cmsghdr) char control[CMSG_SPACE(most_descriptors_sent * sizeof(int))] = {};
    size_t done = 0;
    while (done < message.size()) {
        iovec part{&message[done], message.size() - done};
        msghdr envelope{};
        envelope.msg_iov = &part;
        envelope.msg_iovlen = 1;
        if (done == 0) {
            envelope.msg_control = control;
            envelope.msg_controllen = CMSG_SPACE(fd_count * sizeof(int));
            cmsghdr* rights = CMSG_FIRSTHDR(&envelope);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(fd_count * sizeof(int));
            memcpy(CMSG_DATA(rights), fds, fd_count * sizeof(int));
        }
        ssize_t sent = sendmsg(socket, &envelope, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0) {
            return errno;
        }
        done += size_t(sent);
    }
    return 0;
}

int send_request(int socket, RequestHeader header, const std::vector<std::string>& strings,
                 const int (&fds)[request_fds]) {
    std::string message(reinterpret_cast<const char*>(&header), sizeof header);
    for (const std::string& text : strings) {
        message.append(text.c_str(), text.size() + 1);
    }
    size_t fd_count = header.mode == RunMode::warm_up    ? 1
                      : fds[stdin_descriptor] >= 0 ? request_fds
                                                    : request_fds - 1;
    return send_with_descriptors(socket, std::move(message), fds, fd_count);
}

bool receive_request(int socket, Request& request) {
    int fd_count = 0;
    char* header = reinterpret_cast<char*>(&request.header);
    if (!read_fully(socket, header, sizeof request.header, request.fds, &fd_count)) {
        return false;
    }
    RunMode mode = request.header.mode;
    int expected = mode == RunMode::warm_up ? 1 : request.header.has_stdin != 0 ? request_fds : request_fds - 1;
    bool known_mode = mode == RunMode::cold || mode == RunMode::warm || mode == RunMode::warm_up;
    if (!known_mode || fd_count != expected || request.header.size == 0 || request.header.size > largest_request ||
        request.header.strings < 4 + uint64_t(request.header.reads) + request.header.writes) {
        close_request_fds(request);
        return false;
    }
    request.text.resize(request.header.size);
    if (!read_fully(socket, &request.text[0], request.text.size(), nullptr, nullptr) ||
        request.text.back() != '\0') {
        close_request_fds(request);
        return false;
    }
    std::vector<char*> strings;
    for (size_t at = 0; at < request.text.size(); at += strlen(&request.text[at]) + 1) {
        strings.push_back(&request.text[at]);
    }
    if (strings.size() != request.header.strings) {
        close_request_fds(request);
        return false;
    }
    request.argv = {strings[0], strings[1], nullptr};
    request.worker = strings[2];
    request.private_dir = strings[3];
    auto paths = strings.begin() + 4;
    request.reads.assign(paths, paths + request.header.reads);
    paths += request.header.reads;
    request.writes.assign(paths, paths + request.header.writes);
    paths += request.header.writes;
    request.envp.assign(paths, strings.end());
    request.envp.push_back(nullptr);
    return true;
}

void close_request_fds(Request& request) {
    for (int& fd : request.fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

}  // namespace velto::isolation
