// SPDX-License-Identifier: MIT
// The init of the PowerPC test machine: mounts /proc, /sys and /dev, brings up
// the loopback interface, runs every program listed in /tests.list
// (one per line: name, program and arguments, separated by tabs) and prints
// "PASS: name", "FAIL: name" or "SKIP: name" for each, with the program's
// output indented above it. Then it powers the machine off.
// /tmp is a directory of the root file system, which for an initramfs is
// itself a tmpfs (no separate mount: files the image carries under /tmp, such
// as a source tree checked out there, stay visible).
// Built statically with the cross compiler; it needs nothing else in the image.
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int kProgramLimitSeconds = 600;  // the per-test bound CTest uses
constexpr const char* kList = "/tests.list";

struct Program {
    std::string name;
    std::vector<std::string> argv;  // program path first
};

enum class Outcome { kPass, kFail, kSkip };

void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void mount_or_say(const char* type, const char* target)
{
    mkdir(target, 0755);
    if (mount(type, target, type, 0, nullptr) != 0 && errno != EBUSY)
        say(std::string("init: mount ") + target + ": " + std::strerror(errno));
}

// The image has no device nodes of its own, so the kernel may have started us
// without a console; once devtmpfs is there, take /dev/console.
void attach_console()
{
    const int fd = open("/dev/console", O_RDWR);
    if (fd < 0)
        return;
    for (int std_fd = 0; std_fd <= 2; ++std_fd)
        dup2(fd, std_fd);
    if (fd > 2)
        close(fd);
}

// The kernel gives lo the address 127.0.0.1 as soon as it is up.
void bring_up_loopback()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq req{};
    std::strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &req) != 0) {
        say(std::string("init: lo: ") + std::strerror(errno));
    } else {
        req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(fd, SIOCSIFFLAGS, &req) != 0)
            say(std::string("init: lo up: ") + std::strerror(errno));
    }
    if (fd >= 0)
        close(fd);
}

std::vector<Program> read_list()
{
    std::vector<Program> programs;
    std::ifstream in(kList);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Program p;
        std::getline(fields, p.name, '\t');
        for (std::string field; std::getline(fields, field, '\t');)
            p.argv.push_back(field);
        if (!p.argv.empty())
            programs.push_back(p);
    }
    return programs;
}

// Runs the program in its own process group with its output going to `log`;
// gives its wait status, or -1 when it had to be killed after the bound.
// Orphans that land on init are reaped on the way.
int run(const Program& p, const std::string& log)
{
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : p.argv)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::fprintf(stderr, "exec %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    if (pid < 0)
        return -1;
    const time_t deadline = time(nullptr) + kProgramLimitSeconds;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(-1, &status, WNOHANG);
        if (done == pid) {
            kill(-pid, SIGKILL);  // whatever it left behind
            return status;
        }
        if (done <= 0 && time(nullptr) > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        if (done <= 0)
            usleep(20000);
    }
}

// A program skips by exiting with 77, or when GoogleTest reports
// "[  PASSED  ] 0 tests." and a "[  SKIPPED ]" line (every test skipped).
Outcome judge(int status, const std::string& output)
{
    constexpr int kSkipStatus = 77;
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == kSkipStatus)
        return Outcome::kSkip;
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return Outcome::kFail;
    const bool none_passed = output.find("[  PASSED  ] 0 tests.") != std::string::npos;
    const bool skipped = output.find("[  SKIPPED ] ") != std::string::npos;
    return none_passed && skipped ? Outcome::kSkip : Outcome::kPass;
}

std::string describe(int status)
{
    if (status == -1)
        return "killed after " + std::to_string(kProgramLimitSeconds) + " s";
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string indented_output(const std::string& log)
{
    std::ifstream in(log);
    std::string all;
    for (std::string line; std::getline(in, line);)
        all += "    " + line + "\n";
    return all;
}

// Runs one program, shows its output and how it ended.
Outcome run_and_report(const Program& p)
{
    const std::string log = "/tmp/" + p.name + ".out";
    const time_t start = time(nullptr);
    const int status = run(p, log);
    const std::string output = indented_output(log);
    unlink(log.c_str());
    std::fputs(output.c_str(), stdout);
    say("init: " + p.name + ": " + describe(status) + " after " + std::to_string(time(nullptr) - start) + " s");
    return judge(status, output);
}

}  // namespace

int main()
{
    mount_or_say("proc", "/proc");
    mount_or_say("sysfs", "/sys");
    mount_or_say("devtmpfs", "/dev");
    attach_console();
    bring_up_loopback();
    setenv("PATH", "/bin", 1);
    setenv("HOME", "/tmp", 1);
    if (chdir("/tmp") != 0)
        say(std::string("init: /tmp: ") + std::strerror(errno));

    const std::vector<Program> programs = read_list();
    say("init: running " + std::to_string(programs.size()) + " programs");
    int counts[3] = {0, 0, 0};
    for (const Program& p : programs) {
        // A program that fails runs once more: the machine has one slow emulated
        // CPU. The first failure stays in the log as a RETRIED line.
        Outcome outcome = run_and_report(p);
        if (outcome == Outcome::kFail) {
            say("RETRIED: " + p.name);
            outcome = run_and_report(p);
        }
        counts[static_cast<int>(outcome)]++;
        const char* label[] = {"PASS", "FAIL", "SKIP"};
        say(std::string(label[static_cast<int>(outcome)]) + ": " + p.name);
    }
    say("init: " + std::to_string(counts[0]) + " passed, " + std::to_string(counts[1]) + " failed, " +
        std::to_string(counts[2]) + " skipped");
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
