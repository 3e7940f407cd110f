#include "tests/support/run_process.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qzb::test {
namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

// Both ends close on exec, so the child keeps only what it moves onto 0, 1 and 2.
void openPipe(Pipe& pipe) {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
}

// What the child reports through the status pipe when it cannot start the program.
struct StartFailure {
    int step;
    int error;
};

const char* const stepNames[] = {"chdir", "open /dev/null", "dup2", "setrlimit", "exec"};

[[noreturn]] void reportStartFailure(int statusFd, int step) {
    const StartFailure failure{step, errno};
    [[maybe_unused]] const ssize_t ignored = ::write(statusFd, &failure, sizeof failure);
    ::_exit(127);
}

// Runs in the forked child: async-signal-safe calls only.
[[noreturn]] void startChild(const char* path, char* const* argv, const char* directory,
                             const ProcessOptions& options, int outFd, int errFd, int statusFd) {
    ::setpgid(0, 0);
    if (directory != nullptr && ::chdir(directory) != 0) {
        reportStartFailure(statusFd, 0);
    }
    const int nullFd = ::open("/dev/null", O_RDONLY);
    if (nullFd < 0) {
        reportStartFailure(statusFd, 1);
    }
    if (::dup2(nullFd, STDIN_FILENO) < 0 || ::dup2(outFd, STDOUT_FILENO) < 0 ||
        ::dup2(errFd, STDERR_FILENO) < 0) {
        reportStartFailure(statusFd, 2);
    }
    if (options.fileSizeLimit) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, nullptr);
        const rlimit limit{static_cast<rlim_t>(*options.fileSizeLimit),
                           static_cast<rlim_t>(*options.fileSizeLimit)};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            reportStartFailure(statusFd, 3);
        }
    }
    ::execv(path, argv);
    reportStartFailure(statusFd, 4);
}

// Reads what is available; false at end of stream.
bool drain(int fd, std::string& sink) {
    std::array<char, 65536> buffer;
    for (;;) {
        const ssize_t count = ::read(fd, buffer.data(), buffer.size());
        if (count > 0) {
            sink.append(buffer.data(), static_cast<std::size_t>(count));
            return true;
        }
        if (count == 0) {
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(std::string("waitpid: ") + std::strerror(errno));
        }
    }
    return status;
}

} // namespace

ProcessResult runProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments, const ProcessOptions& options) {
    // Everything the child needs is built before fork.
    const std::string path = executable.string();
    const std::string directory = options.workingDirectory.string();
    std::vector<std::string> argStrings;
    argStrings.reserve(arguments.size() + 1);
    argStrings.push_back(path);
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);

    Pipe outPipe, errPipe, statusPipe;
    openPipe(outPipe);
    openPipe(errPipe);
    openPipe(statusPipe);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        startChild(path.c_str(), argv.data(), directory.empty() ? nullptr : directory.c_str(),
                   options, outPipe.write.get(), errPipe.write.get(), statusPipe.write.get());
    }
    // Set from both sides so that a kill of the group cannot precede the child's own call.
    ::setpgid(pid, pid);
    outPipe.write.reset();
    errPipe.write.reset();
    statusPipe.write.reset();

    StartFailure failure{};
    ssize_t got;
    do {
        got = ::read(statusPipe.read.get(), &failure, sizeof failure);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof failure)) {
        waitFor(pid);
        throw std::runtime_error("cannot start " + path + ": " + stepNames[failure.step] + ": " +
                                 std::strerror(failure.error));
    }

    ProcessResult result;
    const auto deadline = options.timeout
                              ? std::optional(std::chrono::steady_clock::now() + *options.timeout)
                              : std::nullopt;
    std::array<pollfd, 2> fds{pollfd{outPipe.read.get(), POLLIN, 0},
                              pollfd{errPipe.read.get(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        int waitMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                // The whole group, so that helpers holding the pipes die too.
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                result.timedOut = true;
                break;
            }
            waitMs = static_cast<int>(left.count());
        }
        // poll skips entries whose fd is negative.
        const int ready = ::poll(fds.data(), fds.size(), waitMs);
        if (ready < 0 && errno != EINTR) {
            ::kill(pid, SIGKILL);
            waitFor(pid);
            throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
        }
        for (std::size_t i = 0; i < fds.size() && ready > 0; ++i) {
            if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                !drain(fds[i].fd, *sinks[i])) {
                fds[i].fd = -1;
            }
        }
    }

    const int status = waitFor(pid);
    if (WIFSIGNALED(status)) {
        result.termSignal = WTERMSIG(status);
    } else if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

} // namespace qzb::test
