#pragma once
// Test support: runs a server program (update-server, fault-peer) as a child process, collects
// its stdout and stderr lines, and stops it by its process id.
//
//   corlinq::ServerProcess server;
//   ASSERT_TRUE(server.Start({exe, "--config", path}, error)) << error;
//   ASSERT_TRUE(server.WaitForLine("ready", std::chrono::seconds(10)));
//   int port = server.ListeningPort("https", "127.0.0.1");
//   ...
//   EXPECT_EQ(server.Terminate(std::chrono::seconds(10)), 0);
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corlinq {

class ServerProcess {
 public:
  ServerProcess() = default;
  ~ServerProcess();  // kills the child if still running
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts argv[0] (a path) with the given arguments. False with a reason when it cannot start.
  // The child is killed when the thread that started it ends (PR_SET_PDEATHSIG), so a test
  // that crashes leaves no server running; start servers from the test's main thread.
  [[nodiscard]] bool Start(const std::vector<std::string>& argv, std::string& error);

  // Waits until an output line equal to `line` (or, when prefix is true, starting with it)
  // has been seen; false on time-out or when the child's output ends first.
  [[nodiscard]] bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout,
                                 bool prefix = false);

  // The port of the "listening <scheme> <address>:<port>" line; 0 when there is none.
  [[nodiscard]] int ListeningPort(const std::string& scheme, const std::string& address) const;

  // Every output line so far.
  [[nodiscard]] std::vector<std::string> Lines() const;

  // Sends SIGTERM and waits; returns the exit code, or -1 when the child did not end in time
  // (it is then killed) or ended on a signal.
  [[nodiscard]] int Terminate(std::chrono::milliseconds timeout);

  // Waits for the child to end on its own; returns its exit code, or -1 on time-out (the child
  // keeps running) or when it ended on a signal.
  [[nodiscard]] int WaitForExit(std::chrono::milliseconds timeout);

  pid_t pid() const { return pid_; }

 private:
  void ReadOutput(int fd);
  // Reaps the child within timeout: true with its wait status, false when still running.
  bool Reap(std::chrono::milliseconds timeout, int& status);

  pid_t pid_ = -1;
  std::thread reader_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool outputEnded_ = false;
};

}  // namespace corlinq
