// The fifteen C functions of the library. Each one not yet backed by its work answers
// "function not supported on this communication bus", so applications always link.
#include "pelko.h"

namespace {
constexpr int32_t kNotSupported = -1109;
}

extern "C" {

ORV_API int32_t OrvOpen(const char*, OrvCon**) { return kNotSupported; }
ORV_API int32_t OrvClose(OrvCon*) { return kNotSupported; }
ORV_API int32_t OrvLost(OrvCon*) { return 0; }
ORV_API int32_t OrvRead(OrvCon*, char*, uint32_t, uint32_t*) { return kNotSupported; }
ORV_API int32_t OrvWrite(OrvCon*, const char*, uint32_t) { return kNotSupported; }
ORV_API int32_t OrvCommand(OrvCon*, const char*, char*, uint32_t, uint32_t*) { return kNotSupported; }
ORV_API int32_t OrvProgramDownload(OrvCon*, const char*, const char*) { return kNotSupported; }
ORV_API int32_t OrvProgramUpload(OrvCon*, char*, uint32_t) { return kNotSupported; }
ORV_API int32_t OrvArrayDownload(OrvCon*, const char*, int32_t, int32_t, const char*) { return kNotSupported; }
ORV_API int32_t OrvArrayUpload(OrvCon*, const char*, int32_t, int32_t, int32_t, char*, uint32_t) {
  return kNotSupported;
}
ORV_API int32_t OrvRecord(OrvCon*, OrvDataRecord*, int32_t) { return kNotSupported; }
ORV_API int32_t OrvMessage(OrvCon*, char*, uint32_t) { return kNotSupported; }
ORV_API int32_t OrvInterrupt(OrvCon*, uint8_t*) { return kNotSupported; }
ORV_API int32_t OrvFirmwareDownload(OrvCon*, const char*) { return kNotSupported; }
ORV_API int32_t OrvUtility(OrvCon*, int32_t, void*, void*) { return kNotSupported; }

}  // extern "C"
