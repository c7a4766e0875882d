/*
 * pelko: the C interface through which applications talk to motion and I/O
 * controllers, directly (Ethernet, serial, PCI card) or through the dravo server.
 * Every function returns 0 on success or a negative error code.
 */
#ifndef PELKO_H
#define PELKO_H

#include <stdint.h>

#if defined(__GNUC__)
#define ORV_API __attribute__((visibility("default")))
#else
#define ORV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open connection; created by OrvOpen, freed by OrvClose. */
typedef struct OrvCon OrvCon;

/* A binary data record as the controller sends it, at most 512 bytes. */
typedef union OrvDataRecord {
  uint8_t bytes[512];
} OrvDataRecord;

/* Progress of writes, downloads and firmware loads: bytes done of total. */
typedef void (*OrvProgressCallback)(uint32_t done, uint32_t total, void* user);

ORV_API int32_t OrvOpen(const char* address, OrvCon** handle);
ORV_API int32_t OrvClose(OrvCon* handle);
ORV_API int32_t OrvLost(OrvCon* handle);
ORV_API int32_t OrvRead(OrvCon* handle, char* buffer, uint32_t length, uint32_t* count);
ORV_API int32_t OrvWrite(OrvCon* handle, const char* buffer, uint32_t length);
ORV_API int32_t OrvCommand(OrvCon* handle, const char* command, char* buffer, uint32_t length,
                           uint32_t* replyLength);
ORV_API int32_t OrvProgramDownload(OrvCon* handle, const char* program, const char* options);
ORV_API int32_t OrvProgramUpload(OrvCon* handle, char* buffer, uint32_t length);
ORV_API int32_t OrvArrayDownload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                                 const char* values);
ORV_API int32_t OrvArrayUpload(OrvCon* handle, const char* name, int32_t first, int32_t last,
                               int32_t delimiter, char* buffer, uint32_t length);
ORV_API int32_t OrvRecord(OrvCon* handle, OrvDataRecord* record, int32_t method);
ORV_API int32_t OrvMessage(OrvCon* handle, char* buffer, uint32_t length);
ORV_API int32_t OrvInterrupt(OrvCon* handle, uint8_t* status);
ORV_API int32_t OrvFirmwareDownload(OrvCon* handle, const char* path);
ORV_API int32_t OrvUtility(OrvCon* handle, int32_t option, void* data1, void* data2);

#ifdef __cplusplus
}
#endif

#endif /* PELKO_H */
