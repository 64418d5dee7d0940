// daemon-reaper COMMAND [ARG...]: runs COMMAND as a child subreaper, so that
// the processes it detaches are handed to this program when their parent
// ends. After COMMAND and every such orphan have ended, prints one line
// "orphan exited with status N" (128 + signal when killed) per orphan on
// standard output, and exits with COMMAND's status. Lets a test see the exit
// status of the detached half of "bexod -start".

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: daemon-reaper COMMAND [ARG...]\n");
        return 2;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    const pid_t command = fork();
    if (command < 0) return 2;
    if (command == 0) {
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    int command_status = 0;
    std::string report;
    int status = 0;
    pid_t pid;
    while ((pid = wait(&status)) > 0) {
        if (pid == command)
            command_status = decode(status);
        else
            report += "orphan exited with status " + std::to_string(decode(status)) + "\n";
    }
    fputs(report.c_str(), stdout);
    return command_status;
}
