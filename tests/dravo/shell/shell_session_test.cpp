// A shell session with the running server, driven by OpenSSL's own command-line client:
// lines ended by CR, answers ended by "~" or "\", and "quit" closing the connection.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/dravo_server_fixture.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// One child process with its standard input and output on pipes.
class Child {
public:
  explicit Child(const std::vector<std::string>& argv) {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      for (int fd : {in[0], in[1], out[0], out[1], null}) close(fd);
      std::vector<char*> args;
      for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input = in[1];
    output = out[0];
  }
  ~Child() {
    if (input >= 0) close(input);
    if (output >= 0) close(output);
    if (pid > 0 && !exited) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  bool Started() const { return pid > 0; }
  bool Write(const std::string& bytes) {
    return write(input, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }
  // Reads until the output ends with `end`, the output closes, or the time is up.
  std::string ReadUntil(const std::string& end, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      if (!end.empty() && got.size() >= end.size() &&
          got.compare(got.size() - end.size(), end.size(), end) == 0) {
        break;
      }
      pollfd readable{output, POLLIN, 0};
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (poll(&readable, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(output, buffer, sizeof buffer);
      if (n <= 0) {
        closed = true;
        break;
      }
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }
  bool OutputClosed() const { return closed; }
  // The exit status, or -1 when the child has not ended within the limit.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        exited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

private:
  pid_t pid = -1;
  int input = -1;
  int output = -1;
  bool closed = false;
  bool exited = false;
};

TEST_F(DravoServerFixture, OpensslClientSession) {
  Child client({"openssl", "s_client", "-quiet", "-connect", "127.0.0.1:23"});
  ASSERT_TRUE(client.Started());
  const std::chrono::milliseconds answerLimit(10000);
  struct Exchange {
    std::string line;
    std::string answer;
  };
  const Exchange session[] = {
      {"a -v", "1.33.4\r\n~"},
      {"a -c", "1\r\n~"},
      {"no such command", "\\"},
      {"te", "invalid dravo command\r\n~"},
  };
  for (const auto& exchange : session) {
    ASSERT_TRUE(client.Write(exchange.line + "\r"));
    EXPECT_EQ(client.ReadUntil(exchange.answer, answerLimit), exchange.answer) << exchange.line;
  }
  // quit answers nothing: the server closes the connection and the client ends.
  ASSERT_TRUE(client.Write("quit\r"));
  EXPECT_EQ(client.ReadUntil("", answerLimit), "");
  EXPECT_TRUE(client.OutputClosed());
  EXPECT_NE(client.Wait(answerLimit), -1);
}

TEST_F(DravoServerFixture, NewIdleTimeoutTakesEffectAtOnce) {
  Child client({"openssl", "s_client", "-quiet", "-connect", "127.0.0.1:23"});
  ASSERT_TRUE(client.Started());
  ASSERT_TRUE(client.Write("a -t 300\r"));
  EXPECT_EQ(client.ReadUntil("300\r\n~", std::chrono::milliseconds(10000)), "300\r\n~");
  // Nothing more is sent: the connection ends after 300 ms, not after the old 600000.
  const auto start = Clock::now();
  EXPECT_EQ(client.ReadUntil("", std::chrono::milliseconds(10000)), "");
  EXPECT_TRUE(client.OutputClosed());
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

// One UDP shell client on a socket of its own.
class UdpClient {
public:
  UdpClient() : descriptor(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(23);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(descriptor, reinterpret_cast<sockaddr*>(&server), sizeof server);
  }
  ~UdpClient() { close(descriptor); }
  // Paced, so a burst does not overrun the server socket's receive buffer.
  void Send(const std::string& bytes) {
    send(descriptor, bytes.data(), bytes.size(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // Datagrams until the answer ends with `end` or the time is up.
  std::string ReadUntil(const std::string& end, std::chrono::milliseconds limit) {
    std::string got;
    const auto deadline = Clock::now() + limit;
    while (
        Clock::now() < deadline &&
        (got.size() < end.size() || got.compare(got.size() - end.size(), end.size(), end) != 0)) {
      pollfd readable{descriptor, POLLIN, 0};
      if (poll(&readable, 1, 50) <= 0) continue;
      char buffer[2048];
      const ssize_t n = recv(descriptor, buffer, sizeof buffer, 0);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

private:
  int descriptor;
};

TEST_F(DravoServerFixture, GarbageFromOneClientLeavesOthersServed) {
  UdpClient noisy;
  UdpClient quiet;
  Child tls({"openssl", "s_client", "-quiet", "-connect", "127.0.0.1:23"});
  ASSERT_TRUE(tls.Started());
  // Binary garbage, escapes everywhere, unknown commands and options, an endless line.
  std::string garbage;
  for (int i = 0; i < 449; ++i) garbage += static_cast<char>((i * 37 + 11) % 256);
  for (int round = 0; round < 20; ++round) {
    noisy.Send(garbage);
    noisy.Send(
        "\x1b"
        "c;;;\x1bs\x1b\x1b\x1bq o --bogus\ra -t x\rl --id 99 -m 1\r\x1bs");
  }
  for (int round = 0; round < 10; ++round) noisy.Send(std::string(449, 'x'));
  const std::chrono::milliseconds limit(10000);
  quiet.Send("a -c\r");
  EXPECT_EQ(quiet.ReadUntil("1\r\n~", limit), "1\r\n~");
  // Garbage over TLS too; after it, a fresh line in shell mode is answered as usual.
  ASSERT_TRUE(tls.Write(garbage + "\x1bs\r"));
  ASSERT_TRUE(tls.Write("a -v\r"));
  const std::string answers = tls.ReadUntil("1.33.4\r\n~", limit);
  ASSERT_GE(answers.size(), 9u);
  EXPECT_EQ(answers.substr(answers.size() - 9), "1.33.4\r\n~");
  // The noisy client's own shell still works after its over-long line ends.
  noisy.Send("\x1bs\rte\r");
  const std::string noise = noisy.ReadUntil("line too long\r\n~", limit);
  EXPECT_NE(noise.find("line too long\r\n~"), std::string::npos) << noise;
  EXPECT_TRUE(dravo.Running());
}

}  // namespace
