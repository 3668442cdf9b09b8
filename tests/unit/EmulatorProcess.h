// The board emulator (and the console tool) as child processes of a native test or the
// bench: a temporary folder, spawning and stopping, the emulator's control FIFO and its record
// of the commands it received. No test framework here, so the bench can use it too; callers
// check the results.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace emutest {

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One folder under /tmp for the life of the object; it and the files in it go at the end.
class TempDir {
  public:
    explicit TempDir(const char* prefix) {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) {
            path_ = pattern;
        }
    }
    ~TempDir() { Remove(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool Made() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }
    std::string operator/(const char* name) const { return path_ + "/" + name; }

    // The emulator and the tool leave only plain files, links and FIFOs: no sub-folders.
    void Remove() {
        if (path_.empty()) {
            return;
        }
        if (DIR* dir = opendir(path_.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    unlink((path_ + "/" + name).c_str());
                }
            }
            closedir(dir);
        }
        if (rmdir(path_.c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", path_.c_str());
        }
        path_.clear();
    }

  private:
    std::string path_;
};

// Starts args[0] with args as its argument list; outFd and errFd, where not -1, become its
// standard output and error. Returns the child's pid, or -1.
inline pid_t Spawn(std::vector<std::string> args, int outFd, int errFd) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (outFd >= 0) {
            dup2(outFd, STDOUT_FILENO);
        }
        if (errFd >= 0) {
            dup2(errFd, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Starts args with standard output and error written to the two files.
inline pid_t SpawnToFiles(const std::vector<std::string>& args, const std::string& outPath,
                          const std::string& errPath) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    pid_t pid = Spawn(args, out, err);
    close(out);
    close(err);
    return pid;
}

// The child's exit code, or 128 plus the signal that ended it.
inline int WaitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One emulated board with its link, record file and control FIFO in a folder the caller owns.
class EmulatorProcess {
  public:
    using Clock = std::chrono::steady_clock;

    // LinkOnly leaves the record file and FIFO out, for a measurement the record's writes
    // would slow down.
    enum class Files { RecordAndControl, LinkOnly };

    explicit EmulatorProcess(std::string dir, Files files = Files::RecordAndControl)
        : dir_(std::move(dir)), files_(files) {}
    ~EmulatorProcess() { Stop(); }
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    // Starts the emulator at emuPath with the extra arguments and waits up to ten seconds for
    // its "ready" line, which it prints once the link exists. What it printed until then is
    // left in *printed when asked for.
    bool Start(const char* emuPath, const std::vector<std::string>& extra,
               std::string* printed = nullptr) {
        std::vector<std::string> args = {emuPath, "--link", Link()};
        if (files_ == Files::RecordAndControl) {
            args.insert(args.end(), {"--record", Record(), "--control", Control()});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = Spawn(args, out[1], -1);
        close(out[1]);
        std::string seen;
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline && seen.find("ready\n") == std::string::npos) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char chunk[256];
                ssize_t n = read(out[0], chunk, sizeof chunk);
                if (n <= 0) {
                    break;
                }
                seen.append(chunk, (size_t)n);
            }
        }
        close(out[0]);
        if (printed != nullptr) {
            *printed = seen;
        }
        return pid_ > 0 && seen.find("ready\n") != std::string::npos;
    }

    // Ends the emulator with SIGTERM and reaps it. Returns its wait status, or -1 when it was
    // not running.
    int Stop() {
        if (pid_ <= 0) {
            return -1;
        }
        int status = 0;
        bool signalled = kill(pid_, SIGTERM) == 0;
        bool reaped = waitpid(pid_, &status, 0) == pid_;
        pid_ = -1;
        return signalled && reaped ? status : -1;
    }

    // Writes one line to the control FIFO. The emulator reads its FIFO in the same loop as the
    // link, so the line takes effect only after settleMs.
    bool Send(const std::string& line, int settleMs = 50) const {
        int fd = open(Control().c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) {
            return false;
        }
        std::string text = line + "\n";
        bool written = write(fd, text.data(), text.size()) == (ssize_t)text.size();
        close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
        return written;
    }

    // The commands the board received, in order, without their time stamps.
    std::vector<std::string> Commands() const {
        std::vector<std::string> commands;
        std::ifstream in(Record());
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            size_t space = line.find(' ');
            commands.push_back(space == std::string::npos ? line : line.substr(space + 1));
        }
        return commands;
    }

    // The commands once the last one starts with prefix, or as they are after timeoutMs: a
    // program may end before the emulator has read its last bytes off the pty.
    std::vector<std::string> CommandsEndingWith(const char* prefix, int timeoutMs) const {
        std::vector<std::string> commands = Commands();
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while ((commands.empty() || commands.back().rfind(prefix, 0) != 0) &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            commands = Commands();
        }
        return commands;
    }

    std::string Link() const { return dir_ + "/com"; }
    std::string Record() const { return dir_ + "/board.rec"; }
    std::string Control() const { return dir_ + "/board.ctl"; }

  private:
    std::string dir_;
    Files files_;
    pid_t pid_ = -1;
};

} // namespace emutest
