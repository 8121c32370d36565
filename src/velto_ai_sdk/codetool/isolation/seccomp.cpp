#include "velto_ai_sdk/codetool/isolation/seccomp.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

namespace velto::isolation::seccomp {

namespace {

#if defined(__x86_64__)
constexpr uint32_t native_arch = AUDIT_ARCH_X86_64;
constexpr bool built_for_this_machine = true;
#elif defined(__aarch64__)
constexpr uint32_t native_arch = AUDIT_ARCH_AARCH64;
constexpr bool built_for_this_machine = true;
#else
constexpr uint32_t native_arch = 0;
constexpr bool built_for_this_machine = false;
#endif

constexpr uint32_t allow = SECCOMP_RET_ALLOW;
constexpr uint32_t refuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
constexpr uint32_t missing = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
constexpr uint32_t end_process = SECCOMP_RET_KILL_PROCESS;

constexpr uint32_t namespace_flags = CLONE_NEWNS | CLONE_NEWUSER | CLONE_NEWNET | CLONE_NEWPID | CLONE_NEWIPC |
                                     CLONE_NEWUTS | CLONE_NEWCGROUP;

constexpr uint32_t argument(int index) { return uint32_t(offsetof(seccomp_data, args) + 8 * index); }

// The calls refused whatever the settings.
const int refused_calls[] = {
    __NR_ptrace, __NR_process_vm_readv, __NR_process_vm_writev, __NR_process_madvise, __NR_pidfd_getfd,
    __NR_kcmp, __NR_io_uring_setup, __NR_io_uring_enter, __NR_io_uring_register, __NR_unshare, __NR_setns,
    __NR_mount, __NR_umount2, __NR_pivot_root, __NR_open_tree, __NR_move_mount, __NR_fsopen, __NR_fsconfig,
    __NR_fsmount, __NR_fspick, __NR_mount_setattr, __NR_keyctl, __NR_add_key, __NR_request_key, __NR_bpf,
    __NR_perf_event_open, __NR_userfaultfd, __NR_open_by_handle_at, __NR_name_to_handle_at, __NR_init_module,
    __NR_finit_module, __NR_delete_module, __NR_kexec_load, __NR_kexec_file_load, __NR_reboot, __NR_swapon,
    __NR_swapoff, __NR_acct, __NR_settimeofday, __NR_clock_settime, __NR_clock_adjtime, __NR_adjtimex,
    __NR_syslog, __NR_quotactl, __NR_fanotify_init,
#if defined(__x86_64__)
    __NR_iopl, __NR_ioperm,
#endif
};

class Program {
public:
    void statement(uint16_t code, uint32_t k) { code_.push_back(BPF_STMT(code, k)); }
    void jump(uint16_t code, uint32_t k, uint8_t if_true, uint8_t if_false) {
        code_.push_back(BPF_JUMP(code, k, if_true, if_false));
    }
    void give(uint32_t action) { statement(BPF_RET | BPF_K, action); }
    // When the call is `number`, `action`; else on.
    void when_call(int number, uint32_t action) {
        jump(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(number), 0, 1);
        give(action);
    }
    // When the call is `number`, the `size` instructions that follow (which
    // end in a return each way); else past them.
    void when_call_then(int number, uint8_t size) { jump(BPF_JMP | BPF_JEQ | BPF_K, uint32_t(number), 0, size); }
    void load(uint32_t offset) { statement(BPF_LD | BPF_W | BPF_ABS, offset); }
    std::vector<sock_filter> done() { return std::move(code_); }

private:
    std::vector<sock_filter> code_;
};

}  // namespace

int available() {
    if (!built_for_this_machine) {
        return ENOSYS;
    }
    // With no program, a kernel that has filters says EFAULT.
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, nullptr, 0, 0) == 0 || errno == EFAULT) {
        return 0;
    }
    return errno;
}

std::vector<sock_filter> filter(bool network) {
    Program program;
    program.load(offsetof(seccomp_data, arch));
    program.jump(BPF_JMP | BPF_JEQ | BPF_K, native_arch, 1, 0);
    program.give(end_process);
    program.load(offsetof(seccomp_data, nr));
#if defined(__x86_64__)
    program.jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 1);  // x32
    program.give(end_process);
#endif
    for (int number : refused_calls) {
        program.when_call(number, refuse);
    }
    program.when_call(__NR_clone3, missing);
    // clone(flags, ...): no new namespace.
    program.when_call_then(__NR_clone, 4);
    program.load(argument(0));
    program.jump(BPF_JMP | BPF_JSET | BPF_K, namespace_flags, 0, 1);
    program.give(refuse);
    program.give(allow);
    // ioctl(fd, request): no typing into a terminal the run shares.
    program.when_call_then(__NR_ioctl, 5);
    program.load(argument(1));
    program.jump(BPF_JMP | BPF_JEQ | BPF_K, TIOCSTI, 2, 0);
    program.jump(BPF_JMP | BPF_JEQ | BPF_K, TIOCLINUX, 1, 0);
    program.give(allow);
    program.give(refuse);
    if (network) {
        // socket(): Unix, Internet and netlink sockets of any type.
        for (int number : {__NR_socket, __NR_socketpair}) {
            program.when_call_then(number, 7);
            program.load(argument(0));
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 3, 0);
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET, 2, 0);
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 1, 0);
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_NETLINK, 0, 1);
            program.give(allow);
            program.give(refuse);
        }
    } else {
        // socket(): Unix sockets but datagrams; connect() and bind() not
        // at all.
        for (int number : {__NR_socket, __NR_socketpair}) {
            program.when_call_then(number, 8);
            program.load(argument(0));
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 1, 0);
            program.give(refuse);
            program.load(argument(1));
            program.statement(BPF_ALU | BPF_AND | BPF_K, 0xf);
            program.jump(BPF_JMP | BPF_JEQ | BPF_K, SOCK_DGRAM, 0, 1);
            program.give(refuse);
            program.give(allow);
        }
        program.when_call(__NR_connect, refuse);
        program.when_call(__NR_bind, refuse);
    }
    program.give(allow);
    return program.done();
}

int install(const sock_filter* program, unsigned short length) {
    sock_fprog filter{length, const_cast<sock_filter*>(program)};
    return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter, 0, 0) == 0 ? 0 : errno;
}

}  // namespace velto::isolation::seccomp
