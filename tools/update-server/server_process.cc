#include "tools/update-server/server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace corlinq {

ServerProcess::~ServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  if (reader_.joinable()) reader_.join();
}

bool ServerProcess::Start(const std::vector<std::string>& argv, std::string& error) {
  if (argv.empty() || pid_ > 0) {
    error = "nothing to start";
    return false;
  }
  if (access(argv[0].c_str(), X_OK) != 0) {
    error = "cannot start " + argv[0] + ": " + std::strerror(errno);
    return false;
  }
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. The child dies with the thread that
    // started it, so a crashed test leaves no server behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(args[0], args.data());
    static const char kFailed[] = "cannot start the program\n";
    if (write(2, kFailed, sizeof kFailed - 1) < 0) _exit(127);
    _exit(127);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    error = "fork: " + std::string(std::strerror(errno));
    return false;
  }
  pid_ = pid;
  int readFd = fds[0];
  reader_ = std::thread([this, readFd] { ReadOutput(readFd); });
  return true;
}

void ServerProcess::ReadOutput(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    size_t newline;
    std::lock_guard<std::mutex> lock(mutex_);
    while ((newline = pending.find('\n')) != std::string::npos) {
      lines_.push_back(pending.substr(0, newline));
      pending.erase(0, newline + 1);
    }
    changed_.notify_all();
  }
  close(fd);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!pending.empty()) lines_.push_back(pending);
  outputEnded_ = true;
  changed_.notify_all();
}

bool ServerProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout,
                                bool prefix) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto seen = [&] {
    for (const std::string& l : lines_) {
      if (prefix ? l.compare(0, line.size(), line) == 0 : l == line) return true;
    }
    return false;
  };
  return changed_.wait_for(lock, timeout, [&] { return seen() || outputEnded_; }) && seen();
}

int ServerProcess::ListeningPort(const std::string& scheme, const std::string& address) const {
  std::string head = "listening " + scheme + " " + address + ":";
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& l : lines_) {
    if (l.compare(0, head.size(), head) == 0) return std::atoi(l.c_str() + head.size());
  }
  return 0;
}

std::vector<std::string> ServerProcess::Lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool ServerProcess::Reap(std::chrono::milliseconds timeout, int& status) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      if (reader_.joinable()) reader_.join();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int ServerProcess::WaitForExit(std::chrono::milliseconds timeout) {
  int status = 0;
  if (pid_ <= 0 || !Reap(timeout, status)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ServerProcess::Terminate(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, SIGTERM);
  int status = 0;
  if (Reap(timeout, status)) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  kill(pid_, SIGKILL);
  Reap(std::chrono::seconds(60), status);
  return -1;
}

}  // namespace corlinq
