// Tests that need the network to behave in a way the machine's own does not (a host that stops answering,
// ICMP sockets refused) run in a network namespace of their own: only its loopback exists, and its settings
// (loopback up or down, net.ipv4.* switches) touch nothing outside it.
//
// The test program runs itself again, one test case in a child process that was moved into a fresh
// namespace before it started, so every thread of that process lives there:
//
//   TEST(Ping, HostThatStopsAnswering) {
//       const auto result = testing_support::RunTestInNetworkNamespace("Ping.InNamespace_StopsAnswering", {});
//       if (result.bSkipped) GTEST_SKIP() << result.sOutput;
//       EXPECT_TRUE(result.bPassed) << result.sOutput;
//   }
//   TEST(Ping, InNamespace_StopsAnswering) {
//       if (!testing_support::IsNetworkNamespaceChild()) GTEST_SKIP() << "runs in its own network namespace";
//       ASSERT_TRUE(testing_support::SetLoopbackUp(true));
//       ...
//   }
//
// Making a namespace needs root (CAP_SYS_ADMIN); without it the cases are skipped.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace testing_support {

constexpr const char* kNetworkNamespaceChildVariable = "CORVANE_TEST_NETWORK_NAMESPACE_CHILD";

struct NetworkNamespaceOptions {
    // net.ipv4.ping_group_range: every group may open datagram ICMP sockets, or none may.
    bool bDatagramIcmpAllowed = true;
    // Removes CAP_NET_RAW from the child (raw sockets refused, even to root).
    bool bWithoutRawSockets = false;
};

struct NamespaceRunResult {
    bool bPassed = false;
    bool bSkipped = false;  // no namespace could be made here (not root, or confined)
    std::string sOutput;
};

inline bool IsNetworkNamespaceChild() {
    return getenv(kNetworkNamespaceChildVariable) != nullptr;
}

// Writes a /proc/sys switch of the calling process's namespace.
inline bool WriteProcSys(const char* pszPath, const char* pszValue) {
    const int nFd = open(pszPath, O_WRONLY | O_CLOEXEC);
    if (nFd < 0) return false;
    const ssize_t nSize = static_cast<ssize_t>(std::strlen(pszValue));
    const bool bWritten = write(nFd, pszValue, static_cast<size_t>(nSize)) == nSize;
    close(nFd);
    return bWritten;
}

// Brings the namespace's loopback interface up or down.
inline bool SetLoopbackUp(bool bUp) {
    const int nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (nFd < 0) return false;
    ifreq Request{};
    std::strncpy(Request.ifr_name, "lo", IFNAMSIZ - 1);
    bool bDone = ioctl(nFd, SIOCGIFFLAGS, &Request) == 0;
    if (bDone) {
        if (bUp)
            Request.ifr_flags = static_cast<short>(Request.ifr_flags | IFF_UP);
        else
            Request.ifr_flags = static_cast<short>(Request.ifr_flags & ~IFF_UP);
        bDone = ioctl(nFd, SIOCSIFFLAGS, &Request) == 0;
    }
    close(nFd);
    return bDone;
}

namespace detail {

// Runs in the forked child before exec: only system calls, and an exit code that tells the parent why it
// gave up (77: no namespace here, 78: the namespace could not be set up).
[[noreturn]] inline void EnterNamespaceAndExec(const NetworkNamespaceOptions& Options, char* const* ppArguments,
                                               char* const* ppEnvironment) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    if (!WriteProcSys("/proc/sys/net/ipv4/ping_group_range", Options.bDatagramIcmpAllowed ? "0 2147483647" : "1 0"))
        _exit(78);
    if (Options.bWithoutRawSockets) {
        // Out of the bounding set first, so that the program started below does not get it back; then out of
        // this process's own sets.
        if (prctl(PR_CAPBSET_DROP, CAP_NET_RAW, 0, 0, 0) != 0) _exit(78);
        __user_cap_header_struct Header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct Data[2]{};
        if (syscall(SYS_capget, &Header, Data) != 0) _exit(78);
        for (auto& Set : Data) {
            Set.effective &= ~(1u << CAP_NET_RAW);
            Set.permitted &= ~(1u << CAP_NET_RAW);
            Set.inheritable &= ~(1u << CAP_NET_RAW);
        }
        if (syscall(SYS_capset, &Header, Data) != 0) _exit(78);
    }
    execve("/proc/self/exe", ppArguments, ppEnvironment);
    _exit(78);
}

}  // namespace detail

// Runs the test case sTestName ("Suite.Name") of this program in a child process in a new network
// namespace, its output captured. bPassed only when the case ran and passed (a case skipped there is not).
inline NamespaceRunResult RunTestInNetworkNamespace(const std::string& sTestName,
                                                    const NetworkNamespaceOptions& Options) {
    NamespaceRunResult Result;
    if (geteuid() != 0) {
        Result.bSkipped = true;
        Result.sOutput = "network namespaces need root";
        return Result;
    }
    std::string sFilter = "--gtest_filter=" + sTestName;
    std::string sProgram = "/proc/self/exe";
    std::vector<char*> Arguments{sProgram.data(), sFilter.data(), nullptr};
    // The environment is made here: the child may only make system calls between fork and exec.
    std::vector<std::string> Variables{std::string(kNetworkNamespaceChildVariable) + "=1"};
    for (char** ppVariable = environ; *ppVariable != nullptr; ++ppVariable) Variables.emplace_back(*ppVariable);
    std::vector<char*> Environment;
    for (std::string& sVariable : Variables) Environment.push_back(sVariable.data());
    Environment.push_back(nullptr);
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) return Result;
    const pid_t nChild = fork();
    if (nChild == 0) {
        dup2(Pipe[1], STDOUT_FILENO);
        dup2(Pipe[1], STDERR_FILENO);
        detail::EnterNamespaceAndExec(Options, Arguments.data(), Environment.data());
    }
    close(Pipe[1]);
    if (nChild < 0) {
        close(Pipe[0]);
        return Result;
    }
    char Buffer[4096];
    ssize_t nRead;
    while ((nRead = read(Pipe[0], Buffer, sizeof Buffer)) > 0)
        Result.sOutput.append(Buffer, static_cast<size_t>(nRead));
    close(Pipe[0]);
    int nStatus = 0;
    waitpid(nChild, &nStatus, 0);
    const int nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    if (nExitCode == 77) {
        Result.bSkipped = true;
        Result.sOutput = "no network namespace can be made here";
        return Result;
    }
    Result.bPassed = nExitCode == 0 && Result.sOutput.find("[  PASSED  ] 1 test.") != std::string::npos;
    return Result;
}

}  // namespace testing_support
