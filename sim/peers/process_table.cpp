#include "peers/process_table.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "peers/street.h"

ProcessTable::ProcessTable() : root_(make_run_dir("lampgw-proc")) {}

ProcessTable::~ProcessTable()
{
    for (pid_t pid : pids())
        stop(pid, 2000);
    remove_tree(root_);
}

pid_t ProcessTable::start(const std::string &program, const char *argv0)
{
    if (root_.empty())
        return -1;
    // Nothing of ours stays open in the child: a pseudo-terminal master kept
    // alive there would keep a vanished modem's node.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    char *argv[] = {const_cast<char *>(argv0), nullptr};
    pid_t pid = -1;
    // posix_spawn returns once the child has run exec, so the entry names
    // the program from the start.
    const int err = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        return -1;
    std::lock_guard<std::mutex> hold(lock_);
    pids_.push_back(pid);
    const std::string entry = root_ + "/" + std::to_string(pid);
    if (symlink(("/proc/" + std::to_string(pid)).c_str(), entry.c_str()) != 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        drop(pid);
        return -1;
    }
    return pid;
}

void ProcessTable::reap()
{
    std::lock_guard<std::mutex> hold(lock_);
    for (pid_t pid : std::vector<pid_t>(pids_)) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            drop(pid);
    }
}

int ProcessTable::stop(pid_t pid, int timeout_ms)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (std::find(pids_.begin(), pids_.end(), pid) == pids_.end())
        return -1;
    int status = -1;
    kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pid_t r;
    while ((r = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (r == 0) {
        kill(pid, SIGKILL);
        r = waitpid(pid, &status, 0);
    }
    drop(pid);
    return r == pid ? status : -1;
}

std::vector<pid_t> ProcessTable::pids() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return pids_;
}

void ProcessTable::drop(pid_t pid)
{
    unlink((root_ + "/" + std::to_string(pid)).c_str());
    pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
}
