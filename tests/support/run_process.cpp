#include "tests/support/run_process.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <functional>
#include <stdexcept>
#include <thread>

#include "platform/unique_handle.h"
#include "platform/wide_text.h"

namespace qzb::test {
namespace {

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": Windows error " + std::to_string(GetLastError()));
}

// Quotes one argument so that the child's command-line parser gives it back unchanged.
void appendArgument(std::wstring& commandLine, const std::wstring& argument) {
    if (!commandLine.empty()) {
        commandLine += L' ';
    }
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine += L'"';
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        commandLine.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        commandLine += c;
    }
    commandLine.append(2 * backslashes, L'\\');
    commandLine += L'"';
}

// The child inherits only the write end.
void openPipe(UniqueHandle& read, UniqueHandle& write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = INVALID_HANDLE_VALUE;
    HANDLE writeEnd = INVALID_HANDLE_VALUE;
    const bool made = CreatePipe(&readEnd, &writeEnd, &inherit, 0) != 0;
    read.reset(made ? readEnd : INVALID_HANDLE_VALUE);
    write.reset(made ? writeEnd : INVALID_HANDLE_VALUE);
    if (!made || !SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0)) {
        throw systemError("CreatePipe");
    }
}

void drain(HANDLE pipe, std::string& sink) {
    char buffer[65536];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        sink.append(buffer, count);
    }
}

// The console streams are in text mode here; tests compare against "\n".
std::string withUnixLineEnds(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' || i + 1 == text.size() || text[i + 1] != '\n') {
            result += text[i];
        }
    }
    return result;
}

} // namespace

ProcessResult runProcess(const std::filesystem::path& executable,
                         const std::vector<std::string>& arguments, const ProcessOptions& options) {
    if (options.fileSizeLimit) {
        throw std::runtime_error("a file size limit needs POSIX resource limits");
    }
    if (options.output != StandardOutput::Pipe || options.closeInput || options.ignoreBrokenPipe ||
        options.killWhen) {
        throw std::runtime_error("these standard streams and signals need a POSIX system");
    }
    // Absolute in this process's terms: the child starts in another directory, maybe on
    // another drive.
    const std::filesystem::path program = std::filesystem::absolute(executable);
    std::wstring commandLine;
    appendArgument(commandLine, program.native());
    for (const std::string& argument : arguments) {
        appendArgument(commandLine, toWide(argument, CP_UTF8));
    }

    UniqueHandle outRead, outWrite, errRead, errWrite;
    openPipe(outRead, outWrite);
    openPipe(errRead, errWrite);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle nul(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr));
    if (nul.get() == INVALID_HANDLE_VALUE) {
        throw systemError("open NUL");
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul.get();
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();
    PROCESS_INFORMATION process{};
    const std::wstring directory = options.workingDirectory.native();
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
        throw systemError("cannot start " + program.string());
    }
    UniqueHandle processHandle(process.hProcess);
    UniqueHandle threadHandle(process.hThread);
    // Only the child holds the write ends now, so the reads end when it does.
    outWrite.reset();
    errWrite.reset();
    nul.reset();

    ProcessResult result;
    std::thread outReader(drain, outRead.get(), std::ref(result.out));
    std::thread errReader(drain, errRead.get(), std::ref(result.err));
    const DWORD waitMs = options.timeout ? static_cast<DWORD>(options.timeout->count()) : INFINITE;
    if (WaitForSingleObject(processHandle.get(), waitMs) == WAIT_TIMEOUT) {
        TerminateProcess(processHandle.get(), 1);
        WaitForSingleObject(processHandle.get(), INFINITE);
        result.timedOut = true;
    }
    outReader.join();
    errReader.join();
    DWORD exitCode = 0;
    GetExitCodeProcess(processHandle.get(), &exitCode);
    result.exitCode = static_cast<int>(exitCode);
    result.out = withUnixLineEnds(result.out);
    result.err = withUnixLineEnds(result.err);
    return result;
}

bool terminalsAvailable() {
    return false;
}

} // namespace qzb::test
#else
#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "platform/unique_descriptor.h"

#if defined(__linux__)
#include <pty.h>
#elif defined(__FreeBSD__)
#include <libutil.h>
#else
#include <util.h>
#endif

namespace qzb::test {
namespace {

using Fd = UniqueDescriptor;

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

const char* const stepNames[] = {"chdir",     "open /dev/null", "dup2",
                                 "setrlimit", "exec",           "sigaction"};

[[noreturn]] void reportStartFailure(int statusFd, int step) {
    const StartFailure failure{step, errno};
    [[maybe_unused]] const ssize_t ignored = ::write(statusFd, &failure, sizeof failure);
    ::_exit(127);
}

// Runs in the forked child: async-signal-safe calls only. `outFd` < 0: standard output closed.
[[noreturn]] void startChild(const char* path, char* const* argv, const char* directory,
                             const ProcessOptions& options, int outFd, int errFd, int statusFd) {
    ::setpgid(0, 0);
    if (directory != nullptr && ::chdir(directory) != 0) {
        reportStartFailure(statusFd, 0);
    }
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (nullFd < 0) {
        reportStartFailure(statusFd, 1);
    }
    if (::dup2(nullFd, STDIN_FILENO) < 0 || ::dup2(errFd, STDERR_FILENO) < 0 ||
        (outFd >= 0 && ::dup2(outFd, STDOUT_FILENO) < 0)) {
        reportStartFailure(statusFd, 2);
    }
    if (outFd < 0) {
        ::close(STDOUT_FILENO);
    }
    if (options.closeInput) {
        ::close(STDIN_FILENO);
    }
    struct sigaction brokenPipe {};
    brokenPipe.sa_handler = options.ignoreBrokenPipe ? SIG_IGN : SIG_DFL;
    if (::sigaction(SIGPIPE, &brokenPipe, nullptr) != 0) {
        reportStartFailure(statusFd, 5);
    }
    if (options.fileSizeLimit) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        ::sigaction(SIGXFSZ, &action, nullptr);
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

// The descriptor the program writes its standard output to (-1: none) and, where the output is
// captured, the one this process reads it from.
struct OutputEnds {
    Fd read;
    Fd write;
};

void openOutput(StandardOutput kind, OutputEnds& ends) {
    switch (kind) {
    case StandardOutput::Pipe:
    case StandardOutput::BrokenPipe: {
        Pipe pipe;
        openPipe(pipe);
        ends.write.reset(pipe.write.release());
        if (kind == StandardOutput::Pipe) {
            ends.read.reset(pipe.read.release());
        }
        return;
    }
    case StandardOutput::Terminal: {
        int master = -1;
        int slave = -1;
        if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
        }
        ends.read.reset(master);
        ends.write.reset(slave);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        termios mode{};
        if (::tcgetattr(slave, &mode) == 0) {
            ::cfmakeraw(&mode);
            ::tcsetattr(slave, TCSANOW, &mode);
        }
        return;
    }
    case StandardOutput::Full:
        ends.write.reset(::open("/dev/full", O_WRONLY | O_CLOEXEC));
        if (ends.write.get() < 0) {
            throw std::runtime_error(std::string("open /dev/full: ") + std::strerror(errno));
        }
        return;
    case StandardOutput::Closed:
        return;
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

    OutputEnds output;
    openOutput(options.output, output);
    Pipe errPipe, statusPipe;
    openPipe(errPipe);
    openPipe(statusPipe);

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        startChild(path.c_str(), argv.data(), directory.empty() ? nullptr : directory.c_str(),
                   options, output.write.get(), errPipe.write.get(), statusPipe.write.get());
    }
    // Set from both sides so that a kill of the group cannot precede the child's own call.
    ::setpgid(pid, pid);
    output.write.reset();
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
    // A terminal's reading end answers EIO, not end of file, once the program has closed it.
    std::array<pollfd, 2> fds{pollfd{output.read.get(), POLLIN, 0},
                              pollfd{errPipe.read.get(), POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    bool killed = false;
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
        // Asked once per arrival, and never again after the kill; the streams then drain to
        // their end.
        if (!killed && options.killWhen && ready > 0 && fds[0].revents != 0 &&
            options.killWhen(result.out)) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            killed = true;
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

bool terminalsAvailable() {
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    ::close(master);
    ::close(slave);
    return true;
}

} // namespace qzb::test
#endif
