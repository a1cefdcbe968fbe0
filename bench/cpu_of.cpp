// cpu_of FILE COMMAND [ARG]...: runs COMMAND and appends to FILE the CPU time, in microseconds,
// that it and every process it started spent ("user system"), then exits with its status.
//
// Wine starts a Windows child as a Linux process that is not a child of its parent's process (it
// forks twice), so the shell's accounting never reaches the tool that the rig's launcher starts.
// As a subreaper, this program becomes the parent of every such orphan and, by reaping it, is
// charged its CPU time. A descendant that outlives the command by more than five seconds (a
// server that the run started) is left running and not counted, and a line on stderr says so.
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: cpu_of FILE COMMAND [ARG]...\n", stderr);
        return 2;
    }
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("cpu_of: prctl");
        return 2;
    }
    const pid_t command = fork();
    if (command == 0) {
        execvp(argv[2], argv + 2);
        std::perror("cpu_of: exec");
        _exit(127);
    }
    int status = 0;
    int command_status = 1;
    long user = 0, system = 0;
    const auto add = [&](const rusage& usage) {
        user += usage.ru_utime.tv_sec * 1000000L + usage.ru_utime.tv_usec;
        system += usage.ru_stime.tv_sec * 1000000L + usage.ru_stime.tv_usec;
    };
    rusage usage{};
    for (pid_t pid; (pid = wait4(-1, &status, 0, &usage)) != command;) {
        if (pid < 0 && errno != EINTR) {
            std::perror("cpu_of: wait4");
            return 2;
        }
        if (pid > 0) {
            add(usage);
        }
    }
    add(usage);
    command_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    // The orphans end shortly after the command: reap them for up to five seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (true) {
        const pid_t pid = wait4(-1, &status, WNOHANG, &usage);
        if (pid > 0) {
            add(usage);
            continue;
        }
        if (pid < 0 && errno == ECHILD) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::fputs("cpu_of: a descendant outlived the command; its time is not counted\n",
                       stderr);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (std::FILE* out = std::fopen(argv[1], "a")) {
        std::fprintf(out, "%ld %ld\n", user, system);
        std::fclose(out);
    }
    return command_status;
}
