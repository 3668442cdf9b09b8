// The Linux port lock and the one name of a port, as torvanctl relies on them: whatever sits in
// the lock's place that is not a lock file of a live holder's is no reason to give the port
// away, and two spellings of one port are one name.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/PortLock.h"

namespace {

class TorvanctlPortLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/torvanctl-lock-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        port_ = dir_ + "/ttyBENCH";
        // The lock file of a port outside /dev is named after its whole path, in /run/lock
        // when this user may write there (as the README describes), else the test is moot.
        std::string name = port_.substr(1);
        for (char& c : name) {
            c = c == '/' ? '_' : c;
        }
        lockPath_ = "/run/lock/LCK.." + name;
    }
    void TearDown() override {
        unlink(lockPath_.c_str());
        rmdir(lockPath_.c_str());
        std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0) {
        }
    }
    bool LockFolderUsable() const { return access("/run/lock", W_OK | X_OK) == 0; }
    std::string dir_, port_, lockPath_;
};

// A pid that is surely not running: a child that has already ended.
long DeadPid() {
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

void WritePidFile(const std::string& path, long pid) {
    FILE* file = fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fprintf(file, "%10ld\n", pid);
    fclose(file);
}

TEST_F(TorvanctlPortLockTest, AnythingButAStaleLockFileInTheLocksPlaceKeepsThePortAway) {
    if (!LockFolderUsable()) {
        GTEST_SKIP() << "/run/lock is not writable here";
    }
    const std::string target = dir_ + "/planted-target";
    // A sleeping child stands for a live holder that keeps the convention without flock.
    pid_t live = fork();
    if (live == 0) {
        pause();
        _exit(0);
    }
    struct Case {
        const char* what;
        int taken;
    } cases[] = {
        {"symlink", 0}, {"directory", 0}, {"fifo", 0}, {"live pid", 0}, {"dead pid", 1},
    };
    for (const Case& c : cases) {
        std::string what = c.what;
        if (what == "symlink") {
            ASSERT_EQ(symlink(target.c_str(), lockPath_.c_str()), 0);
        } else if (what == "directory") {
            ASSERT_EQ(mkdir(lockPath_.c_str(), 0700), 0);
        } else if (what == "fifo") {
            ASSERT_EQ(mkfifo(lockPath_.c_str(), 0600), 0);
        } else {
            WritePidFile(lockPath_, what == "live pid" ? (long)live : DeadPid());
        }
        PortLockRec lock = {nullptr};
        char why[200] = "";
        int taken = AcquirePortLock(port_.c_str(), &lock, why, sizeof why);
        EXPECT_EQ(taken, c.taken) << what << ": " << why;
        if (taken) {
            // Taken over: the file now names this process.
            FILE* file = fopen(lockPath_.c_str(), "r");
            ASSERT_NE(file, nullptr);
            long pid = 0;
            EXPECT_EQ(fscanf(file, "%ld", &pid), 1);
            fclose(file);
            EXPECT_EQ(pid, (long)getpid()) << what;
            ReleasePortLock(&lock);
        } else {
            EXPECT_NE(strstr(why, "is in use"), nullptr) << what << ": " << why;
            EXPECT_TRUE(PortLockHeldElsewhere(port_.c_str())) << what;
        }
        if (what == "live pid") {
            EXPECT_NE(strstr(why, std::to_string(live).c_str()), nullptr) << why;
        }
        EXPECT_NE(access(target.c_str(), F_OK), 0) << what << ": the link was followed";
        unlink(lockPath_.c_str());
        rmdir(lockPath_.c_str());
    }
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
}

TEST_F(TorvanctlPortLockTest, OnePortHasOneNameHoweverItIsSpelled) {
    const std::string device = dir_ + "/ttyUSB7";
    FILE* file = fopen(device.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    ASSERT_EQ(symlink(device.c_str(), (dir_ + "/by-id").c_str()), 0);
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
    char resolved[PATH_MAX];
    ASSERT_NE(realpath(device.c_str(), resolved), nullptr);
    struct Case {
        std::string given, expected;
    } cases[] = {
        {device, resolved},
        {dir_ + "/by-id", resolved},
        {dir_ + "/./sub/../ttyUSB7", resolved},
        {dir_ + "//ttyUSB7", resolved},
        // A bare name is a device in /dev; one that does not exist keeps its spelling.
        {"ttyNoSuchPort9", "/dev/ttyNoSuchPort9"},
        {"/dev/ttyNoSuchPort9", "/dev/ttyNoSuchPort9"},
    };
    for (const Case& c : cases) {
        char name[PATH_MAX];
        EXPECT_EQ(CanonicalPortName(c.given.c_str(), name, sizeof name), 1) << c.given;
        EXPECT_EQ(std::string(name), c.expected) << c.given;
    }
    char small[8];
    EXPECT_EQ(CanonicalPortName(device.c_str(), small, sizeof small), 0);
    EXPECT_EQ(small[0], '\0');
}

} // namespace
