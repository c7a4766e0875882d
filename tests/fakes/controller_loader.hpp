// The fake controller's firmware side: the unlock forms and the loader-mode command that open a
// text image (sent whole, or a line at a time with an ACK for each), the Intel-hex session
// ("RJ1", "FUC", "FUH...", "RJ0"), the burns ("BN", "BP"), the quiet sequence and the DHCP
// switch that a new image turns back on; and the binary loader behind the loader-mode command
// (start, speed, length, data, validate, erase, program, reset, each answered by a two-byte
// status, any of them scriptable). A host acknowledges what it read with a lone LF (the server
// sends one before every read of the controller); the binary loader takes such an LF, while a
// status of its own is unacknowledged, as that and not as image data, so test images hold no
// 0x0A. Every S-record and hex record is checked, checksum
// included, and a bad one is answered with '?'. What was burned stays with the controller; a
// load in progress belongs to its connection, so a load that ends early leaves the next
// connection in command mode. No transport and no lock: the controller core serialises calls.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvan::fakes {

// What the controller holds after its loads, as tests look at it.
struct FakeFirmware {
  std::string image;             // records of the last burned text image, each ended by CR
  std::vector<std::string> hex;  // records of the last finished hex load
  std::string program;           // the program as "BP" burned it
  bool dhcp = true;              // "DH?" answers 1; a newly loaded image turns it on again
  size_t burns = 0;              // images burned
  std::string binary;            // the image the binary loader last programmed
  int speed = -1;                // the speed byte of the last binary load
};

// The binary loader's steps, in the order it takes them.
enum class BinaryStep { Start, Speed, Length, Data, Validate, Erase, Program, Reset };

// One connection's load in progress.
struct LoaderSession {
  enum class Mode { None, Whole, Acknowledged, Trailer, Binary } mode = Mode::None;
  bool loaderMode = false;  // opened by the loader-mode command, so a 0x80 starts the binary one
  BinaryStep step = BinaryStep::Start;
  std::string field;            // bytes of the binary step in progress
  size_t declared = 0;          // the image length the length step gave
  std::string data;             // the binary image so far
  size_t acknowledgements = 0;  // statuses sent that the host may still acknowledge with LF
  std::string record;           // the S-record being received
  std::string image;            // the records so far
  bool ended = false;           // the end record arrived; Acknowledged waits for its CR
  std::string staged;           // a whole image waiting for "BN"
  bool hasStaged = false;
  bool hexOpen = false;     // after "RJ1"
  bool hexCleared = false;  // after "FUC"
  std::vector<std::string> hexRecords;
  bool Active() const { return mode != Mode::None; }
};

class ControllerLoader {
public:
  // The reply to a command the loader knows (text without CR, blanks trimmed); nothing for one
  // it leaves to the rest of the controller. In the monitor only the image openers are its.
  std::optional<std::string> Command(LoaderSession& session, const std::string& text, bool monitor);
  // One byte while the session takes an image; the reply it calls for, mostly nothing.
  // `handBack` is set when the byte is no longer the image's and goes to the command parser.
  std::string Take(LoaderSession& session, char byte, bool monitor, bool& handBack);
  // "BP": burns the program memory holds.
  std::string BurnProgram(const std::string& program);

  const FakeFirmware& Firmware() const { return firmware; }
  // The next time the binary loader answers this step, it answers this status (once).
  void ScriptStatus(BinaryStep step, int status) { scripted[step] = status; }

private:
  std::string Fail(LoaderSession& session);
  // The end record arrived: the monitor burns at once, otherwise "BN" will.
  void Finish(LoaderSession& session, bool monitor);
  void Burn(const std::string& image);
  std::string TakeBinary(LoaderSession& session, char byte);
  // The two status bytes of a finished step: the scripted one, else 0 (or -5 when the byte
  // is not the step's); a failing status ends the session.
  std::string Status(LoaderSession& session, BinaryStep step, bool valid);

  FakeFirmware firmware;
  std::map<BinaryStep, int> scripted;
};

// True for one whole S-record ("S1..." with its checksum) or Intel-hex record (":...").
bool ValidSRecord(const std::string& record);
bool ValidHexRecord(const std::string& record);

}  // namespace orvan::fakes
