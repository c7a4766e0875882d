// The raw binary loader: the controller's own loader takes the image in 384-byte chunks after
// a start, a speed and a length step, answering every step with a two-byte status, then
// validates, erases, programs and resets.
#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "core/device_codes.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "firmware/firmware_file.hpp"
#include "firmware/loader_steps.hpp"
#include "identify/description.hpp"

namespace orvan {
namespace {

constexpr size_t kChunk = 384;
// Chunks sent before the first of their statuses is read.
constexpr size_t kStatusWindow = 16;
constexpr int32_t kStepTimeout = 1000;
constexpr int32_t kStageTimeout = 17000;
constexpr uint32_t kLoaderModeSettle = 100;
constexpr int32_t kFastRate = 115200;

struct Stage {
  uint8_t opcode;
  const char* failure;
};
constexpr char kLoadFailure[] = "error during firmware file load";
constexpr std::array<Stage, 4> kLaterStages{{{0x81, "error during firmware file validation"},
                                             {0x82, "error during firmware erase"},
                                             {0x83, "error during firmware program"},
                                             {0x84, "error during controller reset"}}};

// Runs one stage; an error that is not a loader status takes the stage's text.
template <typename Steps>
void InStage(const char* failure, Steps&& steps) {
  try {
    steps();
  } catch (const OrvanError& error) {
    if (IsLoaderStatusCode(error.Code())) throw;
    throw OrvanError(error.Code(), failure);
  }
}

}  // namespace

int32_t OrvanDevice::LoaderExchange(const char* bytes, size_t count, int32_t timeout) {
  if (count != 0) Write(bytes, count, timeout, false);
  // Error statuses start with 0xFF: no byte is set aside as unsolicited.
  uint8_t status[2] = {0, 0};
  size_t got = Read(reinterpret_cast<char*>(status), 2, false, timeout);
  if (got < 2) got += Read(reinterpret_cast<char*>(status) + got, 2 - got, false, kStepTimeout);
  if (got < 2) throw OrvanError(-1100, "the loader sent no status");
  const int32_t value = static_cast<int16_t>((status[0] << 8) | status[1]);
  return CheckLoaderStatus(value);
}

void OrvanDevice::LoadFirmwareBinary(const char* image, size_t length) {
  Command("EO0", true, -1, true);
  if (!promptState) {
    RequireFirmwareOverBus(IdentifiedDescription(*this));
    QuietForLoader();
  }
  RunBinaryLoader(image, length);
}

void OrvanDevice::RunBinaryLoader(const char* image, size_t length) {
  const bool keepRate = (options->debug & 2) != 0;
  const uint64_t total = static_cast<uint64_t>(length) + 4;

  InStage(kLoadFailure, [&] {
    WriteLoaderBytes(*this, kLoaderModeCommand);
    WaitMilliseconds(kLoaderModeSettle);
    const char start = static_cast<char>(0x80);
    LoaderExchange(&start, 1, kStepTimeout);
    const char speed = keepRate ? 0x00 : 0x01;
    LoaderExchange(&speed, 1, kStepTimeout);
    if (!keepRate) SetOption(kOptionBaud, kFastRate);
    // Through the server the length bytes pass unchanged like the data, so the count is set
    // after the rate change's own shell exchange and covers them too.
    SetOption(kOptionPassThrough, static_cast<int32_t>(length + 3));
    const char size[3] = {static_cast<char>((length >> 16) & 0xFF),
                          static_cast<char>((length >> 8) & 0xFF),
                          static_cast<char>(length & 0xFF)};
    LoaderExchange(size, sizeof size, kStepTimeout);

    size_t sent = 0;
    size_t unread = 0;
    while (sent < length) {
      const size_t chunk = std::min(kChunk, length - sent);
      Write(image + sent, chunk, kStepTimeout, false);
      sent += chunk;
      if (unread <= kStatusWindow)
        ++unread;
      else
        LoaderExchange(nullptr, 0, kStepTimeout);
      ReportProgress(*this, sent, total);
    }
    for (; unread > 0; --unread) LoaderExchange(nullptr, 0, kStepTimeout);
    if (!keepRate) SetOption(kOptionBaud, static_cast<int32_t>(options->baud));
  });

  for (size_t k = 0; k < kLaterStages.size(); ++k) {
    const Stage& stage = kLaterStages[k];
    InStage(stage.failure, [&] {
      const char opcode = static_cast<char>(stage.opcode);
      LoaderExchange(&opcode, 1, kStageTimeout);
    });
    ReportProgress(*this, static_cast<uint64_t>(length) + 1 + k, total);
  }
  InStage(kLaterStages.back().failure, [&] { WaitForByte(':'); });
  SetOption(kOptionCommandMode, 0);
}

}  // namespace orvan
