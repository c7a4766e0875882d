#include "fakes/controller_loader.hpp"

#include <cctype>

namespace orvan::fakes {

namespace {

constexpr char kAck[] = "\x06";
constexpr char kUnlockWhole[] = "\x06\x05$3e7d, $91c8";
constexpr char kUnlockAcknowledged[] = "\x06\x05$3e7d,$91c8,1";
constexpr char kLoaderMode[] = "D4E29,A6B1";
constexpr char kQuiet[] = "\x0F\x13";
constexpr char kBurnArgument[] = "BN $7A41C0B9";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of hex pairs from `first` on; false when a character is no hex digit.
bool HexBytes(const std::string& text, size_t first, std::vector<int>& bytes) {
  if ((text.size() - first) % 2 != 0) return false;
  for (size_t i = first; i < text.size(); i += 2) {
    const int high = HexDigit(text[i]);
    const int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(high * 16 + low);
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

constexpr char kBinaryStart = static_cast<char>(0x80);
constexpr size_t kBinaryChunk = 384;

}  // namespace

bool ValidSRecord(const std::string& record) {
  if (record.size() < 4 || record[0] != 'S' || !std::isdigit(static_cast<unsigned char>(record[1])))
    return false;
  std::vector<int> bytes;
  if (!HexBytes(record, 2, bytes) || bytes.size() < 4) return false;
  if (static_cast<size_t>(bytes[0]) + 1 != bytes.size()) return false;
  int sum = 0;
  for (const int byte : bytes) sum += byte;
  return (sum & 0xFF) == 0xFF;
}

bool ValidHexRecord(const std::string& record) {
  if (record.empty() || record[0] != ':') return false;
  std::vector<int> bytes;
  if (!HexBytes(record, 1, bytes) || bytes.size() < 5) return false;
  if (static_cast<size_t>(bytes[0]) + 5 != bytes.size() || bytes[3] > 5) return false;
  int sum = 0;
  for (const int byte : bytes) sum += byte;
  return (sum & 0xFF) == 0;
}

std::optional<std::string> ControllerLoader::Command(LoaderSession& session,
                                                     const std::string& text, bool monitor) {
  const auto open = [&session, &text](LoaderSession::Mode mode) {
    session.mode = mode;
    session.loaderMode = text == kLoaderMode;
    session.record.clear();
    session.image.clear();
    session.ended = false;
  };
  if (text == kUnlockWhole || text == kLoaderMode) {
    open(LoaderSession::Mode::Whole);
    return std::string();
  }
  if (text == kUnlockAcknowledged) {
    open(LoaderSession::Mode::Acknowledged);
    return std::string(kAck);
  }
  if (monitor) return std::nullopt;

  if (text == kQuiet) return std::string(":");
  if (text == "DH?") return std::string(firmware.dhcp ? "1\r\n:" : "0\r\n:");
  if (text == "DH0" || text == "DH1") {
    firmware.dhcp = text == "DH1";
    return std::string(":");
  }
  if (text.compare(0, 2, "BN") == 0) {
    if (text != "BN" && text != kBurnArgument) return std::string("?");
    if (session.hasStaged) Burn(session.staged);
    session.hasStaged = false;
    return std::string(":");
  }
  if (text == "RJ1") {
    session.hexOpen = true;
    session.hexCleared = false;
    return std::string(":");
  }
  if (text == "FUC") {
    if (!session.hexOpen) return std::string("?");
    session.hexCleared = true;
    session.hexRecords.clear();
    return std::string(":");
  }
  if (text.compare(0, 3, "FUH") == 0) {
    const std::string record = text.substr(3);
    if (!session.hexCleared || !ValidHexRecord(record)) return std::string("?");
    session.hexRecords.push_back(record);
    return std::string(":");
  }
  if (text == "RJ0") {
    if (session.hexCleared) firmware.hex = session.hexRecords;
    session.hexOpen = session.hexCleared = false;
    session.hexRecords.clear();
    return std::string(":");
  }
  return std::nullopt;
}

std::string ControllerLoader::Take(LoaderSession& session, char byte, bool monitor,
                                   bool& handBack) {
  handBack = false;
  if (session.mode == LoaderSession::Mode::Whole && session.loaderMode && session.record.empty() &&
      session.image.empty() && byte == kBinaryStart) {
    session.mode = LoaderSession::Mode::Binary;
    session.step = BinaryStep::Start;
    session.field.clear();
    session.data.clear();
    session.acknowledgements = 0;
  }
  if (session.mode == LoaderSession::Mode::Binary) return TakeBinary(session, byte);
  if (session.mode == LoaderSession::Mode::Trailer) {
    // Line breaks and blanks after the end record still belong to the image.
    if (byte == '\r' || byte == '\n' || IsBlank(byte)) return {};
    session.mode = LoaderSession::Mode::None;
    handBack = true;
    return {};
  }
  const bool acknowledged = session.mode == LoaderSession::Mode::Acknowledged;
  if (byte == '\n') return {};
  if (IsBlank(byte)) return session.record.empty() ? std::string() : Fail(session);
  if (byte == '\r') {
    if (!session.record.empty()) return Fail(session);
    if (!acknowledged) return {};
    if (!session.ended) return kAck;
    Finish(session, monitor);
    session.mode = LoaderSession::Mode::None;
    return std::string(kAck) + ":";
  }
  if (session.ended) return Fail(session);

  session.record += byte;
  const std::string& record = session.record;
  const bool plausible =
      record[0] == 'S' &&
      (record.size() < 2 || std::isdigit(static_cast<unsigned char>(record[1]))) &&
      (record.size() < 3 || HexDigit(byte) >= 0);
  if (!plausible) return Fail(session);
  if (record.size() < 4) return {};
  const size_t whole = 4 + 2 * static_cast<size_t>(HexDigit(record[2]) * 16 + HexDigit(record[3]));
  if (record.size() < whole) return {};
  if (!ValidSRecord(record)) return Fail(session);

  session.image += record + "\r";
  const char type = record[1];
  session.record.clear();
  if (type < '7') return {};
  session.ended = true;
  if (acknowledged) return {};  // answered at the line's CR
  Finish(session, monitor);
  session.mode = LoaderSession::Mode::Trailer;
  return ":";
}

std::string ControllerLoader::BurnProgram(const std::string& program) {
  firmware.program = program;
  return ":";
}

std::string ControllerLoader::Fail(LoaderSession& session) {
  session.mode = LoaderSession::Mode::None;
  session.record.clear();
  session.image.clear();
  session.ended = false;
  return "?";
}

void ControllerLoader::Finish(LoaderSession& session, bool monitor) {
  firmware.dhcp = true;  // the new image runs with its own default until told otherwise
  if (monitor) {
    Burn(session.image);
    return;
  }
  session.staged = session.image;
  session.hasStaged = true;
}

std::string ControllerLoader::TakeBinary(LoaderSession& session, char byte) {
  const auto opcode = static_cast<uint8_t>(byte);
  if (byte == '\n' && session.acknowledgements > 0) {
    --session.acknowledgements;
    return {};
  }
  switch (session.step) {
    case BinaryStep::Start:
      session.step = BinaryStep::Speed;
      return Status(session, BinaryStep::Start, opcode == 0x80);
    case BinaryStep::Speed:
      firmware.speed = opcode;
      session.step = BinaryStep::Length;
      return Status(session, BinaryStep::Speed, opcode <= 1);
    case BinaryStep::Length:
      session.field += byte;
      if (session.field.size() < 3) return {};
      session.declared = 0;
      for (const char c : session.field)
        session.declared = session.declared * 256 + static_cast<uint8_t>(c);
      session.field.clear();
      session.step = session.declared == 0 ? BinaryStep::Validate : BinaryStep::Data;
      return Status(session, BinaryStep::Length, session.declared != 0);
    case BinaryStep::Data:
      session.data += byte;
      if (session.data.size() % kBinaryChunk != 0 && session.data.size() < session.declared)
        return {};
      if (session.data.size() == session.declared) session.step = BinaryStep::Validate;
      return Status(session, BinaryStep::Data, true);
    case BinaryStep::Validate:
      session.step = BinaryStep::Erase;
      return Status(session, BinaryStep::Validate, opcode == 0x81);
    case BinaryStep::Erase:
      session.step = BinaryStep::Program;
      return Status(session, BinaryStep::Erase, opcode == 0x82);
    case BinaryStep::Program:
      session.step = BinaryStep::Reset;
      return Status(session, BinaryStep::Program, opcode == 0x83);
    case BinaryStep::Reset: {
      std::string reply = Status(session, BinaryStep::Reset, opcode == 0x84);
      if (session.mode != LoaderSession::Mode::Binary) return reply;
      session.mode = LoaderSession::Mode::None;
      firmware.binary = session.data;
      ++firmware.burns;
      return reply + ":";
    }
  }
  return {};
}

std::string ControllerLoader::Status(LoaderSession& session, BinaryStep step, bool valid) {
  int status = valid ? 0 : -5;  // -5: an unknown opcode
  if (const auto it = scripted.find(step); it != scripted.end()) {
    status = it->second;
    scripted.erase(it);
  }
  if (status != 0 && status != 1) session.mode = LoaderSession::Mode::None;
  ++session.acknowledgements;
  const auto bits = static_cast<uint16_t>(status);
  return {static_cast<char>(bits >> 8), static_cast<char>(bits & 0xFF)};
}

void ControllerLoader::Burn(const std::string& image) {
  firmware.image = image;
  ++firmware.burns;
}

}  // namespace orvan::fakes
