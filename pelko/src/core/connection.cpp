// The device of a handle and its multi-exchange operations.
#include "core/connection.hpp"

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <vector>

#include "core/device_factory.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "program/preprocessor.hpp"

namespace orvan {
namespace {

constexpr uint8_t kAck = 0x06;
constexpr char kEndOfDownload[] = "\\";
// Both downloads wait this long after a blind opening line and between paced chunks.
constexpr uint32_t kPacingMilliseconds = 26;
// The most one blind program chunk holds: what a direct transport writes at once.
constexpr size_t kBlindChunk = kWriteChunk;
// An acknowledged array chunk goes out once it and this margin pass the controller's line.
constexpr size_t kChunkMargin = 20;

bool IsNameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// True when `list` (the reply to "LA") names the array: the name followed by '[' and not the
// tail of a longer name, so "A" is not found in "DATA[".
bool ListsArray(const std::string& list, const std::string& name) {
  if (name.empty() || !std::all_of(name.begin(), name.end(), IsNameCharacter)) return false;
  const std::string wanted = name + "[";
  for (auto at = list.find(wanted); at != std::string::npos; at = list.find(wanted, at + 1)) {
    if (at == 0 || !IsNameCharacter(list[at - 1])) return true;
  }
  return false;
}

// A left-out number is an empty field.
std::string Field(int32_t number) { return number < 0 ? std::string() : std::to_string(number); }

// The longest value between separators; such a value must fit one controller line with its CR.
size_t LongestValue(const std::string& values) {
  size_t longest = 0;
  size_t run = 0;
  for (const char c : values) {
    run = (c == ',' || c == '\r') ? 0 : run + 1;
    longest = std::max(longest, run);
  }
  return longest;
}

// The hardware behind the device, identified once.
const Description& Identified(OrvanDevice& device) {
  if (!device.description) throw OrvanError(-1300, "no hardware description");
  return device.description->Identify(device.DescribedDevice());
}

// Pass-through mode for one transfer. Every way out of the transfer, successful or not, puts
// the device back in command mode before an error reaches the caller: through the server, a
// device left in raw mode keeps the controller from every other client.
class PassThrough {
public:
  explicit PassThrough(OrvanDevice& device) : device(device) {
    device.SetOption(kOptionPassThrough, 0);
  }
  ~PassThrough() {
    if (ended) return;
    try {
      device.SetOption(kOptionCommandMode, 0);
    } catch (...) {
      // The transfer's own error is the one the caller needs.
    }
  }
  PassThrough(const PassThrough&) = delete;
  PassThrough& operator=(const PassThrough&) = delete;

  // The transfer went through: command mode again, and its failure is the caller's.
  void End() {
    ended = true;
    device.SetOption(kOptionCommandMode, 0);
  }

private:
  OrvanDevice& device;
  bool ended = false;
};

std::mutex& MakerLock() {
  static std::mutex lock;
  return lock;
}

Connection::DeviceMaker& Maker() {
  static Connection::DeviceMaker maker;
  return maker;
}

}  // namespace

Connection::~Connection() {
  try {
    if (device && device->IsOpen()) device->Close();
  } catch (...) {
    // A destructor has no one to report to; the device is dropped either way.
  }
  device.reset();
  options.reset();
}

Connection::DeviceMaker Connection::SetDeviceMaker(DeviceMaker maker) {
  std::lock_guard<std::mutex> guard(MakerLock());
  std::swap(Maker(), maker);
  return maker;
}

std::shared_ptr<OrvanDevice> Connection::CreateDevice(const OrvanOptions& opened) {
  DeviceMaker maker;
  {
    std::lock_guard<std::mutex> guard(MakerLock());
    maker = Maker();
  }
  return maker ? maker(opened, ioContext) : MakeDevice(opened, ioContext);
}

void Connection::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (device) {
    if (device->IsOpen()) device->Close();
    device.reset();
  }
  device = CreateDevice(*opened);
  if (!device) throw OrvanError(-1101, "device failed to open");
  device->Open(opened);
  options = opened;
}

std::string Connection::Command(const std::string& list, bool trim, int32_t timeout) {
  if (!device) throw OrvanError(-1102);
  // One command, the usual call: its only part is the whole text, with nothing to split.
  if (list.find_first_of(";\r") == std::string::npos)
    return device->Command(list, trim, timeout, true);
  // A run of separators is one, yet a separator at either end still yields an empty part,
  // which sends a lone CR.
  std::vector<std::string> parts;
  boost::algorithm::split(parts, list, boost::is_any_of(";\r"), boost::token_compress_on);
  std::string result;
  for (const auto& part : parts) {
    try {
      result += device->Command(part, trim, timeout, true);
    } catch (const OrvanError& e) {
      if (result.empty()) throw;
      throw OrvanError(e.Code(), "Error at " + part + "\n" + result + e.Message());
    }
  }
  return result;
}

std::shared_ptr<Description> Connection::GetDescription() {
  if (!device) throw OrvanError(-1102);
  return device->description;
}

OrvanDevice& Connection::Device() {
  if (!device) throw OrvanError(-1102);
  return *device;
}

int32_t Connection::OptionsTimeout() {
  const auto& settings = options ? options : device->options;
  return static_cast<int32_t>(settings->timeout);
}

bool Connection::Acknowledged(const Description& description) {
  const auto& settings = options ? options : device->options;
  return description.lineAcknowledged && (settings->debug & 1) == 0;
}

void Connection::Progress(uint64_t done, uint64_t total) {
  if (device->progressCallback)
    device->progressCallback(static_cast<uint32_t>(done), static_cast<uint32_t>(total),
                             device->callbackUser);
}

std::string Connection::Info() {
  if (!device || !device->IsOpen()) return "device not open";
  const int32_t timeout = OptionsTimeout();
  Command("", true, timeout);  // refreshes the prompt state
  if (device->promptState) {
    const std::string reply = device->Command("\x12", true, timeout, true);
    const bool printable = std::all_of(reply.begin(), reply.end(),
                                       [](char c) { return static_cast<unsigned char>(c) > 31; });
    return printable ? reply : "monitor";
  }
  const Description& description = Identified(*device);
  return description.address + ", " + description.revision + ", " + description.serialNumber;
}

std::string Connection::ArrayUpload(const std::string& name, int32_t first, int32_t last,
                                    int32_t delimiter) {
  OrvanDevice& target = Device();
  // A line break would hand the controller a second command of the caller's making.
  if (name.find_first_of("\r\n") != std::string::npos)
    throw OrvanError(-10002, "array name holds a line break");
  const std::string request =
      "QU " + name + "[], " + Field(first) + ", " + Field(last) + ", " + Field(delimiter);
  return target.Command(request, true, OptionsTimeout(), true);
}

void Connection::WriteDownload(const std::string& bytes, bool progress, bool& midLine) {
  // Until the write is known to be whole, the controller may hold part of a line.
  midLine = true;
  device->Write(bytes.data(), bytes.size(), OptionsTimeout(), progress);
  midLine = !bytes.empty() && bytes.back() != '\r';
}

void Connection::AbandonDownload(bool midLine) {
  const int32_t timeout = OptionsTimeout();
  // Each step is tried on its own: the first error must reach the caller, not these.
  try {
    if (midLine) device->Write("\r", 1, timeout, false);
  } catch (...) {
  }
  try {
    device->Write(kEndOfDownload, 1, timeout, false);
  } catch (...) {
  }
  try {
    device->ReadChunk(timeout, false);
  } catch (...) {
  }
}

void Connection::FinishDownload() {
  const int32_t timeout = OptionsTimeout();
  device->Write(kEndOfDownload, 1, timeout, false);
  device->ReadChunk(timeout, true);
}

void Connection::ArrayDownload(const std::string& name, int32_t first, int32_t last,
                               const std::string& values) {
  OrvanDevice& target = Device();
  const bool acknowledged = Acknowledged(Identified(target));
  const int32_t timeout = OptionsTimeout();
  PassThrough passThrough(target);
  if (!ListsArray(Command("LA", true, timeout), name)) throw OrvanError(-1200);
  if (acknowledged && LongestValue(values) + 1 > kReadBlock)
    throw OrvanError(-10002, "array value longer than a controller line");
  // A backslash would end the download early and hand the rest of the values to the
  // controller as commands.
  if (values.find('\\') != std::string::npos)
    throw OrvanError(-10002, "\\ character is not legal in array values");

  const std::string opening =
      "QD " + name + "[]," + Field(first) + "," + Field(last) + (acknowledged ? ",1\r" : "\r");
  target.Write(opening.data(), opening.size(), timeout, false);

  bool midLine = false;
  try {
    if (acknowledged) {
      target.WaitForByte(kAck);
      std::string chunk;
      for (size_t i = 0; i < values.size(); ++i) {
        const char c = values[i];
        if (c != ',' && c != '\r') {
          chunk += c;
          continue;
        }
        if (chunk.size() + kChunkMargin > kReadBlock) {
          chunk += '\r';
          WriteDownload(chunk, false, midLine);
          Progress(i, values.size());
          chunk.clear();
          target.WaitForByte(kAck);
        } else {
          chunk += ',';
        }
      }
      if (!chunk.empty()) {
        if (chunk.back() == ',') chunk.pop_back();
        if (chunk.empty() || chunk.back() != '\r') chunk += '\r';
        WriteDownload(chunk, false, midLine);
        Progress(values.size(), values.size());
        target.WaitForByte(kAck);
      }
    } else {
      target.ReadChunk(0, true);  // stale replies must not pass for the download's answer
      WriteDownload(values, true, midLine);
    }
  } catch (...) {
    AbandonDownload(midLine);
    throw;
  }
  FinishDownload();
  passThrough.End();
}

void Connection::ProgramDownload(const std::string& program, const std::string& preprocessorOptions,
                                 const std::string& command) {
  OrvanDevice& target = Device();
  const int32_t timeout = OptionsTimeout();
  PassThrough passThrough(target);
  Command("ST", false, timeout);
  const Description& description = Identified(target);
  const bool acknowledged = Acknowledged(description);

  Preprocessor preprocessor;
  std::string lines;
  preprocessor.Run(preprocessorOptions, program, lines, description.programLines,
                   description.charactersPerLine, description.flag2);
  const std::string opening =
      command + " " + preprocessor.Insert() + (acknowledged ? ", 1\r" : "\r");
  target.Write(opening.data(), opening.size(), timeout, false);

  bool midLine = false;
  try {
    if (acknowledged) {
      target.WaitForByte(kAck);
      size_t start = 0;
      for (size_t end = lines.find('\r'); end != std::string::npos; end = lines.find('\r', start)) {
        Progress(end, lines.size());
        WriteDownload(lines.substr(start, end + 1 - start), false, midLine);
        target.WaitForByte(kAck);
        start = end + 1;
      }
      Progress(lines.size(), lines.size());
    } else {
      const auto dataReturned = [&] {
        if (target.ReadChunk(0, true) > 0) throw OrvanError(-10000, "data read during blind DL");
      };
      WaitMilliseconds(kPacingMilliseconds);
      dataReturned();
      const bool pacing = description.busKind == kBusKindEthernet && description.pacing;
      for (size_t sent = 0; sent < lines.size();) {
        const size_t size = std::min(kBlindChunk, lines.size() - sent);
        WriteDownload(lines.substr(sent, size), false, midLine);
        sent += size;
        Progress(sent, lines.size());
        if (pacing) WaitMilliseconds(kPacingMilliseconds);
        dataReturned();
      }
    }
  } catch (...) {
    AbandonDownload(midLine);
    throw;
  }
  FinishDownload();
  passThrough.End();
}

}  // namespace orvan
