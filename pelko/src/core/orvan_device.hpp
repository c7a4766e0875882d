// Abstract base of every connection to a controller. Subclasses bring the transport; the base
// brings what all of them share: the command/reply engine, the unsolicited message queue,
// the set-up after opening and the timeout rule of reads.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "core/device_codes.hpp"
#include "identify/queried_device.hpp"
#include "pelko.h"
#include "protocol/reply_end.hpp"

namespace orvan {

class Connection;
class Description;
struct OrvanOptions;

// The most a transport read may hand over at once: the engine's read block.
constexpr size_t kReadBlock = protocol::kEngineReadBlock;
// The most one write hands to a direct transport.
constexpr size_t kWriteChunk = 449;
// The unsolicited queue drops bytes beyond this.
constexpr size_t kUnsolicitedLimit = 100000;
// A device holds at most this many interrupt status bytes not yet taken; later ones are dropped.
constexpr size_t kInterruptLimit = 64;
// A reply this long is no controller's reply; a controller that keeps trickling bytes must not
// make the library grow a buffer without end.
constexpr size_t kReplyLimit = protocol::kReplyLimit;

class OrvanDevice : public QueriedDevice {
public:
  OrvanDevice();
  ~OrvanDevice() override;
  OrvanDevice(const OrvanDevice&) = delete;
  OrvanDevice& operator=(const OrvanDevice&) = delete;

  virtual void Open(const std::shared_ptr<OrvanOptions>& options) = 0;
  virtual bool IsOpen() = 0;
  virtual void Close() = 0;
  // Set-up commands after opening; subclasses call this first and add their own.
  virtual void Initialize();
  // Bytes placed in the buffer; with separateUnsolicited, bytes with bit 7 set go to the queue.
  virtual size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) = 0;
  // Bytes waiting; negative when the transport cannot tell.
  virtual int32_t BytesAvailable() = 0;
  virtual void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) = 0;
  // Sends one command and reads its reply up to the controller's prompt.
  std::string Command(const std::string& command, bool trim, int32_t timeout,
                      bool throwOnError) override;
  // Unsolicited message bytes, bit 7 cleared; the count placed in the buffer.
  virtual size_t Message(char* buffer, uint64_t length, int32_t timeout);
  virtual void SetRecordBuffer(const std::shared_ptr<OrvDataRecord>& record);
  virtual int32_t Record(bool async, int32_t timeout) = 0;
  virtual uint8_t Interrupt(int32_t timeout);
  virtual void FirmwareDownload(const std::string& path, Connection& connection);
  virtual int32_t BusType() = 0;
  void SetOption(int32_t option, int32_t value) override;
  virtual void SetCallback(OrvProgressCallback callback, void* user);
  // The device whose own exchange identification queries and whose description this device
  // shares: itself, unless it passes its commands to a channel.
  virtual OrvanDevice& DescribedDevice() { return *this; }
  const OrvanOptions* OpenedOptions() const override { return options.get(); }
  bool InMonitor() const override { return promptState; }

  // Appends the byte with bit 7 cleared; dropped once the queue is full.
  void QueueUnsolicited(uint8_t byte);
  // Moves queued message bytes, oldest first, into the buffer; the count moved.
  size_t TakeUnsolicited(char* buffer, uint64_t length);
  // The timeout a subclass's Read waits: positive as given, negative the options timeout,
  // zero "only if something is waiting".
  int32_t EffectiveTimeout(int32_t timeout);
  // One read of up to 406 bytes into the read buffer, failures swallowed; with check, a '?'
  // among the bytes raises -10000 carrying them.
  size_t ReadChunk(int32_t timeout, bool check);
  // Reads until the byte arrives (the last read's count); '?' first raises -10000.
  size_t WaitForByte(uint8_t byte);
  // The synchronous record: "QR" within the timeout (the options' when not positive), its reply
  // copied into the record buffer as far as it goes.
  void QueryRecord(int32_t timeout);

  // Makes a reply that this device or the channel it passes its commands to still owes the
  // other's too: both engines read the one stream.
  void ShareOwedReply(OrvanDevice& channel) { owed = channel.owed; }
  // Firmware loaders (firmware/), one per kind of image, all over this device's own slots;
  // FirmwareDownload picks one and brackets it.
  // A text image sent whole after the unlock, then burned.
  void LoadFirmwareText(const char* image, size_t length);
  // An S-record image a line at a time, each acknowledged by the controller, then burned.
  void StreamFirmwareText(const char* image, size_t length);
  void LoadFirmwareE19(const char* image, size_t length);
  // Intel hex, one record per command.
  void LoadFirmwareHex(const char* image, size_t length);
  // A package's parts, each by its own loader, after the package is checked whole.
  void LoadFirmwarePackage(const char* file, size_t length, Connection& connection);
  // A program downloaded through the connection and burned into the controller.
  void DownloadAndBurnProgram(const char* image, size_t length, Connection& connection);
  // A raw binary image through the controller's binary loader.
  void LoadFirmwareBinary(const char* image, size_t length);
  // The binary loader's stages: start, speed, length, the data in chunks, validate, erase,
  // program and reset; every failure carries its stage's text unless the loader gave a status.
  void RunBinaryLoader(const char* image, size_t length);
  // Sends the bytes (none when count is 0) and reads the loader's two-byte status; the status
  // when it is a success, else the error it stands for is raised.
  int32_t LoaderExchange(const char* bytes, size_t count, int32_t timeout);
  // Quiets the controller's own output before a loader takes the link.
  void QuietForLoader();

  // What the last ReadChunk or WaitForByte read.
  const char* ReadBufferData() const { return readBuffer.data(); }
  size_t UnsolicitedCount() const { return unsolicited.size(); }

  // State the handle, the connection and the identification share with the device.
  // Written by the server-client device's keep-alive thread too.
  std::atomic<bool> lost{false};
  std::shared_ptr<Description> description;
  std::shared_ptr<OrvDataRecord> recordBuffer;
  bool promptState = false;
  std::shared_ptr<OrvanOptions> options;
  OrvProgressCallback progressCallback = nullptr;
  void* callbackUser = nullptr;

protected:
  // The peer sends no more of a reply still owed (the server dropped it with the request): the
  // next command drops only what of it has already arrived.
  void OwedReplyWithdrawn();
  // A fresh link owes no reply of the one before it: every transport's Open calls this.
  void ForgetOwedReply() { *owed = OwedReply{}; }

  std::deque<uint8_t> unsolicited;
  std::array<char, kReadBlock> readBuffer{};

private:
  // A reply whose command gave up before its end (a timeout, a read failure, the reply bound):
  // whatever of it comes later must not pass for the next command's reply.
  struct OwedReply {
    enum class Left { Nothing, Arrived, ToItsEnd };
    Left left = Left::Nothing;
    protocol::ReplyModes modes;
    protocol::ReplyEnd end{protocol::ReplyModes{}};
  };
  void Owe(const protocol::ReplyModes& modes, const protocol::ReplyEnd& end);
  // Before the next command: drops what has arrived of the owed reply, then reads and drops the
  // rest up to its end within the timeout (-1100 when it does not end). Forgets it either way.
  void SettleOwedReply(int32_t timeout);

  std::shared_ptr<OwedReply> owed = std::make_shared<OwedReply>();
};

// The largest program, include or firmware file the library reads.
constexpr size_t kLargestFile = 64u << 20;
// The whole regular file as bytes; -10005 when it cannot be opened, is no regular file or is
// larger than kLargestFile.
std::string ReadWholeFile(const std::string& path);
// Blocks the calling thread for the given milliseconds.
void WaitMilliseconds(uint32_t milliseconds);
// Milliseconds on the monotonic clock since `start`.
int64_t MillisecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace orvan
