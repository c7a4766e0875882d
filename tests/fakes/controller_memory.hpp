// The fake controller's program and array memory: "DL" downloads replace the program or insert
// lines at a number, "UL" uploads it; "DM" dimensions arrays that "LA" lists, "QD" fills and
// "QU" uploads. No transport and no lock: the controller core serialises every call.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace orvan::fakes {

// A download in progress on one peer; it takes every byte up to its closing backslash.
struct MemoryTransfer {
  enum class Kind { None, Program, Array } kind = Kind::None;
  bool acknowledging = false;      // an ACK after each line
  std::string line;                // bytes of the line not yet ended
  std::vector<std::string> lines;  // program lines received
  int insertAt = -1;               // -1 replaces the whole program
  std::string arrayName;
  size_t arrayNext = 0;
  size_t arrayLast = 0;
  bool Active() const { return kind != Kind::None; }
};

class ControllerMemory {
public:
  // "DL[n][,1]" or "QD NAME[],first,last[,1]" starts the transfer; the reply is ACK when lines
  // are acknowledged (asked for with ",1" and `lineAcknowledgement` on), "?" for an unknown
  // array, else nothing.
  std::string StartTransfer(MemoryTransfer& transfer, const std::string& command,
                            bool lineAcknowledgement);
  // One byte of a transfer; the reply it calls for: ACK at a line's end, ":" at the closing
  // backslash (which ends the transfer), mostly nothing.
  std::string Take(MemoryTransfer& transfer, char byte);

  std::string Upload() const;                                 // "UL"
  std::string UploadArray(const std::string& command) const;  // "QU NAME[],first,last[,1]"
  std::string ListArrays() const;                             // "LA"
  std::string Dimension(const std::string& command);          // "DM NAME[size],..."

  std::string Program() const;  // the lines as downloaded, each ended by CR
  void DefineArray(const std::string& name, size_t size);
  std::vector<double> Array(const std::string& name) const;

private:
  void StoreValue(MemoryTransfer& transfer);
  void StoreProgram(MemoryTransfer& transfer);

  std::vector<std::string> program;
  std::map<std::string, std::vector<double>> arrays;
};

// Blanks trimmed from both ends; the controller ignores them around commands and fields.
std::string Trimmed(const std::string& text);

}  // namespace orvan::fakes
