// The per-connection protocol state: turns a client's bytes into shell commands, controller
// commands or raw data for the linked resource, and passes everything the client receives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "protocol/shell_wire.hpp"
#include "shell/reply_tracker.hpp"
#include "shell/shell.hpp"

struct PublishSettings;
class Request;
class ShellOwner;
class ShellResource;
class ShellServer;

class CommandShell : public Shell {
public:
  static constexpr std::uint32_t kShellMode = orvan::protocol::kShellMode;
  static constexpr std::uint32_t kRawMode = orvan::protocol::kRawMode;
  static constexpr std::uint32_t kCookedMode = orvan::protocol::kCookedMode;

  // Longest shell line kept; a longer one is dropped up to its end and answered "\".
  static constexpr std::size_t kLineLimit = 4096;
  // Raw bytes held while the connection waits for its resource; more is refused.
  static constexpr std::size_t kRawBacklogLimit = 1 << 20;
  // Command requests one connection may have waiting at its resource.
  static constexpr std::size_t kWaitingLimit = 1024;

  static constexpr const char* kVersion = "1.33.4";

  CommandShell(ShellOwner& owner, ShellServer& server, bool mdnsSupported);
  ~CommandShell() override;
  CommandShell(const CommandShell&) = delete;
  CommandShell& operator=(const CommandShell&) = delete;

  // Every chunk the client sends. Raises IError to end the connection (quit).
  void Consume(const std::uint8_t* bytes, std::size_t length) override;

  void Link(std::uint32_t number);
  void Unlink() override;
  void SetMessages(bool on);
  void SetDataRecords(bool on);
  void SetInterrupts(bool on);

  // Text and "~" when code is 0, else text and "\".
  void Reply(int code, const std::string& text) override;
  // Everything the client receives passes here; in cooked mode it tracks the reply, except the
  // first part of a binary reply, which is no text (the resource marks its end).
  void Send(const std::uint8_t* bytes, std::size_t length, bool unsolicited, bool replyComplete,
            bool binaryPart = false) override;
  // The resource makes this connection's request its current one.
  void OnRequestReady(std::shared_ptr<Request> request,
                      std::shared_ptr<ShellResource> resource) override;
  // Ends the current request before its reply has: the resource keeps what is still coming
  // of a cooked reply from its next owner.
  void FinishRequest() override;

  void ExecuteLine(const std::uint8_t* bytes, std::size_t length);
  void RunCommand(std::vector<std::string> words);

  std::uint32_t Mode() const override { return mode; }
  std::uint32_t LinkNumber() const { return linkNumber; }
  std::uint32_t PassCounter() const { return passCounter; }
  bool Messages() const { return messages; }
  bool Interrupts() const { return interrupts; }
  bool DataRecords() const { return dataRecords; }
  bool Serving() const { return !servingResource.expired(); }
  const std::string& LastError() const { return lastError; }
  void SetLastError(std::string text) override { lastError = std::move(text); }

private:
  void ConsumeByte(std::uint8_t byte);
  void Escape(std::uint8_t byte);
  void FrameCooked();
  void FlushRaw();
  void SetMode(std::uint32_t mode);
  void EmptyLine();
  void Append(std::uint8_t byte, std::size_t limit);
  // Submits a command request and remembers it as waiting; false when refused.
  bool SubmitCommand(const std::uint8_t* bytes, std::size_t length);
  bool HasWaiting();
  // Withdraws every command request not finished yet and ends the current one.
  void WithdrawRequests();
  void Fail(const std::string& text);
  // Ends the current request; `abandoned`: before its reply ended.
  void EndRequest(bool abandoned);
  bool SetSubscription(bool& flag, bool on, int joinCode, int leaveCode);

  void LinkCommand(const std::vector<std::string>& args);
  void OpenCommand(const std::vector<std::string>& args);
  void CloseCommand(const std::vector<std::string>& args);
  void QuitCommand(const std::vector<std::string>& args);
  void AdminCommand(const std::vector<std::string>& args);
  void NoIpCommand(const std::vector<std::string>& args);
  void AssignCommand(const std::vector<std::string>& args);
  void ResourcesCommand(const std::vector<std::string>& args);
  void PingCommand(const std::vector<std::string>& args);
  void ServerInfoCommand(const std::vector<std::string>& args);
  void ServerStatusCommand(const std::vector<std::string>& args);
  void ServersCommand(const std::vector<std::string>& args);
  void ConnectionsCommand(const std::vector<std::string>& args);
  void PublishCommand(const std::vector<std::string>& args);
  void SavePublishSettings(const PublishSettings& settings);
  void TeCommand(const std::vector<std::string>& args);
  void CtrlCommand(const std::vector<std::string>& args);
  bool RefuseWithoutMdns();

  std::uint32_t mode = kShellMode;
  std::uint32_t linkNumber = 0;
  bool messages = false;
  bool interrupts = false;
  bool dataRecords = false;
  ShellOwner& owner;
  ShellServer& server;
  std::vector<std::uint8_t> line;
  // The line grew past its limit: its bytes are dropped until its end.
  bool overflow = false;
  std::uint32_t passCounter = 0;
  std::uint8_t currentByte = 0;
  std::uint8_t previousByte = 0;
  std::weak_ptr<ShellResource> servingResource;
  std::shared_ptr<Request> pendingRequest;
  // Command requests submitted and not yet made current, oldest first.
  std::deque<std::weak_ptr<Request>> waiting;
  // Raw bytes that must follow a waiting request to keep the client's order.
  std::vector<std::uint8_t> rawBacklog;
  ReplyTracker tracker;
  // The current request is a cooked command whose reply has not ended.
  bool replyOwed = false;
  std::string lastError;
  bool mdnsSupported;
};
